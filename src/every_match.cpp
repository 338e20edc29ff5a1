#include "every_match.h"

#include "type_set.h"
#include "walk_stack.h"

#include <vector>

namespace qw {

// As walk_of_types, each match with its parent, field and index. The root has
// no parent: when it matches it comes first as (root, None, None, -1).
Strong walk_of_types_edges(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const TypeSet kinds(a[1]);
    const TypeSet prune = a[2] != Py_None ? TypeSet(a[2]) : TypeSet();
    const Walk w = Walk::make();
    TypedCycleGuard guard(w, root.as_ptr(), unless_in(prune));
    std::vector<Edge> stack;
    std::vector<Edge> matches;
    stack.push_back(Edge{Strong::borrowed(root.as_ptr()), Strong::borrowed(Py_None), Py_None, -1});
    size_t handled = 0;
    while (!stack.empty()) {
        Edge e = std::move(stack.back());
        stack.pop_back();
        guard.check(++handled);
        PyObject* n = e.node.as_ptr();
        // The root is always descended, whatever its class.
        if (n == root.as_ptr() || !prune.contains(Py_TYPE(n))) w.push_child_edges(n, stack);
        // Read again: a field getter may have reassigned __class__.
        if (kinds.contains(Py_TYPE(e.node.as_ptr()))) matches.push_back(std::move(e));
    }
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    for (size_t i = 0; i < matches.size(); ++i)
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), edge_tuple(matches[i]).release());
    return list;
}

}  // namespace qw
