#include "walks.h"

#include "ast_types.h"
#include "cycle_check.h"
#include "dict_reader.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace qw {

namespace {

using NodeVec = std::vector<PyObject*>;

template <class Push>
inline void visit_value(PyObject* v, const BaseTypes& b, Push& push) {
    if (!v) return;  // deleted slot
    if (Py_IS_TYPE(v, &PyList_Type)) {
        PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
        for (Py_ssize_t j = PyList_GET_SIZE(v); j-- > 0;) {
            PyObject* item = items[j];
            if (issubclass_of_ast(Py_TYPE(item), b)) push(item);
        }
    } else if (issubclass_of_ast(Py_TYPE(v), b)) {
        push(v);
    }
}

// A table that cannot be read by layout (split values, or a key that is not
// a str): the same first `limit` slots, through the dictionary API, which
// runs no Python code either.
template <class Push>
[[gnu::noinline]] void process_dict_generic(PyObject* dict, Py_ssize_t limit, const BaseTypes& b, Push& push) {
    PyObject* values[254];
    int n = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (pos < limit && PyDict_Next(dict, &pos, &key, &value))
        if (pos <= limit) values[n++] = value;
    while (n-- > 0) visit_value(values[n], b, push);
}

// Pushes the children of `node`, last first, so that the first child in
// dictionary order ends on top of a stack.
template <class Push>
inline void process_node(PyObject* node, const BaseTypes& b, const FieldTable& t, Push&& push) {
    const uint8_t v = t.lookup(Py_TYPE(node));
    if (v <= 1) return;
    PyObject* dict = get_instance_dict_fast(node);
    if (!dict) return;
    const Py_ssize_t limit = v - 1;
    const EntryView view = unicode_entries(dict);
    if (!view.ok) {
        process_dict_generic(dict, limit, b, push);
        return;
    }
    for (Py_ssize_t i = std::min(limit, view.count); i-- > 0;) visit_value(view.entries[i].value, b, push);
}

bool has_cycle(PyObject* root, const BaseTypes& b, const FieldTable& t) {
    return has_cycle_from(root, [&](PyObject* node, NodeVec& children) {
        process_node(node, b, t, [&](PyObject* c) { children.push_back(c); });
    });
}

// No Python code runs during these walks, so nothing needs to be held.
auto cycle_guard(PyObject* root, const BaseTypes& b, const FieldTable& t) {
    return CycleGuard([root, &b, &t] { return has_cycle(root, b, t); });
}

void walk_node_dfs(PyObject* root, const BaseTypes& b, const FieldTable& t, NodeVec& out) {
    NodeVec stack;
    stack.reserve(1);
    stack.push_back(root);
    auto guard = cycle_guard(root, b, t);
    auto push = [&](PyObject* c) { stack.push_back(c); };
    while (!stack.empty()) {
        PyObject* node = stack.back();
        stack.pop_back();
        out.push_back(node);
        guard.check(out.size());
        process_node(node, b, t, push);
    }
}

constexpr size_t BATCH = 4;

// Asks for the memory the next process_node calls will read: each node's
// dictionary, then each dictionary's keys object, before any node of the
// batch is processed.
inline void prefetch_batch(PyObject* const* batch, size_t k) {
    PyObject* dicts[BATCH];
    for (size_t i = 0; i < k; ++i) {
        dicts[i] = get_instance_dict_fast(batch[i]);
        if (dicts[i]) __builtin_prefetch(dicts[i]);
    }
    for (size_t i = 0; i < k; ++i)
        if (dicts[i]) __builtin_prefetch(reinterpret_cast<PyDictObject*>(dicts[i])->ma_keys);
}

void walk_node_unordered(PyObject* root, const BaseTypes& b, const FieldTable& t, NodeVec& out) {
    NodeVec stack;
    stack.reserve(1);
    stack.push_back(root);
    auto guard = cycle_guard(root, b, t);
    auto push = [&](PyObject* c) { stack.push_back(c); };
    PyObject* batch[BATCH];
    while (!stack.empty()) {
        const size_t k = std::min(BATCH, stack.size());
        for (size_t i = 0; i < k; ++i) batch[i] = stack[stack.size() - 1 - i];
        stack.resize(stack.size() - k);
        prefetch_batch(batch, k);
        for (size_t i = 0; i < k; ++i) {
            out.push_back(batch[i]);
            process_node(batch[i], b, t, push);
        }
        guard.check(out.size());
    }
}

Strong vec_into_pylist(const NodeVec& nodes) {
    Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    PyObject** items = reinterpret_cast<PyListObject*>(list.as_ptr())->ob_item;
    for (size_t i = 0; i < nodes.size(); ++i) items[i] = Py_NewRef(nodes[i]);
    return list;
}

std::atomic<uint8_t> DEPRECATED_WALK_WARNED{0};

}  // namespace

Strong walk_dfs(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const BaseTypes b = resolve_base_types();
    return with_field_table([&](const FieldTable& t) {
        NodeVec out;
        walk_node_dfs(root.as_ptr(), b, t, out);
        return vec_into_pylist(out);
    });
}

Strong walk(const Args& a) {
    if (DEPRECATED_WALK_WARNED.exchange(1, std::memory_order_seq_cst) == 0) {
        check_status(PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "quernwood.walk is deprecated; use walk_dfs for strict depth-first order "
                                  "or walk_unordered for the faster order-agnostic variant",
                                  1));
    }
    return walk_dfs(a);
}

Strong walk_count(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const BaseTypes b = resolve_base_types();
    const size_t n = with_field_table([&](const FieldTable& t) {
        NodeVec out;
        walk_node_dfs(root.as_ptr(), b, t, out);
        return out.size();
    });
    return Strong::own(PyLong_FromSize_t(n));
}

Strong walk_unordered(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const BaseTypes b = resolve_base_types();
    return with_field_table([&](const FieldTable& t) {
        NodeVec out;
        walk_node_unordered(root.as_ptr(), b, t, out);
        return vec_into_pylist(out);
    });
}

}  // namespace qw
