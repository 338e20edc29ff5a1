#include "mutation.h"

#include "dict_reader.h"
#include "state.h"
#include "walk_stack.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>
#include <vector>

namespace qw {

namespace {

// In the order in which a node's missing attributes are written.
constexpr size_t LOCATION_COUNT = 4;
constexpr Name LOCATION_NAMES[LOCATION_COUNT] = {Name::lineno, Name::col_offset, Name::end_lineno,
                                                 Name::end_col_offset};
constexpr uint8_t LOCATION_BITS[LOCATION_COUNT] = {LOC_LINENO, LOC_COL_OFFSET, LOC_END_LINENO, LOC_END_COL_OFFSET};
// The end positions are optional: None there means "not known yet".
constexpr bool NONE_IS_MISSING[LOCATION_COUNT] = {false, false, true, true};

// The values a node passes down to descendants that lack their own.
using LocationRow = std::array<Strong, LOCATION_COUNT>;

LocationRow default_row() {
    Strong one = Strong::own(PyLong_FromLong(1));
    Strong zero = Strong::own(PyLong_FromLong(0));
    return {Strong::borrowed(one.as_ptr()), Strong::borrowed(zero.as_ptr()), std::move(one), std::move(zero)};
}

// The row `node` passes down: its own values where its dictionary has them,
// else the inherited ones, which are then written to the node.
LocationRow fix_node(PyObject* node, const TypeInfo& info, const std::array<PyObject*, LOCATION_COUNT>& names,
                     const LocationRow& inherited) {
    const uint8_t flags = info.location_flags;
    // The location attributes follow the fields in a parsed node's dictionary.
    const size_t first_location = info.field_names.size();
    LocationRow row;
    PyObject* raw_dict = get_instance_dict_fast(node);
    Strong dict = raw_dict ? Strong::borrowed(raw_dict) : Strong();
    for (size_t k = 0; k < LOCATION_COUNT; ++k) {
        if ((flags & LOCATION_BITS[k]) && dict) {
            PyObject* v = lookup_field(dict.as_ptr(), first_location + k, names[k]);
            if (v && !(NONE_IS_MISSING[k] && v == Py_None)) {
                row[k] = Strong::borrowed(v);
                continue;
            }
        }
        row[k] = Strong::borrowed(inherited[k].as_ptr());
        if (flags & LOCATION_BITS[k]) check_status(PyObject_SetAttr(node, names[k], row[k].as_ptr()));
    }
    return row;
}

// A row of values borrowed from dictionaries, for the part of the walk in
// which no Python code runs.
using BareRow = std::array<PyObject*, LOCATION_COUNT>;

// The most rows and pending nodes the bare part keeps before the held walk
// takes over: about 50 MB.
constexpr size_t BARE_STATE_MOST = size_t{1} << 20;

// The row `node` passes down when none of its locations needs writing and
// each is found in its dictionary under the name object itself; else false,
// with nothing done.
bool row_in_place(PyObject* node, const TypeInfo& info, const std::array<PyObject*, LOCATION_COUNT>& names,
                  const BareRow& inherited, BareRow& row) {
    PyObject* dict = get_instance_dict_fast(node);
    if (!dict) return false;
    const EntryView view = unicode_entries(dict);
    if (!view.ok) return false;
    const size_t first_location = info.field_names.size();
    for (size_t k = 0; k < LOCATION_COUNT; ++k) {
        if (!(info.location_flags & LOCATION_BITS[k])) {
            row[k] = inherited[k];
            continue;
        }
        PyObject* v = find_in_place(view, first_location + k, names[k]);
        if (!v || (NONE_IS_MISSING[k] && v == Py_None)) return false;
        row[k] = v;
    }
    return true;
}

// The state of the walk: the rows of the located ancestors on the current
// path, row 0 the default, and the pending nodes, each with the row it
// inherits. A popped node inherits row r, and every row after r belongs to
// a subtree already finished (a pending node never refers to a row past
// that of its nearest located ancestor), so rows form a stack and memory
// follows the depth, not the size, of the tree.
template <class Row, class Node>
struct FixState {
    std::vector<Row> rows;
    std::vector<std::pair<Node, size_t>> pending;
    size_t handled = 0;
};

// Goes through the tree holding nothing for as long as no node needs a
// write and no Python code could run (the nodes of a parsed tree need none).
// Returns true when it got through; else `held` receives the state, every
// object in it owned, from which the held walk goes on exactly as if it had
// done the same steps itself.
bool fix_in_place(const Walk& w, const std::array<PyObject*, LOCATION_COUNT>& names, PyObject* root,
                  const LocationRow& defaults, FixState<LocationRow, Strong>& held) {
    FixState<BareRow, PyObject*> bare;
    bare.rows.push_back({defaults[0].as_ptr(), defaults[1].as_ptr(), defaults[2].as_ptr(), defaults[3].as_ptr()});
    bare.pending.emplace_back(root, 0);
    std::vector<PyObject*> children;
    while (!bare.pending.empty()) {
        const auto [n, r] = bare.pending.back();
        // Where the held walk would start its cycle search, it takes over;
        // and before the state it copies grows large, since for a moment
        // both copies exist (ordinary trees never come near).
        if (bare.handled + bare.pending.size() >= TypedCycleGuard::FIRST_CHECK) break;
        if (bare.pending.size() + bare.rows.size() >= BARE_STATE_MOST) break;
        const TypeInfo* info = w.built_info_of(n);
        if (!info) break;
        BareRow row{};
        if (info->location_flags && !row_in_place(n, *info, names, bare.rows[r], row)) break;
        children.clear();
        if (!w.push_children_in_place(n, children)) break;
        bare.pending.pop_back();
        ++bare.handled;
        bare.rows.resize(r + 1);
        size_t child_row = r;
        if (info->location_flags) {
            bare.rows.push_back(row);
            child_row = bare.rows.size() - 1;
        }
        for (PyObject* c : children) bare.pending.emplace_back(c, child_row);
    }
    if (bare.pending.empty()) return true;
    // The capacities the bare part grew to: the held walk goes on growing
    // them as it would have, not from an odd size to twice the memory.
    held.rows.reserve(bare.rows.capacity());
    for (const BareRow& row : bare.rows)
        held.rows.push_back({Strong::borrowed(row[0]), Strong::borrowed(row[1]), Strong::borrowed(row[2]),
                             Strong::borrowed(row[3])});
    held.pending.reserve(bare.pending.capacity());
    for (const auto& [n, r] : bare.pending) held.pending.emplace_back(Strong::borrowed(n), r);
    held.handled = bare.handled;
    return false;
}

}  // namespace

Strong set_parents(const Args& a) {
    PyObject* root = a[0];
    const Walk w = Walk::make();
    PyObject* name = current_state().name(Name::parent);
    TypedCycleGuard guard(w, root);
    std::vector<Strong> stack;
    std::vector<Strong> children;
    stack.push_back(Strong::borrowed(root));
    size_t handled = 0;
    while (!stack.empty()) {
        Strong p = std::move(stack.back());
        stack.pop_back();
        guard.check(++handled + stack.size());
        children.clear();
        w.push_children(p.as_ptr(), children);
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
    for (size_t k = 0; k < LOCATION_COUNT; ++k) names[k] = current_state().name(LOCATION_NAMES[k]);

    const LocationRow defaults = default_row();
    FixState<LocationRow, Strong> held;
    if (fix_in_place(w, names, root.as_ptr(), defaults, held)) return root;
    auto& [rows, pending, handled] = held;
    std::vector<Strong> children;
    TypedCycleGuard guard(w, root.as_ptr());
    while (!pending.empty()) {
        auto [n, r] = std::move(pending.back());
        pending.pop_back();
        guard.check(++handled + pending.size());
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(r + 1), rows.end());
        size_t child_row = r;
        const TypeInfo& info = w.info_of(n.as_ptr());
        if (info.location_flags) {
            rows.push_back(fix_node(n.as_ptr(), info, names, rows[r]));
            child_row = rows.size() - 1;
        }
        children.clear();
        // By the node's class now: a __setattr__ may have changed it.
        w.push_children(n.as_ptr(), children);
        for (Strong& c : children) pending.emplace_back(std::move(c), child_row);
    }
    return root;
}

}  // namespace qw
