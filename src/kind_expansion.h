// Node classes, abstract ones included, expanded into the concrete classes
// below them, for the `kinds`, `prune` and `bracket` arguments.
#pragma once

#include "binding.h"

namespace qw {

Strong expand_kinds(const Args& a);

}  // namespace qw
