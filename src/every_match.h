// Every node of the given classes with where it was found, in pre-order.
#pragma once

#include "binding.h"

namespace qw {

Strong walk_of_types_edges(const Args& a);

}  // namespace qw
