#include "hashing.h"

#include "dict_reader.h"

namespace qw {

namespace {

constexpr uint64_t ALL_ONES = ~uint64_t{0};

// A child that the map does not know is hashed by a pass of its own, which
// can meet such a child again (a property that builds a fresh chain of
// nodes on every read does so at every level). The nesting is bounded so
// that it cannot exhaust the C stack.
constexpr int MAX_FALLBACK_DEPTH = 200;
thread_local int FALLBACK_DEPTH = 0;

class FallbackLevel {
public:
    FallbackLevel() {
        if (FALLBACK_DEPTH >= MAX_FALLBACK_DEPTH)
            throw_error(PyExc_RecursionError, "the tree kept changing while it was being hashed");
        ++FALLBACK_DEPTH;
    }
    ~FallbackLevel() { --FALLBACK_DEPTH; }
    FallbackLevel(const FallbackLevel&) = delete;
    FallbackLevel& operator=(const FallbackLevel&) = delete;
};

inline uint64_t type_address(PyObject* o) noexcept {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Py_TYPE(o)));
}

class HashPass {
public:
    HashPass(const Walk& w, HashMap& map) : w_(w), map_(map) {}

    // The hash of one node, all of whose original children are in the map.
    uint64_t node_hash(PyObject* node) {
        const TypeInfo& info = type_info(Py_TYPE(node));
        acc_ = mix(0, type_address(node));
        Walk::for_each_field(node, info.field_names, [&](size_t j, PyObject* value) { fold_field(j, value); });
        return acc_;
    }

private:
    // `value` is held by the field loop for the duration of the call.
    void fold_field(size_t j, PyObject* value) {
        uint64_t h;
        if (Py_IS_TYPE(value, &PyList_Type)) {
            h = mix(ALL_ONES, static_cast<uint64_t>(PyList_GET_SIZE(value)));
            Walk::for_each_item(value, [&](Py_ssize_t, PyObject* item) { h = mix(h, item_hash(item)); });
        } else {
            h = item_hash(value);
        }
        acc_ = mix(mix(acc_, j), h);
    }

    uint64_t item_hash(PyObject* x) {
        if (w_.is_ast(x)) {
            const auto it = map_.find(reinterpret_cast<uintptr_t>(x));
            if (it != map_.end()) [[likely]]
                return it->second;
            // A field read gave another object than during pre-order: the
            // tree changed, or a getter builds nodes. The accumulator of
            // this pass is not touched by the separate pass.
            FallbackLevel level;
            const HashMap fresh = hash_subtrees(x);
            return hashed(fresh, x);
        }
        Py_hash_t p;
        if (hashes_as_dumped(x)) {
            p = PyObject_Hash(x);
        } else {
            Strong r = Strong::own(PyObject_Repr(x));
            p = PyObject_Hash(r.as_ptr());
        }
        if (p == -1 && PyErr_Occurred()) throw_py();
        return mix(type_address(x), static_cast<uint64_t>(static_cast<int64_t>(p)));
    }

    const Walk& w_;
    HashMap& map_;
    uint64_t acc_ = 0;
};

}  // namespace

std::vector<Strong> pre_order(const Walk& w, PyObject* root) {
    std::vector<Strong> pending;
    std::vector<Strong> order;
    TypedCycleGuard guard(w, root);
    pending.push_back(Strong::borrowed(root));
    while (!pending.empty()) {
        Strong node = std::move(pending.back());
        pending.pop_back();
        w.push_children(node.as_ptr(), pending);
        order.push_back(std::move(node));
        guard.check(order.size() + pending.size());
    }
    return order;
}

HashMap hash_subtrees(PyObject* root) {
    const Walk w = Walk::make();
    const std::vector<Strong> order = pre_order(w, root);
    HashMap map;
    map.reserve(order.size());
    HashPass pass(w, map);
    // Every node stands before its descendants, so backwards every child
    // is hashed before its parent.
    for (size_t k = order.size(); k-- > 0;) {
        PyObject* node = order[k].as_ptr();
        const auto key = reinterpret_cast<uintptr_t>(node);
        if (map.contains(key)) continue;
        const uint64_t h = pass.node_hash(node);
        map.emplace(key, h);
    }
    return map;
}

uint64_t hashed(const HashMap& map, PyObject* node) {
    const auto it = map.find(reinterpret_cast<uintptr_t>(node));
    if (it == map.end()) throw_error(PyExc_RuntimeError, "the tree changed while it was being hashed");
    return it->second;
}

}  // namespace qw
