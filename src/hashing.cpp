#include "hashing.h"

#include "dict_reader.h"

#include <algorithm>
#include <unordered_map>

namespace qw {

namespace {

constexpr uint64_t ALL_ONES = ~uint64_t{0};

// Python's hash of an int is its value modulo 2**61 - 1 (2**31 - 1 where
// hashes have 32 bits), and -1 becomes -2; so it tells apart only the ints of
// smaller magnitude: 7 and 2**64 - 1 would hash alike. Those are used as they
// are; any other int is hashed by its hexadecimal digits, which are exact and,
// unlike its decimal repr, not refused for very long ints.
constexpr long long INT_HASH_MODULUS = (1LL << (sizeof(Py_hash_t) >= 8 ? 61 : 31)) - 1;

Py_hash_t int_hash(PyObject* x) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_py();
    if (!overflow && v != -1 && v > -INT_HASH_MODULUS && v < INT_HASH_MODULUS) return static_cast<Py_hash_t>(v);
    Strong digits = Strong::own(PyNumber_ToBase(x, 16));
    return PyObject_Hash(digits.as_ptr());
}

}  // namespace

uint64_t process_leaf(PyObject* x) {
    Py_hash_t p;
    if (Py_IS_TYPE(x, &PyLong_Type)) {
        p = int_hash(x);
    } else if (hashes_as_dumped(x)) {
        p = PyObject_Hash(x);
    } else {
        Strong r = Strong::own(PyObject_Repr(x));
        p = PyObject_Hash(r.as_ptr());
    }
    if (p == -1 && PyErr_Occurred()) throw_py();
    // The type is seeded like a node's before the value goes in. Folding the
    // value straight into the raw address would let a small value make up
    // for the small distance between two static types: b'' and 55296 would
    // hash alike.
    return mix(mix(0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Py_TYPE(x)))), static_cast<uint64_t>(static_cast<int64_t>(p)));
}

namespace {

inline uint64_t add_size(uint64_t a, uint64_t b) noexcept {
    const uint64_t sum = a + b;
    return sum < a ? ~uint64_t{0} : sum;
}

// The hash of a node that the pass did not list, for the pass's fallback.
// A second pass of the same kind could meet unlisted children again at every
// level (a property that builds a fresh chain of nodes on every read), which
// would nest once per level and take time exponential in the depth. So this
// one reads every field once, keeps what it read, and hashes post-order from
// those values with an explicit stack; nothing it hashes is read twice.
struct ReadField {
    size_t position;
    Strong value;
    std::vector<Strong> items;  // of an exact list, as read
    bool is_list;
};

Digest hash_detached(const Walk& w, HashRules& rules, PyObject* root) {
    enum : uint8_t { ON_PATH, DONE };
    struct State {
        uint8_t kind;
        Digest digest;
    };
    std::unordered_map<uintptr_t, State, PointerHasher> states;
    std::vector<std::pair<Strong, bool>> stack;  // (node, leaving)
    std::vector<std::vector<ReadField>> reads;   // of the nodes on the path
    std::vector<Strong> keep;
    uint64_t size = 0;
    auto child_hash = [&](PyObject* x, FieldRule rule) {
        if (rule == IDENTIFIER && PyUnicode_Check(x)) return LEFT_OUT;
        if (!w.is_ast(x)) return rules.leaf(x);
        const auto it = states.find(reinterpret_cast<uintptr_t>(x));
        if (it == states.end() || it->second.kind != DONE) throw InternalFailure("a child was not hashed first");
        size = add_size(size, it->second.digest.size);
        return it->second.digest.hash;
    };
    stack.emplace_back(Strong::borrowed(root), false);
    while (!stack.empty()) {
        auto [node, leaving] = std::move(stack.back());
        stack.pop_back();
        const auto key = reinterpret_cast<uintptr_t>(node.as_ptr());
        if (leaving) {
            const TypeInfo& info = type_info(Py_TYPE(node.as_ptr()));
            uint64_t field_rules = 0;
            uint64_t acc = rules.node_seed(Py_TYPE(node.as_ptr()), info, field_rules);
            size = 1;
            for (const ReadField& f : reads.back()) {
                const FieldRule rule = HashRules::rule_at(field_rules, f.position);
                uint64_t h;
                if (rule == CONSTANT) {
                    h = LEFT_OUT;
                } else if (f.is_list) {
                    h = mix(ALL_ONES, f.items.size());
                    for (const Strong& item : f.items) h = mix(h, child_hash(item.as_ptr(), rule));
                } else {
                    h = child_hash(f.value.as_ptr(), rule);
                }
                acc = mix(mix(acc, f.position), h);
            }
            reads.pop_back();
            states[key] = {DONE, {acc, size}};
            keep.push_back(std::move(node));  // its address stays unique
            continue;
        }
        const auto [it, fresh] = states.try_emplace(key, State{ON_PATH, {0, 0}});
        if (!fresh) {
            if (it->second.kind == DONE) continue;
            throw_error(PyExc_RecursionError, "the tree has a cycle: a node is reachable from itself through its fields");
        }
        std::vector<ReadField>& read = reads.emplace_back();
        stack.emplace_back(Strong::borrowed(node.as_ptr()), true);
        const auto start = static_cast<std::ptrdiff_t>(stack.size());
        const TypeInfo& info = type_info(Py_TYPE(node.as_ptr()));
        Walk::for_each_field(node.as_ptr(), info.field_names, [&](size_t j, PyObject* v) {
            ReadField f{j, Strong::borrowed(v), {}, Py_IS_TYPE(v, w.list_type) != 0};
            if (f.is_list) {
                Walk::for_each_item(v, [&](Py_ssize_t, PyObject* item) {
                    f.items.push_back(Strong::borrowed(item));
                    if (w.is_ast(item)) stack.emplace_back(Strong::borrowed(item), false);
                });
            } else if (w.is_ast(v)) {
                stack.emplace_back(Strong::borrowed(v), false);
            }
            read.push_back(std::move(f));
        });
        std::reverse(stack.begin() + start, stack.end());
    }
    return states.at(reinterpret_cast<uintptr_t>(root)).digest;
}

// With `Normalising` false no field is left out, and the rule tests are
// compiled away from the modes that have none.
template <bool Normalising>
class HashPass {
public:
    HashPass(const Walk& w, HashMap& map, HashRules& rules) : w_(w), map_(map), rules_(rules) {}

    // The digest of one node, all of whose original children are in the map.
    Digest node_digest(PyObject* node) {
        const TypeInfo& info = type_info(Py_TYPE(node));
        uint64_t field_rules = 0;
        acc_ = rules_.node_seed(Py_TYPE(node), info, field_rules);
        if constexpr (Normalising) field_rules_ = field_rules;
        size_ = 1;
        Walk::for_each_field(node, info.field_names, [&](size_t j, PyObject* value) { fold_field(j, value); });
        return {acc_, size_};
    }

private:
    // `value` is held by the field loop for the duration of the call.
    void fold_field(size_t j, PyObject* value) {
        const FieldRule rule = Normalising ? HashRules::rule_at(field_rules_, j) : KEEP;
        uint64_t h;
        if (Normalising && rule == CONSTANT) [[unlikely]] {
            h = LEFT_OUT;
        } else if (Py_IS_TYPE(value, &PyList_Type)) {
            h = mix(ALL_ONES, static_cast<uint64_t>(PyList_GET_SIZE(value)));
            Walk::for_each_item(value, [&](Py_ssize_t, PyObject* item) { h = mix(h, item_hash(item, rule)); });
        } else {
            h = item_hash(value, rule);
        }
        acc_ = mix(mix(acc_, j), h);
    }

    uint64_t item_hash(PyObject* x, FieldRule rule) {
        if (Normalising && rule == IDENTIFIER && PyUnicode_Check(x)) [[unlikely]]
            return LEFT_OUT;
        if (w_.is_ast(x)) {
            Digest d;
            if (const Digest* found = map_.find(reinterpret_cast<uintptr_t>(x))) [[likely]]
                d = *found;
            else
                // A field read gave another object than during pre-order: the
                // tree changed, or a getter builds nodes.
                d = hash_detached(w_, rules_, x);
            size_ = add_size(size_, d.size);
            return d.hash;
        }
        return rules_.leaf(x);
    }

    const Walk& w_;
    HashMap& map_;
    HashRules& rules_;
    uint64_t acc_ = 0;
    uint64_t size_ = 0;
    uint64_t field_rules_ = 0;
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

namespace {

template <bool Normalising>
void hash_listed(const Walk& w, const std::vector<Strong>& order, HashMap& map, HashRules& rules) {
    HashPass<Normalising> pass(w, map, rules);
    // Every node stands before its descendants, so backwards every child
    // is hashed before its parent.
    for (size_t k = order.size(); k-- > 0;) {
        PyObject* node = order[k].as_ptr();
        const auto key = reinterpret_cast<uintptr_t>(node);
        if (map.find(key)) continue;
        map.insert(key, pass.node_digest(node));
    }
}

}  // namespace

HashMap hash_subtrees(PyObject* root, HashMode mode) {
    const Walk w = Walk::make();
    const std::vector<Strong> order = pre_order(w, root);
    HashMap map;
    map.reserve(order.size());
    HashRules rules(mode);
    if (mode == HashMode::Names || mode == HashMode::Shape)
        hash_listed<true>(w, order, map, rules);
    else
        hash_listed<false>(w, order, map, rules);
    return map;
}

Digest hashed(const HashMap& map, PyObject* node) {
    const Digest* h = map.find(reinterpret_cast<uintptr_t>(node));
    if (!h) throw_error(PyExc_RuntimeError, "the tree changed while it was being hashed");
    return *h;
}

}  // namespace qw
