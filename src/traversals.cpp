#include "traversals.h"

#include "type_set.h"

#include <cstdint>
#include <utility>

namespace qw {

namespace {

// The matches nearest to `root`, each with where it was found; false where
// a traversal over bare items gives up.
template <class Item>
bool collect_frontier(const Walk& w, PyObject* root, const TypeSet& set, std::vector<Edge>& result) {
    TypedCycleGuard guard(w, root, unless_in(set));
    std::vector<Item> stack;
    if (!expand(w, root, stack)) return false;
    size_t handled = 0;
    while (!stack.empty()) {
        Item e = std::move(stack.back());
        stack.pop_back();
        if (!guard.go_on<Item>(++handled + stack.size())) return false;
        if (set.contains(Py_TYPE(node_of(e)))) {
            result.push_back(kept(std::move(e)));  // a match hides its subtree
        } else if (!expand(w, node_of(e), stack)) {
            return false;
        }
    }
    return true;
}

// Every node of `kinds` below and at the root, in pre-order, not descending
// into nodes of `prune` (the root is always descended); false where a
// traversal over bare items gives up.
template <class Item, class Kept>
bool collect_matches(const Walk& w, PyObject* root, const TypeSet& kinds, const TypeSet& prune,
                     std::vector<Kept>& matches) {
    TypedCycleGuard guard(w, root, unless_in(prune));
    std::vector<Item> stack;
    stack.push_back(root_item<Item>(root));
    size_t handled = 0;
    while (!stack.empty()) {
        Item item = std::move(stack.back());
        stack.pop_back();
        if (!guard.go_on<Item>(++handled + stack.size())) return false;
        PyObject* n = node_of(item);
        if (n == root || !prune.contains(Py_TYPE(n))) {
            if (!expand(w, n, stack)) return false;
        }
        // Read again: a field getter may have reassigned __class__.
        if (kinds.contains(Py_TYPE(n))) matches.push_back(kept(std::move(item)));
    }
    return true;
}

// The list of make(item) for each item. Making one allocates, and 3.11
// collects inside allocations, where a callback can list every object: the
// list stays out of the collector's sight while a slot is empty.
template <class Kept, class Make>
Strong list_of(std::vector<Kept>& items, Make&& make) {
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    PyObject_GC_UnTrack(list.as_ptr());
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.as_ptr(), static_cast<Py_ssize_t>(i), make(items[i]).release());
    PyObject_GC_Track(list.as_ptr());
    return list;
}

Strong node_of_edge(Edge& e) { return std::move(e.node); }
Strong itself(Strong& s) { return std::move(s); }

// walk_of_types and walk_of_types_edges: arguments (node, kinds, prune).
template <class Bare, class Held, class Kept, class Make>
Strong of_types(const Args& a, Make&& make) {
    Strong root = Strong::borrowed(a[0]);
    const TypeSet kinds(a, 1);
    const TypeSet prune = a[2] != Py_None ? TypeSet(a, 2) : TypeSet();
    const Walk w = Walk::make();
    std::vector<Kept> matches;
    traverse_either_way<Bare, Held>(matches, [&](auto tag) {
        return collect_matches<typename decltype(tag)::type>(w, root.as_ptr(), kinds, prune, matches);
    });
    return list_of(matches, make);
}

}  // namespace

std::vector<Edge> frontier_edges(PyObject* root, PyObject* kinds) { return frontier_edges(root, TypeSet(kinds)); }

std::vector<Edge> frontier_edges(PyObject* root, const TypeSet& set) {
    const Walk w = Walk::make();
    std::vector<Edge> result;
    Strong held = Strong::borrowed(root);
    traverse_either_way<RawEdge, Edge>(result, [&](auto tag) {
        return collect_frontier<typename decltype(tag)::type>(w, held.as_ptr(), set, result);
    });
    return result;
}

Strong walk_frontier(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    // The set comes first: a bad tuple fails before anything else happens.
    std::vector<Edge> edges = frontier_edges(root.as_ptr(), TypeSet(a, 1));
    return list_of(edges, node_of_edge);
}

Strong walk_frontier_edges(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    std::vector<Edge> edges = frontier_edges(root.as_ptr(), TypeSet(a, 1));
    return list_of(edges, edge_tuple);
}

Strong walk_of_types(const Args& a) { return of_types<PyObject*, Strong, Strong>(a, itself); }

// As walk_of_types, each match with its parent, field and index. The root has
// no parent: when it matches it comes first as (root, None, None, -1).
Strong walk_of_types_edges(const Args& a) { return of_types<RawEdge, Edge, Edge>(a, edge_tuple); }

namespace {

enum Event : uint8_t { DISPATCH = 0, ENTER = 1, LEAVE = 2 };

struct PendingEvent {
    Event event;
    Strong node;
};

// The state of one walk_frontier_events call over `Item`s.
template <class Item>
struct EventWalk {
    enum Kind : uint8_t { Child, Leave };
    struct Pending {
        Kind kind;
        Item node;
    };

    const Walk& w;
    const TypeSet& bracket;
    std::vector<PendingEvent>& events;
    std::vector<Pending> stack;
    std::vector<Item> scratch;  // the children of one node at a time

    // Descends into `n`: its enter event and leave step when bracketed, then
    // its children with the first in field order on top.
    bool descend(Item n) {
        scratch.clear();
        if (!expand(w, node_of(n), scratch)) return false;
        if (bracket.contains(Py_TYPE(node_of(n)))) {
            events.push_back({ENTER, Strong::borrowed(node_of(n))});
            stack.push_back({Leave, std::move(n)});
        }
        for (Item& c : scratch) stack.push_back({Child, std::move(c)});
        scratch.clear();
        return true;
    }

    // The events below `root`; false where a walk over bare items gives up.
    bool run(PyObject* root, const TypeSet& kinds) {
        TypedCycleGuard guard(w, root, unless_in(kinds));
        // The root is never dispatched: it is always descended.
        if (!descend(root_item<Item>(root))) return false;
        size_t handled = 1;
        while (!stack.empty()) {
            Pending s = std::move(stack.back());
            stack.pop_back();
            if (s.kind == Leave) {
                events.push_back({LEAVE, kept(std::move(s.node))});
                continue;
            }
            if (!guard.go_on<Item>(++handled + stack.size())) return false;
            if (kinds.contains(Py_TYPE(node_of(s.node))))
                events.push_back({DISPATCH, kept(std::move(s.node))});
            else if (!descend(std::move(s.node)))
                return false;
        }
        return true;
    }
};

}  // namespace

Strong walk_frontier_events(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const TypeSet kinds(a, 1);
    const TypeSet bracket(a, 2);
    const Walk w = Walk::make();
    std::vector<PendingEvent> events;
    traverse_either_way<PyObject*, Strong>(events, [&](auto tag) {
        return EventWalk<typename decltype(tag)::type>{w, bracket, events, {}, {}}.run(root.as_ptr(), kinds);
    });
    // One integer object per event code, shared by every tuple.
    Strong codes[3] = {Strong::own(PyLong_FromLong(0)), Strong::own(PyLong_FromLong(1)),
                       Strong::own(PyLong_FromLong(2))};
    return list_of(events, [&](PendingEvent& e) {
        Strong tuple = Strong::own(PyTuple_New(2));
        PyTuple_SET_ITEM(tuple.as_ptr(), 0, Py_NewRef(codes[e.event].as_ptr()));
        PyTuple_SET_ITEM(tuple.as_ptr(), 1, e.node.release());
        return tuple;
    });
}

}  // namespace qw
