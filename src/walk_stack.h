// Expansion of one node into its child nodes by field name, for the typed
// traversals. These may run Python code (attribute getters), so everything
// they keep is an owned reference.
#pragma once

#include "ast_types.h"
#include "dict_reader.h"
#include "type_info.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qw {

// Where a child was found: parent.<field> (index -1) or parent.<field>[index].
struct Edge {
    Strong node;
    Strong parent;
    PyObject* field;  // interned name, kept alive by the thread's TypeInfo
    Py_ssize_t index;
};

// Work item of the visitor-events traversal.
struct Step {
    enum Kind : uint8_t { Child, Leave };
    Kind kind;
    Strong node;
};

struct Walk {
    PyTypeObject* ast_type;
    PyTypeObject* expr_type;
    PyTypeObject* list_type;

    static Walk make() {
        const BaseTypes b = resolve_base_types();
        return {b.ast, b.expr, &PyList_Type};
    }

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
                // Nodes usually hold their fields first, in _fields order:
                // an entry at the field's position whose key is the very
                // interned name is the one a lookup would find. Re-read per
                // field, since visit() may have resized the table.
                const EntryView view = unicode_entries(dict.as_ptr());
                const auto at = static_cast<Py_ssize_t>(j);
                if (view.ok && at < view.count && view.entries[at].key == name) [[likely]] {
                    Strong held = Strong::borrowed(view.entries[at].value);
                    visit(j, held.as_ptr());
                    continue;
                }
                PyObject* v = PyDict_GetItemWithError(dict.as_ptr(), name);
                if (v) {
                    Strong held = Strong::borrowed(v);
                    visit(j, held.as_ptr());
                    continue;
                }
                if (PyErr_Occurred()) throw_py();
            }
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

    // visit(index, item) for each item of an exact list; the size is read
    // again before every item, and the item is held for the call.
    template <class Visit>
    static void for_each_item(PyObject* list, Visit&& visit) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Strong item = Strong::borrowed(PyList_GET_ITEM(list, i));
            visit(i, item.as_ptr());
        }
    }

    // Appends the child nodes of `node` so that the first child in field
    // order ends on top (at the back).
    void push_children(PyObject* node, std::vector<Strong>& stack) const {
        const TypeInfo& info = type_info(Py_TYPE(node));
        const size_t start = stack.size();
        for_each_field(node, info.field_names, [&](size_t, PyObject* v) {
            if (Py_IS_TYPE(v, list_type)) {
                for_each_item(v, [&](Py_ssize_t, PyObject* item) {
                    if (is_ast(item)) stack.push_back(Strong::borrowed(item));
                });
            } else if (is_ast(v)) {
                stack.push_back(Strong::borrowed(v));
            }
        });
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
    }

    // As push_children, with where each child was found.
    void push_child_edges(PyObject* parent, std::vector<Edge>& edges) const {
        const TypeInfo& info = type_info(Py_TYPE(parent));
        const size_t start = edges.size();
        for_each_field(parent, info.field_names, [&](size_t j, PyObject* v) {
            PyObject* field = info.field_names[j];
            if (Py_IS_TYPE(v, list_type)) {
                for_each_item(v, [&](Py_ssize_t i, PyObject* item) {
                    if (is_ast(item))
                        edges.push_back(Edge{Strong::borrowed(item), Strong::borrowed(parent), field, i});
                });
            } else if (is_ast(v)) {
                edges.push_back(Edge{Strong::borrowed(v), Strong::borrowed(parent), field, -1});
            }
        });
        std::reverse(edges.begin() + static_cast<std::ptrdiff_t>(start), edges.end());
    }
};

// Whether some node below `root` is reachable from itself through its fields:
// an iterative depth-first search marking the nodes on the current path.
// Every node it meets is held until the search ends, so no address is reused.
inline bool has_cycle(const Walk& w, PyObject* root) {
    enum : uint8_t { ON_PATH = 1, DONE = 2 };
    std::unordered_map<uintptr_t, uint8_t, PointerHasher> state;
    std::vector<Strong> keep;
    std::vector<std::pair<Strong, bool>> stack;  // (node, leaving)
    std::vector<Strong> children;
    stack.emplace_back(Strong::borrowed(root), false);
    while (!stack.empty()) {
        auto [node, leaving] = std::move(stack.back());
        stack.pop_back();
        const auto key = reinterpret_cast<uintptr_t>(node.as_ptr());
        if (leaving) {
            state[key] = DONE;
            continue;
        }
        uint8_t& s = state[key];
        if (s == ON_PATH) return true;
        if (s == DONE) continue;
        s = ON_PATH;
        keep.push_back(Strong::borrowed(node.as_ptr()));
        stack.emplace_back(std::move(node), true);
        children.clear();
        w.push_children(keep.back().as_ptr(), children);
        for (Strong& c : children) stack.emplace_back(std::move(c), false);
    }
    return false;
}

// A structure with a cycle would make a traversal grow without end. Past a
// count that no ordinary tree reaches, and at every doubling after, the
// structure is searched for a cycle; a real one fails the call with
// RecursionError. Shared nodes (a DAG) are not cycles and the walk goes on.
class TypedCycleGuard {
public:
    static constexpr size_t FIRST_CHECK = size_t{1} << 24;

    TypedCycleGuard(const Walk& w, PyObject* root) : w_(w), root_(root) {}

    // Call with the number of nodes handled so far.
    void check(size_t handled) {
        if (handled < next_) [[likely]]
            return;
        next_ *= 2;
        if (has_cycle(w_, root_))
            throw_error(PyExc_RecursionError,
                        "the tree has a cycle: a node is reachable from itself through its fields");
    }

private:
    const Walk& w_;
    PyObject* root_;
    size_t next_ = FIRST_CHECK;
};

}  // namespace qw
