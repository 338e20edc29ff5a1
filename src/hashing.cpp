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

namespace {

// The type is seeded like a node's before the value goes in. Folding the
// value straight into the raw address would let a small value make up for
// the small distance between two static types: b'' and 55296 would hash
// alike.
inline uint64_t seeded_leaf(PyObject* x, Py_hash_t p) noexcept {
    return mix(mix(0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Py_TYPE(x)))),
               static_cast<uint64_t>(static_cast<int64_t>(p)));
}

// The leaf hash of a value whose hash neither runs Python code nor
// allocates: None, Ellipsis, exact str, bytes and bool, and ints hashed by
// value. False, with nothing done, for any other value.
inline bool quiet_leaf(PyObject* x, uint64_t& h) {
    PyTypeObject* t = Py_TYPE(x);
    Py_hash_t p;
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow || v == -1 || v <= -INT_HASH_MODULUS || v >= INT_HASH_MODULUS) return false;
        p = static_cast<Py_hash_t>(v);
    } else if (t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyBool_Type || x == Py_None || x == Py_Ellipsis) {
        p = PyObject_Hash(x);
        if (p == -1 && PyErr_Occurred()) throw_py();
    } else {
        return false;
    }
    h = seeded_leaf(x, p);
    return true;
}

}  // namespace

uint64_t process_leaf(PyObject* x) {
    uint64_t h;
    if (quiet_leaf(x, h)) return h;
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
    return seeded_leaf(x, p);
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
            const TypeInfo& info = w.info_of(node.as_ptr());
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
        const TypeInfo& info = w.info_of(node.as_ptr());
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
    HashPass(const Walk& w, HashMap& map, HashRules& rules)
        : w_(w), map_(map), rules_(rules), in_place_(rules.mode() == HashMode::Process) {}

    // The digest of one node, all of whose original children are in the map.
    Digest node_digest(PyObject* node) {
        const TypeInfo& info = w_.info_of(node);
        uint64_t field_rules = 0;
        const uint64_t seed = rules_.node_seed(Py_TYPE(node), info, field_rules);
        if constexpr (!Normalising) {
            if (in_place_ && fold_in_place(node, info.field_names, seed)) return {acc_, size_};
        }
        acc_ = seed;
        if constexpr (Normalising) field_rules_ = field_rules;
        size_ = 1;
        Walk::for_each_field(node, info.field_names, [&](size_t j, PyObject* value) { fold_field(j, value); });
        return {acc_, size_};
    }

private:
    // Folds the fields as they lie in the node's dictionary when no Python
    // code can run on the way: every field is found in place, and every value
    // (or list item) is a node already hashed or a quiet leaf. Then nothing
    // needs holding. Else changes nothing and returns false; the caller folds
    // the fields again, holding each value.
    bool fold_in_place(PyObject* node, const std::vector<PyObject*>& names, uint64_t acc) {
        PyObject* values[Walk::MOST_IN_PLACE];
        if (!Walk::read_fields_in_place(node, names, values)) return false;
        uint64_t size = 1;
        auto quiet_hash = [&](PyObject* x, uint64_t& h) {
            if (!w_.is_ast(x)) return quiet_leaf(x, h);
            const Digest* d = map_.find(reinterpret_cast<uintptr_t>(x));
            if (!d) return false;
            size = add_size(size, d->size);
            h = d->hash;
            return true;
        };
        for (size_t j = 0; j < names.size(); ++j) {
            PyObject* v = values[j];
            uint64_t h;
            if (Py_IS_TYPE(v, &PyList_Type)) {
                PyObject* const* items = reinterpret_cast<PyListObject*>(v)->ob_item;
                const Py_ssize_t n = PyList_GET_SIZE(v);
                h = mix(ALL_ONES, static_cast<uint64_t>(n));
                for (Py_ssize_t i = 0; i < n; ++i) {
                    uint64_t item;
                    if (!quiet_hash(items[i], item)) return false;
                    h = mix(h, item);
                }
            } else if (!quiet_hash(v, h)) {
                return false;
            }
            acc = mix(mix(acc, j), h);
        }
        acc_ = acc;
        size_ = size;
        return true;
    }

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
    // The stable leaf hashes may build a class record, which runs Python code.
    const bool in_place_;
};

}  // namespace

namespace {

template <class Item>
bool list_pre_order(const Walk& w, PyObject* root, std::vector<Strong>& order) {
    std::vector<Item> pending;
    TypedCycleGuard guard(w, root);
    pending.push_back(root_item<Item>(root));
    while (!pending.empty()) {
        Item node = std::move(pending.back());
        pending.pop_back();
        if (!expand(w, node_of(node), pending)) return false;
        order.push_back(kept(std::move(node)));
        if (!guard.go_on<Item>(order.size() + pending.size())) return false;
    }
    return true;
}

}  // namespace

std::vector<Strong> pre_order(const Walk& w, PyObject* root) {
    std::vector<Strong> order;
    Strong held = Strong::borrowed(root);
    traverse_either_way<PyObject*, Strong>(order, [&](auto tag) {
        return list_pre_order<typename decltype(tag)::type>(w, held.as_ptr(), order);
    });
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
