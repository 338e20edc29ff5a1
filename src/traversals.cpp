#include "traversals.h"

#include "type_set.h"

#include <cstdint>
#include <utility>

namespace qw {

std::vector<Edge> frontier_edges(PyObject* root, PyObject* kinds) {
    // The set comes first: a bad tuple fails before anything else happens.
    const TypeSet set(kinds);
    const Walk w = Walk::make();
    TypedCycleGuard guard(w, root, unless_in(set));
    std::vector<Edge> stack;
    std::vector<Edge> result;
    {
        Strong held = Strong::borrowed(root);
        w.push_child_edges(held.as_ptr(), stack);
    }
    size_t handled = 0;
    while (!stack.empty()) {
        Edge e = std::move(stack.back());
        stack.pop_back();
        guard.check(++handled);
        if (set.contains(Py_TYPE(e.node.as_ptr()))) {
            result.push_back(std::move(e));  // a match hides its subtree
        } else {
            w.push_child_edges(e.node.as_ptr(), stack);
        }
    }
    return result;
}

Strong walk_frontier(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    Strong kinds = Strong::borrowed(a[1]);
    std::vector<Edge> edges = frontier_edges(root.as_ptr(), kinds.as_ptr());
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (size_t i = 0; i < edges.size(); ++i)
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), edges[i].node.release());
    return list;
}

Strong walk_frontier_edges(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    Strong kinds = Strong::borrowed(a[1]);
    std::vector<Edge> edges = frontier_edges(root.as_ptr(), kinds.as_ptr());
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (size_t i = 0; i < edges.size(); ++i)
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), edge_tuple(edges[i]).release());
    return list;
}

Strong walk_of_types(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const TypeSet kinds(a[1]);
    const bool has_prune = a[2] != Py_None;
    const TypeSet prune = has_prune ? TypeSet(a[2]) : TypeSet();
    const Walk w = Walk::make();
    TypedCycleGuard guard(w, root.as_ptr(), unless_in(prune));
    std::vector<Strong> stack;
    std::vector<Strong> matches;
    stack.push_back(Strong::borrowed(root.as_ptr()));
    size_t handled = 0;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        guard.check(++handled);
        // The root is always descended, whatever its class.
        if (n.as_ptr() == root.as_ptr() || !prune.contains(Py_TYPE(n.as_ptr()))) w.push_children(n.as_ptr(), stack);
        // Read again: a field getter may have reassigned __class__.
        if (kinds.contains(Py_TYPE(n.as_ptr()))) matches.push_back(std::move(n));
    }
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    for (size_t i = 0; i < matches.size(); ++i)
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), matches[i].release());
    return list;
}

namespace {

enum Event : uint8_t { DISPATCH = 0, ENTER = 1, LEAVE = 2 };

struct PendingEvent {
    Event event;
    Strong node;
};

// The state of one walk_frontier_events call.
struct EventWalk {
    const Walk& w;
    const TypeSet& bracket;
    std::vector<Step> stack;
    std::vector<PendingEvent> events;
    std::vector<Strong> scratch;  // the children of one node at a time

    // Descends into `n`: its enter event and leave step when bracketed, then
    // its children with the first in field order on top.
    void descend(Strong n) {
        scratch.clear();
        w.push_children(n.as_ptr(), scratch);
        if (bracket.contains(Py_TYPE(n.as_ptr()))) {
            events.push_back({ENTER, Strong::borrowed(n.as_ptr())});
            stack.push_back({Step::Leave, std::move(n)});
        }
        for (Strong& c : scratch) stack.push_back({Step::Child, std::move(c)});
        scratch.clear();
    }
};

}  // namespace

Strong walk_frontier_events(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const TypeSet kinds(a[1]);
    const TypeSet bracket(a[2]);
    const Walk w = Walk::make();
    TypedCycleGuard guard(w, root.as_ptr(), unless_in(kinds));
    EventWalk ew{w, bracket, {}, {}, {}};
    // The root is never dispatched: it is always descended.
    ew.descend(Strong::borrowed(root.as_ptr()));
    size_t handled = 1;
    while (!ew.stack.empty()) {
        Step s = std::move(ew.stack.back());
        ew.stack.pop_back();
        if (s.kind == Step::Leave) {
            ew.events.push_back({LEAVE, std::move(s.node)});
            continue;
        }
        guard.check(++handled);
        if (kinds.contains(Py_TYPE(s.node.as_ptr())))
            ew.events.push_back({DISPATCH, std::move(s.node)});
        else
            ew.descend(std::move(s.node));
    }
    // One integer object per event code, shared by every tuple.
    Strong codes[3] = {Strong::own(PyLong_FromLong(0)), Strong::own(PyLong_FromLong(1)),
                       Strong::own(PyLong_FromLong(2))};
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(ew.events.size())));
    for (size_t i = 0; i < ew.events.size(); ++i) {
        PendingEvent& e = ew.events[i];
        Strong tuple = Strong::own(PyTuple_New(2));
        PyTuple_SET_ITEM(tuple.as_ptr(), 0, Py_NewRef(codes[e.event].as_ptr()));
        PyTuple_SET_ITEM(tuple.as_ptr(), 1, e.node.release());
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list;
}

}  // namespace qw
