// The typed traversals that filter by exact node class: frontier walks, the
// walks of types (with or without where each match was found) and the events
// of a visitor-style descent.
#pragma once

#include "binding.h"
#include "type_set.h"
#include "walk_stack.h"

#include <vector>

namespace qw {

// The matches nearest to `root` whose exact type is in `kinds` (a tuple), in
// depth-first pre-order, each with where it was found. `root` is never tested.
std::vector<Edge> frontier_edges(PyObject* root, PyObject* kinds);
// The same with the set already built.
std::vector<Edge> frontier_edges(PyObject* root, const TypeSet& kinds);

Strong walk_frontier(const Args& a);
Strong walk_frontier_edges(const Args& a);
Strong walk_of_types(const Args& a);
Strong walk_of_types_edges(const Args& a);
Strong walk_frontier_events(const Args& a);

}  // namespace qw
