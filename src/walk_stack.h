// Expansion of one node into its child nodes by field name, for the typed
// traversals. These may run Python code (attribute getters), so everything
// they keep is an owned reference.
#pragma once

#include "ast_types.h"
#include "cycle_check.h"
#include "dict_reader.h"
#include "type_info.h"
#include "type_set.h"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace qw {

// Where a child was found: parent.<field> (index -1) or parent.<field>[index].
struct Edge {
    Strong node;
    Strong parent;
    PyObject* field;  // interned name, kept alive by the module state
    Py_ssize_t index;
};

// The Python face of an edge: (node, parent, field, index); the edge's
// references move into the tuple.
inline Strong edge_tuple(Edge& e) {
    Strong index = Strong::own(PyLong_FromSsize_t(e.index));
    Strong tuple = Strong::own(PyTuple_New(4));
    PyTuple_SET_ITEM(tuple.as_ptr(), 0, e.node.release());
    PyTuple_SET_ITEM(tuple.as_ptr(), 1, e.parent.release());
    PyTuple_SET_ITEM(tuple.as_ptr(), 2, Py_NewRef(e.field));
    PyTuple_SET_ITEM(tuple.as_ptr(), 3, index.release());
    return tuple;
}

struct Walk {
    PyTypeObject* ast_type;
    PyTypeObject* expr_type;
    PyTypeObject* list_type;

    static Walk make() {
        const BaseTypes b = resolve_base_types();
        return {b.ast, b.expr, &PyList_Type, {}};
    }

    // A memo in front of the thread's type records, which are asked once per
    // expanded node: open addressing, never evicting, so each class of a call
    // pays the thread's map (and its thread-local lookup) once. Records never
    // change and outlive the call, so a remembered address stays right for
    // the whole call. A call meeting more classes than fit asks the map.
    struct InfoMemo {
        static constexpr size_t SLOTS = 256;
        static constexpr size_t MOST = SLOTS / 2;
        struct Slot {
            const PyTypeObject* type;
            const TypeInfo* info;
        };
        Slot slots[SLOTS] = {};
        size_t used = 0;

        // The record when the memo or the thread has it, else null; runs no
        // Python code.
        const TypeInfo* find(PyTypeObject* t) {
            for (size_t i = (reinterpret_cast<uintptr_t>(t) >> 4) & (SLOTS - 1);; i = (i + 1) & (SLOTS - 1)) {
                Slot& s = slots[i];
                if (s.type == t) [[likely]]
                    return s.info;
                if (s.type) continue;
                const TypeInfo* info = built_type_info(t);
                if (info && used < MOST) {
                    s = {t, info};
                    ++used;
                }
                return info;
            }
        }

        const TypeInfo& get(PyTypeObject* t) {
            for (size_t i = (reinterpret_cast<uintptr_t>(t) >> 4) & (SLOTS - 1);; i = (i + 1) & (SLOTS - 1)) {
                Slot& s = slots[i];
                if (s.type == t) [[likely]]
                    return *s.info;
                if (s.type) continue;
                const TypeInfo& info = type_info(t);
                // type_info may run Python code, but not this call's walk:
                // the slot is still free.
                if (used < MOST) {
                    s = {t, &info};
                    ++used;
                }
                return info;
            }
        }
    };
    mutable InfoMemo memo;

    const TypeInfo& info_of(PyObject* node) const { return memo.get(Py_TYPE(node)); }
    // Null when this thread has not built the record yet; runs no Python code.
    const TypeInfo* built_info_of(PyObject* node) const { return memo.find(Py_TYPE(node)); }

    bool is_ast(PyObject* value) const {
        PyTypeObject* t = Py_TYPE(value);
        if (issubclass_of_ast(t, {ast_type, expr_type})) return true;
        PyTypeObject* base = t->tp_base;
        if (!base || base == &PyBaseObject_Type) return false;
        return PyType_IsSubtype(t, ast_type) != 0;
    }

    // visit(position of the name, value); the value is held for the call.
    template <class Visit>
    static void for_each_field(PyObject* node, const std::vector<PyObject*>& names, Visit&& visit) {
        if (names.empty()) return;
        PyObject* raw_dict = get_instance_dict_fast(node);
        Strong dict = raw_dict ? Strong::borrowed(raw_dict) : Strong();
        for (size_t j = 0; j < names.size(); ++j) {
            PyObject* name = names[j];
            if (dict) {
                if (PyObject* v = lookup_field(dict.as_ptr(), j, name)) {
                    Strong held = Strong::borrowed(v);
                    visit(j, held.as_ptr());
                    continue;
                }
            }
            release_waiting();
            PyObject* v = PyObject_GetAttr(node, name);
            if (!v) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
                PyErr_Clear();
                continue;
            }
            Strong held = Strong::own(v);
            visit(j, held.as_ptr());
        }
    }


    // Asks for a pushed child's dictionary while the nodes above it are
    // expanded: the dictionary chain is what an expansion waits for. The
    // child itself is in cache, its count having just been raised.
    static void prefetch_dict(PyObject* child) noexcept {
        if (PyObject* d = get_instance_dict_fast(child)) compat::prefetch(d);
    }

    // The next stage for the node waiting below this one's children: its
    // dictionary was asked for when it was pushed, so now ask for the entry
    // table. One node only: asking again for the same ones costs in cache.
    static void prefetch_keys(PyObject* waiting) noexcept {
        if (PyObject* d = get_instance_dict_fast(waiting)) {
            const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
            compat::prefetch(keys);
            compat::prefetch(keys + 64);
        }
    }

    // visit(index, item) for each item of an exact list; the size is read
    // again before every item, and the item is held for the call.
    template <class Visit>
    static void for_each_item(PyObject* list, Visit&& visit) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Strong item = Strong::borrowed(PyList_GET_ITEM(list, i));
            visit(i, item.as_ptr());
        }
    }

    static constexpr size_t MOST_IN_PLACE = 16;

    // When every field of `node` is in its dictionary under the very name
    // object (as the parser and the constructors store them), and there are
    // at most MOST_IN_PLACE, fills values[position] for each and returns
    // true; else returns false. The values are borrowed from the dictionary:
    // valid only until Python code runs.
    static bool read_fields_in_place(PyObject* node, const std::vector<PyObject*>& names, PyObject** values) {
        const size_t n = names.size();
        if (n == 0) return true;
        PyObject* dict = get_instance_dict_fast(node);
        if (!dict || n > MOST_IN_PLACE) return false;
        const EntryView view = unicode_entries(dict);
        if (!view.ok) return false;
        for (size_t j = 0; j < n; ++j) {
            values[j] = find_in_place(view, j, names[j]);
            if (!values[j]) return false;
        }
        return true;
    }

    // As read_fields_in_place, calling visit(position, value) for each field
    // in order when it can, and visiting nothing when it cannot. Nothing
    // between the reads and the visits runs Python code, so no value needs
    // holding, and `visit` must run none either.
    template <class Visit>
    static bool for_each_field_in_place(PyObject* node, const std::vector<PyObject*>& names, Visit&& visit) {
        PyObject* values[MOST_IN_PLACE];
        if (!read_fields_in_place(node, names, values)) return false;
        for (size_t j = 0; j < names.size(); ++j) visit(j, values[j]);
        return true;
    }

    // Reads the fields in place when it can (no reference taken per value or
    // item), else through for_each_field; `on_node(position, index, child)`
    // gets each child node in field and list order, index -1 for a field's
    // own value. It must run no Python code.
    template <class OnNode>
    void for_each_child(PyObject* node, const std::vector<PyObject*>& names, OnNode&& on_node) const {
        auto on_value = [&](size_t j, PyObject* v) { children_of_value(j, v, on_node); };
        if (!for_each_field_in_place(node, names, on_value)) for_each_field(node, names, on_value);
    }

    // on_node(j, index, child) for the value of field j: itself when it is a
    // node, its node items when it is an exact list.
    template <class OnNode>
    void children_of_value(size_t j, PyObject* v, OnNode& on_node) const {
        if (Py_IS_TYPE(v, list_type)) {
            PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
                if (is_ast(items[i])) on_node(j, i, items[i]);
        } else if (is_ast(v)) {
            on_node(j, Py_ssize_t{-1}, v);
        }
    }

    // As for_each_child, when the class's record is built and every field
    // can be read in place, so that no Python code runs; else calls nothing
    // and returns false.
    template <class OnNode>
    bool for_each_child_in_place(PyObject* node, const std::vector<PyObject*>*& names, OnNode&& on_node) const {
        const TypeInfo* info = built_info_of(node);
        if (!info) return false;
        names = &info->field_names;
        return for_each_field_in_place(node, info->field_names,
                                       [&](size_t j, PyObject* v) { children_of_value(j, v, on_node); });
    }

    // As push_children over bare addresses, when no Python code can run on
    // the way (for_each_child_in_place); false else.
    [[gnu::always_inline]] bool push_children_in_place(PyObject* node, std::vector<PyObject*>& stack) const {
        const size_t start = stack.size();
        if (start > 0) prefetch_keys(stack[start - 1]);
        const std::vector<PyObject*>* names = nullptr;
        if (!for_each_child_in_place(node, names, [&](size_t, Py_ssize_t, PyObject* c) { stack.push_back(c); }))
            return false;
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        for (size_t i = start; i < stack.size(); ++i) prefetch_dict(stack[i]);
        return true;
    }

    // Appends the child nodes of `node` so that the first child in field
    // order ends on top (at the back).
    void push_children(PyObject* node, std::vector<Strong>& stack) const {
        const TypeInfo& info = info_of(node);
        const size_t start = stack.size();
        if (start > 0) prefetch_keys(stack[start - 1].as_ptr());
        for_each_child(node, info.field_names,
                       [&](size_t, Py_ssize_t, PyObject* c) { stack.push_back(Strong::borrowed(c)); });
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        for (size_t i = start; i < stack.size(); ++i) prefetch_dict(stack[i].as_ptr());
    }

    // As push_children, with where each child was found.
    void push_child_edges(PyObject* parent, std::vector<Edge>& edges) const {
        const TypeInfo& info = info_of(parent);
        const size_t start = edges.size();
        if (start > 0) prefetch_keys(edges[start - 1].node.as_ptr());
        for_each_child(parent, info.field_names, [&](size_t j, Py_ssize_t i, PyObject* c) {
            edges.push_back(Edge{Strong::borrowed(c), Strong::borrowed(parent), info.field_names[j], i});
        });
        std::reverse(edges.begin() + static_cast<std::ptrdiff_t>(start), edges.end());
        for (size_t i = start; i < edges.size(); ++i) prefetch_dict(edges[i].node.as_ptr());
    }
};

// A child found in place, nothing held: valid only until Python code runs.
struct RawEdge {
    PyObject* node;
    PyObject* parent;
    PyObject* field;
    Py_ssize_t index;
};

[[gnu::always_inline]] inline bool push_child_edges_in_place(const Walk& w, PyObject* parent,
                                                             std::vector<RawEdge>& edges) {
    const size_t start = edges.size();
    if (start > 0) Walk::prefetch_keys(edges[start - 1].node);
    const std::vector<PyObject*>* names = nullptr;
    if (!w.for_each_child_in_place(parent, names, [&](size_t j, Py_ssize_t i, PyObject* c) {
            edges.push_back(RawEdge{c, parent, (*names)[j], i});
        }))
        return false;
    std::reverse(edges.begin() + static_cast<std::ptrdiff_t>(start), edges.end());
    for (size_t i = start; i < edges.size(); ++i) Walk::prefetch_dict(edges[i].node);
    return true;
}

// The bare expansions are forced inline: called, they reload the stack's
// bounds for every push (about 40 more instructions per node), and the
// compiler's choice flips with unrelated changes.

// A typed traversal is written once over what its stack holds. Held items
// (Strong, Edge) own their nodes, and expanding one may run Python code.
// Bare items (PyObject*, RawEdge) own nothing: their expansion gives up,
// returning false, wherever it could run Python code, and so does the
// traversal, which the caller then runs again with held items. What a bare
// traversal keeps is owned as it keeps it (`kept`), while the node is in
// cache; giving up releases those references, which frees nothing, since no
// Python code ran in between.
inline PyObject* node_of(const Strong& s) noexcept { return s.as_ptr(); }
inline PyObject* node_of(PyObject* p) noexcept { return p; }
inline PyObject* node_of(const Edge& e) noexcept { return e.node.as_ptr(); }
inline PyObject* node_of(const RawEdge& e) noexcept { return e.node; }

inline Strong kept(Strong&& s) noexcept { return std::move(s); }
inline Strong kept(PyObject* p) noexcept { return Strong::borrowed(p); }
inline Edge kept(Edge&& e) noexcept { return std::move(e); }
inline Edge kept(const RawEdge& e) noexcept {
    return Edge{Strong::borrowed(e.node), Strong::borrowed(e.parent), e.field, e.index};
}

inline bool expand(const Walk& w, PyObject* node, std::vector<Strong>& stack) {
    w.push_children(node, stack);
    return true;
}
[[gnu::always_inline]] inline bool expand(const Walk& w, PyObject* node, std::vector<PyObject*>& stack) {
    return w.push_children_in_place(node, stack);
}
inline bool expand(const Walk& w, PyObject* node, std::vector<Edge>& stack) {
    w.push_child_edges(node, stack);
    return true;
}
[[gnu::always_inline]] inline bool expand(const Walk& w, PyObject* node, std::vector<RawEdge>& stack) {
    return push_child_edges_in_place(w, node, stack);
}

// The root as a stack item; as an edge it has no parent, field or index.
template <class Item>
Item root_item(PyObject* root) {
    if constexpr (std::is_same_v<Item, Strong>) return Strong::borrowed(root);
    else if constexpr (std::is_same_v<Item, PyObject*>) return root;
    else if constexpr (std::is_same_v<Item, Edge>) return Edge{Strong::borrowed(root), Strong::borrowed(Py_None), Py_None, -1};
    else return RawEdge{root, Py_None, Py_None, -1};
}

template <class Item>
constexpr bool HOLDS_NODES = std::is_same_v<Item, Strong> || std::is_same_v<Item, Edge>;

// Which nodes a traversal expands: the cycle search follows only the edges
// the traversal follows, so a cycle where it never goes is no error.
// Null expands every node; the root is always expanded.
struct Descends {
    const void* context = nullptr;
    bool (*below)(const void* context, PyObject* node) = nullptr;

    bool operator()(PyObject* node, PyObject* root) const {
        return node == root || !below || below(context, node);
    }
};

// A node is expanded unless its exact class is in the set (a frontier match,
// a pruned node, a dispatched node).
inline bool outside_set(const void* set, PyObject* node) {
    return !static_cast<const TypeSet*>(set)->contains(Py_TYPE(node));
}

inline Descends unless_in(const TypeSet& set) { return {&set, outside_set}; }

// Whether some node below `root` is reachable from itself through the edges
// the traversal follows. Every node met is held until the search ends, so no
// address is reused.
inline bool has_cycle(const Walk& w, PyObject* root, Descends descends) {
    std::vector<Strong> keep;
    return has_cycle_from(Strong::borrowed(root), [&](const Strong& node, std::vector<Strong>& children) {
        keep.push_back(Strong::borrowed(node.as_ptr()));
        if (descends(node.as_ptr(), root)) w.push_children(node.as_ptr(), children);
    });
}

struct TypedCycleSearch {
    const Walk& w;
    PyObject* root;
    Descends descends;
    bool operator()() const { return has_cycle(w, root, descends); }
};

// Fails a typed traversal with RecursionError when it runs into a cycle.
class TypedCycleGuard : public CycleGuard<TypedCycleSearch> {
public:
    TypedCycleGuard(const Walk& w, PyObject* root, Descends descends = {})
        : CycleGuard<TypedCycleSearch>(TypedCycleSearch{w, root, descends}) {}

    // Whether a traversal over `Item`s goes on after `handled` nodes. One
    // over bare items gives up where the search would start: the search holds
    // what it meets, and it is the held traversal's to run.
    template <class Item>
    bool go_on(size_t handled) {
        if constexpr (HOLDS_NODES<Item>) {
            check(handled);
            return true;
        } else {
            return handled < FIRST_CHECK;
        }
    }
};

// Runs `traverse(Bare{})`, and where it gives up empties `out` and runs
// `traverse(Held{})`. The tag says which item type to use.
template <class T>
struct ItemTag {
    using type = T;
};

template <class Bare, class Held, class Out, class Traverse>
void traverse_either_way(Out& out, Traverse&& traverse) {
    if (traverse(ItemTag<Bare>{})) return;
    out.clear();
    traverse(ItemTag<Held>{});
}

}  // namespace qw
