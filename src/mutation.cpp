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
            PyObject* v = Walk::lookup_field(dict.as_ptr(), first_location + k, names[k]);
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
        guard.check(++handled);
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
    size_t handled = 0;
    while (!pending.empty()) {
        auto [n, r] = std::move(pending.back());
        pending.pop_back();
        guard.check(++handled);
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
