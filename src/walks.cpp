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

// Whether a dictionary key is the field name `name`: the same object, or an
// equal str. Compares text only, so no __eq__ of a key runs.
inline bool is_field_key(PyObject* key, PyObject* name) noexcept {
    if (key == name) return true;
    if (!key || !name || !PyUnicode_Check(key)) return false;
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0;
}

// Fields read by name: for each of the class's names, the value of the entry
// whose key is that name. `count` slots of (key, value) come from either
// layout; visited last field first, as the positional scan does.
template <class Slots, class Push>
void visit_by_name(const Slots& slots, Py_ssize_t count, PyObject* const* names, Py_ssize_t limit,
                   const BaseTypes& b, Push& push) {
    for (Py_ssize_t f = limit; f-- > 0;) {
        PyObject* name = names[f];
        if (!name) continue;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (is_field_key(slots.key(i), name)) {
                visit_value(slots.value(i), b, push);
                break;
            }
        }
    }
}

struct EntrySlots {
    const DictEntry* entries;
    PyObject* key(Py_ssize_t i) const noexcept { return entries[i].key; }
    PyObject* value(Py_ssize_t i) const noexcept { return entries[i].value; }
};

// A table that cannot be read by layout (split values, or a key that is not
// a str): its entries through PyDict_Next, which runs no Python code either.
template <class Push>
[[gnu::noinline]] void process_dict_generic(PyObject* dict, PyObject* const* names, Py_ssize_t limit,
                                            const BaseTypes& b, Push& push) {
    struct Slots {
        std::vector<DictEntry> all;
        PyObject* key(Py_ssize_t i) const noexcept { return all[static_cast<size_t>(i)].key; }
        PyObject* value(Py_ssize_t i) const noexcept { return all[static_cast<size_t>(i)].value; }
    } slots;
    slots.all.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) slots.all.push_back({key, value});
    visit_by_name(slots, static_cast<Py_ssize_t>(slots.all.size()), names, limit, b, push);
}

// Pushes the children of `node`, last first, so that the first child in
// field order ends on top of a stack. Fields are read by position when the
// leading keys are the class's field names (as the parser and constructors
// store them), else by name.
template <class Push>
inline void process_node(PyObject* node, const BaseTypes& b, const FieldTable& t, Push&& push) {
    const FieldInfo info = t.find(Py_TYPE(node));
    if (info.count <= 1) return;
    PyObject* dict = get_instance_dict_fast(node);
    if (!dict) return;
    const Py_ssize_t limit = info.count - 1;
    const EntryView view = unicode_entries(dict);
    if (!view.ok) {
        process_dict_generic(dict, info.names, limit, b, push);
        return;
    }
    const Py_ssize_t n = std::min(limit, view.count);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (view.entries[i].key != info.names[i] && !is_field_key(view.entries[i].key, info.names[i])) [[unlikely]] {
            visit_by_name(EntrySlots{view.entries}, view.count, info.names, limit, b, push);
            return;
        }
    }
    for (Py_ssize_t i = n; i-- > 0;) visit_value(view.entries[i].value, b, push);
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

// The collected nodes, each owned from the moment it is visited: building
// the result list allocates, and an allocation can run a collection and so
// any finalizer, which may change or free what the walk saw.
class OwnedNodes {
public:
    OwnedNodes() = default;
    OwnedNodes(const OwnedNodes&) = delete;
    OwnedNodes& operator=(const OwnedNodes&) = delete;
    ~OwnedNodes() {
        // A collection inside the list's allocation can end a daemon thread
        // at interpreter exit; release_ref leaves objects alone then.
        for (PyObject* p : nodes_) release_ref(p);
    }
    void add(PyObject* node) {
        nodes_.push_back(node);
        Py_INCREF(node);  // after the push, which may throw
    }
    size_t size() const noexcept { return nodes_.size(); }

    // The list of the nodes in order; their references move into it.
    Strong into_list() {
        Strong list = Strong::own(PyList_New(static_cast<Py_ssize_t>(nodes_.size())));
        PyObject** items = reinterpret_cast<PyListObject*>(list.as_ptr())->ob_item;
        std::copy(nodes_.begin(), nodes_.end(), items);
        nodes_.clear();
        return list;
    }

private:
    NodeVec nodes_;
};

// Counts instead of collecting, for _walk_count: nothing is held past the
// walk, during which no Python code runs.
struct NodeCounter {
    size_t n = 0;
    void add(PyObject*) noexcept { ++n; }
    size_t size() const noexcept { return n; }
};

template <class Out>
void walk_node_dfs(PyObject* root, const BaseTypes& b, const FieldTable& t, Out& out) {
    NodeVec stack;
    stack.reserve(1);
    stack.push_back(root);
    auto guard = cycle_guard(root, b, t);
    auto push = [&](PyObject* c) { stack.push_back(c); };
    while (!stack.empty()) {
        PyObject* node = stack.back();
        stack.pop_back();
        out.add(node);
        guard.check(out.size() + stack.size());
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
        if (dicts[i]) compat::prefetch(dicts[i]);
    }
    for (size_t i = 0; i < k; ++i)
        if (dicts[i]) compat::prefetch(reinterpret_cast<PyDictObject*>(dicts[i])->ma_keys);
}

void walk_node_unordered(PyObject* root, const BaseTypes& b, const FieldTable& t, OwnedNodes& out) {
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
            out.add(batch[i]);
            process_node(batch[i], b, t, push);
        }
        guard.check(out.size() + stack.size());
    }
}

std::atomic<uint8_t> DEPRECATED_WALK_WARNED{0};

}  // namespace

Strong walk_dfs(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const BaseTypes b = resolve_base_types();
    // The list is built, and what is left released, once the thread's table
    // is free again: either may run Python code that walks.
    OwnedNodes out;
    with_field_table([&](const FieldTable& t) { walk_node_dfs(root.as_ptr(), b, t, out); });
    return out.into_list();
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
        NodeCounter out;
        walk_node_dfs(root.as_ptr(), b, t, out);
        return out.size();
    });
    return Strong::own(PyLong_FromSize_t(n));
}

Strong walk_unordered(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const BaseTypes b = resolve_base_types();
    // The list is built, and what is left released, once the thread's table
    // is free again: either may run Python code that walks.
    OwnedNodes out;
    with_field_table([&](const FieldTable& t) { walk_node_unordered(root.as_ptr(), b, t, out); });
    return out.into_list();
}

}  // namespace qw
