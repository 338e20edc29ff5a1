// The traversals that change the tree in place: parent links and missing
// source locations.
#pragma once

#include "binding.h"

namespace qw {

Strong fix_missing_locations(const Args& a);
Strong set_parents(const Args& a);

}  // namespace qw
