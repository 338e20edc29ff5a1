#include "mutation.h"

#include "dict_reader.h"
#include "walk_stack.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>
#include <vector>

namespace qw {

namespace {

// An interned attribute name shared by every thread for the life of the
// process. Filled by compare-exchange rather than a lock: creating the str
// may let another thread run, so a thread must not wait for another while
// holding the interpreter lock. The loser of a race releases its own string.
class InternedName {
public:
    explicit constexpr InternedName(const char* text) noexcept : text_(text) {}

    PyObject* get() {
        PyObject* p = cell_.load(std::memory_order_acquire);
        if (p) [[likely]]
            return p;
        return create();
    }

private:
    [[gnu::noinline]] PyObject* create() {
        PyObject* fresh = check(PyUnicode_InternFromString(text_));
        PyObject* expected = nullptr;
        if (cell_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
            return fresh;
        Py_DECREF(fresh);
        return expected;
    }

    const char* text_;
    std::atomic<PyObject*> cell_{nullptr};
};

InternedName PARENT_NAME{"parent"};

// In the order in which a node's missing attributes are written.
constexpr size_t LOCATION_COUNT = 4;
InternedName LOCATION_NAMES[LOCATION_COUNT] = {
    InternedName{"lineno"},
    InternedName{"col_offset"},
    InternedName{"end_lineno"},
    InternedName{"end_col_offset"},
};
constexpr uint8_t LOCATION_BITS[LOCATION_COUNT] = {LOC_LINENO, LOC_COL_OFFSET, LOC_END_LINENO, LOC_END_COL_OFFSET};
// The end positions are optional: None there means "not known yet".
constexpr bool NONE_IS_MISSING[LOCATION_COUNT] = {false, false, true, true};

// The values a node passes down to descendants that lack their own.
using LocationRow = std::array<Strong, LOCATION_COUNT>;

LocationRow default_row() {
    PyObject* one = PyLong_FromLong(1);
    PyObject* zero = PyLong_FromLong(0);
    if (!one || !zero) {
        Py_XDECREF(one);
        Py_XDECREF(zero);
        PyErr_Clear();
        throw InternalFailure("could not create the default location integers");
    }
    LocationRow row{Strong::own(one), Strong::own(zero), Strong(), Strong()};
    row[2] = Strong::borrowed(one);
    row[3] = Strong::borrowed(zero);
    return row;
}

// type_info answers from a per-thread hash map; a traversal meets a few dozen
// classes over and over, so it keeps recent answers in a small direct-mapped
// table. A record holds its type, so a cached address cannot be reused by
// another type during the call.
class TypeInfoCache {
public:
    const TypeInfo& get(PyTypeObject* t) {
        Slot& s = slots_[(PointerHasher{}(reinterpret_cast<uintptr_t>(t)) >> 16) % SLOTS];
        if (s.type != t) [[unlikely]] {
            s.info = &type_info(t);
            s.type = t;
        }
        return *s.info;
    }

private:
    static constexpr size_t SLOTS = 64;
    struct Slot {
        PyTypeObject* type = nullptr;
        const TypeInfo* info = nullptr;
    };
    std::array<Slot, SLOTS> slots_{};
};

// PyDict_GetItemWithError for an interned name. Node dictionaries are small
// and keyed by the same interned strings that the per-type info holds, so a
// scan of the entry array for that very object usually answers without
// hashing. Otherwise (no key is that object, or the table cannot be read by
// layout) the dictionary API decides, which also finds an equal str that is
// not the interned one.
inline PyObject* lookup_name(PyObject* dict, PyObject* name) {
    const EntryView view = unicode_entries(dict);
    if (view.ok) {
        for (Py_ssize_t i = 0; i < view.count; ++i)
            if (view.entries[i].key == name) return view.entries[i].value;
    }
    return PyDict_GetItemWithError(dict, name);
}

// The row `node` passes down: its own values where its dictionary has them,
// else the inherited ones, which are then written to the node.
LocationRow fix_node(PyObject* node, uint8_t flags, const std::array<PyObject*, LOCATION_COUNT>& names,
                     const LocationRow& inherited) {
    LocationRow row;
    PyObject* raw_dict = get_instance_dict_fast(node);
    Strong dict = raw_dict ? Strong::borrowed(raw_dict) : Strong();
    for (size_t k = 0; k < LOCATION_COUNT; ++k) {
        if ((flags & LOCATION_BITS[k]) && dict) {
            PyObject* v = lookup_name(dict.as_ptr(), names[k]);
            if (v) {
                if (!(NONE_IS_MISSING[k] && v == Py_None)) {
                    row[k] = Strong::borrowed(v);
                    continue;
                }
            } else if (PyErr_Occurred()) {
                throw_py();
            }
        }
        row[k] = Strong::borrowed(inherited[k].as_ptr());
        if (flags & LOCATION_BITS[k]) check_status(PyObject_SetAttr(node, names[k], row[k].as_ptr()));
    }
    return row;
}

// Walk::push_children with the field values found through lookup_name and
// the node's TypeInfo already at hand; the same fields, fallbacks and order.
void push_children(const Walk& w, PyObject* node, const TypeInfo& info, std::vector<Strong>& out) {
    if (info.field_names.empty()) return;
    const size_t start = out.size();
    auto take = [&](PyObject* v) {
        if (Py_IS_TYPE(v, w.list_type)) {
            Walk::for_each_item(v, [&](Py_ssize_t, PyObject* item) {
                if (w.is_ast(item)) out.push_back(Strong::borrowed(item));
            });
        } else if (w.is_ast(v)) {
            out.push_back(Strong::borrowed(v));
        }
    };
    PyObject* raw_dict = get_instance_dict_fast(node);
    Strong dict = raw_dict ? Strong::borrowed(raw_dict) : Strong();
    for (PyObject* name : info.field_names) {
        if (dict) {
            if (PyObject* v = lookup_name(dict.as_ptr(), name)) {
                Strong held = Strong::borrowed(v);
                take(held.as_ptr());
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
        take(held.as_ptr());
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

// The traversals wait mostly on cache misses at node dictionaries. Asking for
// the dictionaries of a node's children together, right after the children
// were found (their headers are then in cache), overlaps those misses.
inline void prefetch_dicts(const std::vector<Strong>& nodes) {
    for (const Strong& n : nodes)
        if (PyObject* d = get_instance_dict_fast(n.as_ptr())) __builtin_prefetch(d, 1);
}

// One step further for the node handled next: its dictionary was asked for
// earlier, so its key table can be asked for now.
inline void prefetch_keys(PyObject* node) {
    if (PyObject* d = get_instance_dict_fast(node)) {
        const char* keys = reinterpret_cast<const char*>(keys_of(d));
        __builtin_prefetch(keys);
        __builtin_prefetch(keys + 64);
    }
}

}  // namespace

Strong set_parents(const Args& a) {
    PyObject* root = a[0];
    const Walk w = Walk::make();
    PyObject* name = PARENT_NAME.get();
    TypedCycleGuard guard(w, root);
    TypeInfoCache infos;
    std::vector<Strong> stack;
    std::vector<Strong> children;
    stack.push_back(Strong::borrowed(root));
    size_t handled = 0;
    while (!stack.empty()) {
        Strong p = std::move(stack.back());
        stack.pop_back();
        guard.check(++handled);
        children.clear();
        push_children(w, p.as_ptr(), infos.get(Py_TYPE(p.as_ptr())), children);
        prefetch_dicts(children);
        // The first child in field order is at the back.
        for (auto c = children.rbegin(); c != children.rend(); ++c)
            check_status(PyObject_SetAttr(c->as_ptr(), name, p.as_ptr()));
        for (Strong& c : children) stack.push_back(std::move(c));
    }
    return Strong::borrowed(Py_None);
}

Strong fix_missing_locations(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const Walk w = Walk::make();
    std::array<PyObject*, LOCATION_COUNT> names;
    for (size_t k = 0; k < LOCATION_COUNT; ++k) names[k] = LOCATION_NAMES[k].get();

    // Rows of the located ancestors on the current path, row 0 the default.
    // A popped node inherits row r, and every row after r belongs to a
    // subtree already finished (a pending node never refers to a row past
    // that of its nearest located ancestor), so rows form a stack and memory
    // follows the depth, not the size, of the tree.
    std::vector<LocationRow> rows;
    rows.push_back(default_row());
    std::vector<std::pair<Strong, size_t>> pending;
    std::vector<Strong> children;
    pending.emplace_back(Strong::borrowed(root.as_ptr()), 0);
    TypedCycleGuard guard(w, root.as_ptr());
    TypeInfoCache infos;
    size_t handled = 0;
    while (!pending.empty()) {
        auto [n, r] = std::move(pending.back());
        pending.pop_back();
        if (!pending.empty()) prefetch_keys(pending.back().first.as_ptr());
        guard.check(++handled);
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(r + 1), rows.end());
        size_t child_row = r;
        const TypeInfo& info = infos.get(Py_TYPE(n.as_ptr()));
        const uint8_t flags = info.location_flags;
        if (flags) {
            LocationRow row = fix_node(n.as_ptr(), flags, names, rows[r]);
            rows.push_back(std::move(row));
            child_row = rows.size() - 1;
        }
        children.clear();
        // A __setattr__ may have changed the node's class meanwhile.
        PyTypeObject* now = Py_TYPE(n.as_ptr());
        const bool same = reinterpret_cast<PyObject*>(now) == info.type_object;
        push_children(w, n.as_ptr(), same ? info : infos.get(now), children);
        prefetch_dicts(children);
        for (Strong& c : children) pending.emplace_back(std::move(c), child_row);
    }
    return root;
}

}  // namespace qw
