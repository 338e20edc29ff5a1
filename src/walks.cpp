#include "walks.h"

#include "ast_types.h"
#include "dict_reader.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>
#include <utility>
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

// Whether a node is reachable from itself below `root`: an iterative
// depth-first search that marks the nodes on the current path.
bool has_cycle(PyObject* root, const BaseTypes& b, const FieldTable& t) {
    enum : uint8_t { ON_PATH = 1, DONE = 2 };
    std::unordered_map<PyObject*, uint8_t> state;
    std::vector<std::pair<PyObject*, bool>> stack;  // (node, leaving)
    stack.emplace_back(root, false);
    while (!stack.empty()) {
        auto [node, leaving] = stack.back();
        stack.pop_back();
        if (leaving) {
            state[node] = DONE;
            continue;
        }
        uint8_t& s = state[node];
        if (s == ON_PATH) return true;
        if (s == DONE) continue;
        s = ON_PATH;
        stack.emplace_back(node, true);
        process_node(node, b, t, [&](PyObject* c) { stack.emplace_back(c, false); });
    }
    return false;
}

// A tree with a cycle would make a walk grow without end. Past a count no
// ordinary tree reaches, and at every doubling after, the graph is checked;
// a real cycle fails the call. Shared nodes (a DAG) are not cycles and walk on.
class CycleGuard {
public:
    static constexpr size_t FIRST_CHECK = size_t{1} << 24;

    CycleGuard(PyObject* root, const BaseTypes& b, const FieldTable& t) : root_(root), b_(b), t_(t) {}

    void check(size_t collected) {
        if (collected < next_) [[likely]]
            return;
        next_ *= 2;
        if (has_cycle(root_, b_, t_))
            throw_error(PyExc_RecursionError,
                        "the tree has a cycle: a node is reachable from itself through its fields");
    }

private:
    PyObject* root_;
    const BaseTypes& b_;
    const FieldTable& t_;
    size_t next_ = FIRST_CHECK;
};

void walk_node_dfs(PyObject* root, const BaseTypes& b, const FieldTable& t, NodeVec& out) {
    NodeVec stack;
    stack.reserve(1);
    stack.push_back(root);
    CycleGuard guard(root, b, t);
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
    CycleGuard guard(root, b, t);
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
