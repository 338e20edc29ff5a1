// The collection walks: every node of a tree, read by position from instance
// dictionaries, with borrowed addresses only (they run no Python code).
#pragma once

#include "binding.h"

namespace qw {

Strong walk_dfs(const Args& a);
Strong walk(const Args& a);
Strong walk_count(const Args& a);
Strong walk_unordered(const Args& a);

}  // namespace qw
