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
    if (t == &PyUnicode_Type) h = mix(h, static_cast<uint64_t>(PyUnicode_GET_LENGTH(x)));
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
        // As for a str leaf, with its length: the str hash covers the storage
        // bytes alone. Taken as str's own, whatever the repr's class defines.
        // The repr runs Python code anyway: what waits is freed first, or a
        // repr of a str subclass per leaf would pile up until the call ends.
        release_waiting();
        Strong r = Strong::own(PyObject_Repr(x));
        p = PyUnicode_Type.tp_hash(r.as_ptr());
        if (p == -1 && PyErr_Occurred()) throw_py();
        return mix(seeded_leaf(x, p), static_cast<uint64_t>(PyUnicode_GET_LENGTH(r.as_ptr())));
    }
    if (p == -1 && PyErr_Occurred()) throw_py();
    return seeded_leaf(x, p);
}

namespace {

inline uint64_t add_size(uint64_t a, uint64_t b) noexcept {
    const uint64_t sum = a + b;
    return sum < a ? ~uint64_t{0} : sum;
}

// Values hashed by their items rather than by their repr: a repr prints a
// node inside by its address (or, on 3.14+, abbreviated) and a set in an
// order that follows the per-process str hash, also as a dict's key or
// value. Subclasses too (their own type seeds them): ast.dump prints a list
// subclass item by item, and a subclass's repr has the same faults. But a
// dict subclass with a repr of its own goes by it, as ast.dump prints it: an
// OrderedDict or a Counter orders its items otherwise than its table, a
// defaultdict prints its factory.
inline bool is_container(PyObject* x) noexcept {
    return PyTuple_Check(x) || PyList_Check(x) || PyAnySet_Check(x) ||
           (PyDict_Check(x) && Py_TYPE(x)->tp_repr == PyDict_Type.tp_repr);
}

constexpr const char* CYCLE = "the tree has a cycle: a node is reachable from itself through its fields";

// The digests of the pass's finished nodes.
struct Finished {
    const NodeIndex& index;
    const std::vector<Hashed::Row>& rows;

    const Digest* find(PyObject* node) const noexcept {
        const size_t k = index.find(reinterpret_cast<uintptr_t>(node));
        if (k == NodeIndex::NONE || rows[k].digest.size == 0) return nullptr;
        return &rows[k].digest;
    }
};

// The digest of a value the pass cannot fold in place: a node whose fields
// need Python code to read or hash, a node the pass did not list (the tree
// changed under the pass), or a container. Iterative, on its own stack:
// every object it opens has its values read once and kept, and is finished
// after what it holds. What it finishes is remembered (and held, so no
// address is reused) while anything else holds it too, so nothing in it is
// hashed twice; once its holders in the value are finished and nothing else
// holds it, it cannot be met again and is let go, so what getters made is
// freed before the next getter runs. A container's nodes count in no size:
// the walks do not look inside containers.
class ValueHasher {
public:
    ValueHasher(const Walk& w, HashRules& rules, const Finished& done) : w_(w), rules_(rules), done_(done) {}

    // The digest of `root`: taken as a node whatever its type when
    // `as_node`, else a container.
    Digest run(PyObject* root, bool as_node) {
        root_ = as_node ? root : nullptr;
        stack_.emplace_back(Strong::borrowed(root), false);
        while (!stack_.empty()) {
            auto [x, leaving] = std::move(stack_.back());
            stack_.pop_back();
            if (leaving) {
                finish(std::move(x));
                continue;
            }
            const auto [it, fresh] = states_.try_emplace(key(x.as_ptr()), State{ON_PATH, {0, 0}, {}});
            if (!fresh) {
                if (it->second.kind == DONE) continue;
                throw_error(PyExc_RecursionError, CYCLE);
            }
            open(std::move(x));
        }
        const Digest d = states_.at(key(root)).digest;
        states_.clear();
        return d;
    }

private:
    enum Kind : uint8_t { NODE, ORDERED, UNORDERED };
    struct ReadField {
        size_t position;
        Strong value;
        std::vector<Strong> items;  // of an exact list, as read
        bool is_list;
    };
    struct Open {
        Kind kind;
        uint64_t seed;
        uint64_t field_rules;
        const std::vector<FieldRule>* wide_rules;
        std::vector<ReadField> fields;  // NODE
        std::vector<Strong> items;      // ORDERED, UNORDERED
    };
    enum : uint8_t { ON_PATH, DONE };
    struct State {
        uint8_t kind;
        Digest digest;
        Strong held;  // once DONE
    };

    static uintptr_t key(PyObject* x) noexcept { return reinterpret_cast<uintptr_t>(x); }

    void push_if_needed(PyObject* x) {
        if (is_container(x) || (w_.is_ast(x) && !done_.find(x))) stack_.emplace_back(Strong::borrowed(x), false);
    }

    void open(Strong x) {
        PyObject* obj = x.as_ptr();
        stack_.emplace_back(std::move(x), true);
        const auto start = static_cast<std::ptrdiff_t>(stack_.size());
        Open o{NODE, 0, 0, nullptr, {}, {}};
        if (obj != root_ && is_container(obj)) {
            o.kind = PyAnySet_Check(obj) ? UNORDERED : ORDERED;
            o.seed = rules_.type_seed(Py_TYPE(obj));
            auto take = [&](PyObject* item) {
                o.items.push_back(Strong::borrowed(item));
                push_if_needed(item);
            };
            if (PyTuple_Check(obj)) {
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) take(PyTuple_GET_ITEM(obj, i));
            } else if (PyList_Check(obj)) {
                Walk::for_each_item(obj, [&](Py_ssize_t, PyObject* item) { take(item); });
            } else if (PyDict_Check(obj)) {
                // Key, value, in the table's order, as dict's repr prints
                // them; nothing here runs Python code.
                Py_ssize_t pos = 0;
                PyObject* k;
                PyObject* v;
                while (PyDict_Next(obj, &pos, &k, &v)) {
                    take(k);
                    take(v);
                }
            } else {
                // A subclass's entries through a plain copy (it copies the
                // table, calling no __iter__ the subclass may define).
                Strong plain = PyFrozenSet_CheckExact(obj) || PySet_CheckExact(obj)
                                   ? Strong::borrowed(obj)
                                   : Strong::own(PyFrozenSet_New(obj));
                Strong items = Strong::own(PyObject_GetIter(plain.as_ptr()));
                while (PyObject* item = PyIter_Next(items.as_ptr())) {
                    Strong held = Strong::own(item);
                    take(item);
                }
                if (PyErr_Occurred()) throw_py();
            }
        } else {
            const TypeInfo& info = w_.info_of(obj);
            o.seed = rules_.node_seed(Py_TYPE(obj), info, o.field_rules);
            o.wide_rules = rules_.wide_rules(Py_TYPE(obj));
            Walk::for_each_field(obj, info.field_names, [&](size_t j, PyObject* v) {
                // A value left out still has its nodes counted, and only those.
                const bool left_out = HashRules::rule_at(o.field_rules, o.wide_rules, j) == CONSTANT;
                auto consider = [&](PyObject* item) {
                    if (!left_out || w_.is_ast(item)) push_if_needed(item);
                };
                ReadField f{j, Strong::borrowed(v), {}, Py_IS_TYPE(v, w_.list_type) != 0};
                if (f.is_list) {
                    Walk::for_each_item(v, [&](Py_ssize_t, PyObject* item) {
                        f.items.push_back(Strong::borrowed(item));
                        consider(item);
                    });
                } else {
                    consider(v);
                }
                o.fields.push_back(std::move(f));
            });
        }
        open_.push_back(std::move(o));
        std::reverse(stack_.begin() + start, stack_.end());
    }

    // The hash of a value held by an object being finished; a node's size
    // goes to `size`.
    uint64_t part(PyObject* x, FieldRule rule, uint64_t& size) {
        if (rule == IDENTIFIER && PyUnicode_Check(x)) return LEFT_OUT;
        const bool node = w_.is_ast(x);
        if (!node && !is_container(x)) return rules_.leaf(x);
        Digest d;
        if (const Digest* found = node ? done_.find(x) : nullptr) {
            d = *found;
        } else {
            const auto it = states_.find(key(x));
            if (it == states_.end() || it->second.kind != DONE) throw InternalFailure("a value was not hashed first");
            d = it->second.digest;
        }
        size = add_size(size, d.size);
        return d.hash;
    }

    void finish(Strong x) {
        Open o = std::move(open_.back());
        open_.pop_back();
        Digest d{0, 0};
        const uint64_t n = o.kind == NODE ? 0 : o.items.size();
        if (o.kind == ORDERED) {
            d.hash = mix(o.seed, n);
            for (const Strong& item : o.items) d.hash = mix(d.hash, part(item.as_ptr(), KEEP, d.size));
        } else if (o.kind == UNORDERED) {
            uint64_t sum = 0;
            for (const Strong& item : o.items) sum += avalanche(part(item.as_ptr(), KEEP, d.size));
            d.hash = mix(mix(o.seed, n), sum);
        } else {
            d = {o.seed, 1};
            for (const ReadField& f : o.fields) {
                const FieldRule rule = HashRules::rule_at(o.field_rules, o.wide_rules, f.position);
                uint64_t h;
                if (rule == CONSTANT) {
                    h = LEFT_OUT;
                    auto count = [&](PyObject* v) {
                        if (w_.is_ast(v)) part(v, KEEP, d.size);
                    };
                    if (f.is_list) for (const Strong& item : f.items) count(item.as_ptr());
                    else count(f.value.as_ptr());
                } else if (f.is_list) {
                    h = mix(ALL_ONES, f.items.size());
                    for (const Strong& item : f.items) h = mix(h, part(item.as_ptr(), rule, d.size));
                } else {
                    h = part(f.value.as_ptr(), rule, d.size);
                }
                d.hash = mix(mix(d.hash, f.position), h);
            }
        }
        // A container's size counts nothing.
        if (o.kind != NODE) d.size = 0;
        const uintptr_t k = key(x.as_ptr());
        states_[k] = {DONE, d, std::move(x)};
        let_go(std::move(o));
    }

    // Releases what `o` read, then forgets each finished value of it that
    // only its remembered state still holds. A value still found is alive
    // (its state holds it), so its address is its own.
    void let_go(Open o) {
        std::vector<PyObject*> read;
        for (const Strong& item : o.items) read.push_back(item.as_ptr());
        for (const ReadField& f : o.fields) {
            read.push_back(f.value.as_ptr());
            for (const Strong& item : f.items) read.push_back(item.as_ptr());
        }
        o = Open{};
        for (PyObject* x : read) {
            const auto it = states_.find(key(x));
            if (it != states_.end() && it->second.kind == DONE && Py_REFCNT(x) == 1) states_.erase(it);
        }
    }

    const Walk& w_;
    HashRules& rules_;
    const Finished& done_;
    PyObject* root_ = nullptr;
    std::unordered_map<uintptr_t, State, PointerHasher> states_;
    std::vector<std::pair<Strong, bool>> stack_;  // (object, leaving)
    std::vector<Open> open_;                      // of the objects on the path
};

// The pass: depth first, each distinct node entered once (listed, held and
// indexed) and hashed when its subtree is done, so a shared subtree costs one
// visit however many places hold it. A node met again while its subtree is
// still open is a cycle.
//
// The pending nodes are bare addresses as long as no Python code runs: a
// node's fields read in place, its class's record built, its values nodes
// already hashed or leaves whose hash allocates nothing. Before anything
// that can run Python code, every pending address is pinned (held to the
// end of the pass), so nothing on the stack can be freed under it.
// With `Normalising` false no field is left out, and the rule tests are
// compiled away from the modes that have none.
template <bool Normalising>
class HashPass {
public:
    HashPass(const Walk& w, HashRules& rules, Hashed& out)
        : w_(w), rules_(rules), out_(out), values_(w, rules, done_), process_(rules.mode() == HashMode::Process) {}

    void run(PyObject* root) {
        out_.rows.reserve(128);
        stack_.reserve(64);
        leaves_.reserve(64);
        Strong held = Strong::borrowed(root);
        stack_.push_back(root);
        pins_.push_back(std::move(held));
        pinned_ = 1;
        for (;;) {
            if (!leaves_.empty() && leaves_.back().depth == stack_.size()) {
                const size_t k = leaves_.back().index;
                leaves_.pop_back();
                leave(k);
                continue;
            }
            if (stack_.empty()) break;
            PyObject* node = stack_.back();
            stack_.pop_back();
            if (pinned_ > stack_.size()) pinned_ = stack_.size();
            const size_t k = out_.rows.size();
            const size_t found = index_.find_or_insert(reinterpret_cast<uintptr_t>(node), k);
            if (found != NodeIndex::NONE) {
                if (out_.rows[found].digest.size == 0) throw_error(PyExc_RecursionError, CYCLE);
                continue;
            }
            // Held from here on: its address stays its own for the pass.
            out_.rows.push_back({Strong::borrowed(node), {0, 0}});
            leaves_.push_back({k, stack_.size()});
            expand(node, k);
        }
    }

private:
    struct Leave {
        size_t index;
        size_t depth;  // the stack's size once the node's children are done
    };

    // Holds every pending node not held yet.
    void pin_pending() {
        for (size_t i = pinned_; i < stack_.size(); ++i) pins_.push_back(Strong::borrowed(stack_[i]));
        pinned_ = stack_.size();
    }

    void expand(PyObject* node, size_t k) {
        if (w_.push_children_in_place(node, stack_)) return;
        pin_pending();
        read_fields(node, k);
    }

    // A node whose fields need Python code to read (getters, a dictionary
    // not read in place): each field is read once, its child nodes listed,
    // and every other value hashed at once and let go, so that what a getter
    // made is freed before the next getter runs. The node's digest is put
    // together when its children are done (combine).
    struct Piece {
        PyObject* node;  // a child, held by pins_; else null
        uint64_t hash;   // the value's hash when no node
    };
    struct ReadField {
        size_t position;
        FieldRule rule;
        bool is_list;
        size_t first, count;  // its pieces
    };
    struct ReadNode {
        size_t row;
        uint64_t seed;
        std::vector<ReadField> fields;
        std::vector<Piece> pieces;
    };

    uint64_t value_hash(PyObject* x, FieldRule rule) {
        if (rule == IDENTIFIER && PyUnicode_Check(x)) return LEFT_OUT;
        if (!is_container(x)) return rules_.leaf(x);
        return values_.run(x, false).hash;
    }

    void read_fields(PyObject* node, size_t k) {
        const TypeInfo& info = w_.info_of(node);
        ReadNode r{k, 0, {}, {}};
        uint64_t field_rules = 0;
        r.seed = rules_.node_seed(Py_TYPE(node), info, field_rules);
        const std::vector<FieldRule>* wide = rules_.wide_rules(Py_TYPE(node));
        const size_t start = stack_.size();
        auto take = [&](PyObject* x, FieldRule rule) {
            if (w_.is_ast(x)) {
                r.pieces.push_back({x, 0});
                stack_.push_back(x);
                pins_.push_back(Strong::borrowed(x));
                pinned_ = stack_.size();
            } else {
                r.pieces.push_back({nullptr, rule == CONSTANT ? 0 : value_hash(x, rule)});
            }
        };
        Walk::for_each_field(node, info.field_names, [&](size_t j, PyObject* v) {
            const FieldRule rule = HashRules::rule_at(field_rules, wide, j);
            ReadField f{j, rule, Py_IS_TYPE(v, w_.list_type) != 0, r.pieces.size(), 0};
            if (f.is_list) {
                // Every item held before any is hashed: a repr may change the list.
                std::vector<Strong> items;
                Walk::for_each_item(v, [&](Py_ssize_t, PyObject* item) { items.push_back(Strong::borrowed(item)); });
                for (const Strong& item : items) take(item.as_ptr(), rule);
            } else {
                take(v, rule);
            }
            f.count = r.pieces.size() - f.first;
            r.fields.push_back(f);
        });
        std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(start), stack_.end());
        reads_.push_back(std::move(r));
    }

    Digest combine(const ReadNode& r) {
        Digest d{r.seed, 1};
        auto hash_of = [&](const Piece& p) {
            if (!p.node) return p.hash;
            const Digest* c = done_.find(p.node);
            if (!c) throw InternalFailure("a child was not hashed first");
            d.size = add_size(d.size, c->size);
            return c->hash;
        };
        for (const ReadField& f : r.fields) {
            const Piece* pieces = r.pieces.data() + f.first;
            uint64_t h;
            if (f.rule == CONSTANT) {
                // Left out, but its nodes still count.
                h = LEFT_OUT;
                for (size_t i = 0; i < f.count; ++i)
                    if (pieces[i].node) hash_of(pieces[i]);
            } else if (f.is_list) {
                h = mix(ALL_ONES, f.count);
                for (size_t i = 0; i < f.count; ++i) h = mix(h, hash_of(pieces[i]));
            } else {
                h = hash_of(pieces[0]);
            }
            d.hash = mix(mix(d.hash, f.position), h);
        }
        return d;
    }

    void leave(size_t k) {
        PyObject* node = out_.rows[k].node.as_ptr();
        Digest d;
        if (!reads_.empty() && reads_.back().row == k) {
            d = combine(reads_.back());
            reads_.pop_back();
        } else if (!fold_in_place(node, d)) {
            pin_pending();
            d = values_.run(node, true);
        }
        out_.rows[k].digest = d;
    }

    bool quiet_leaf_hash(PyObject* x, uint64_t& h) {
        return process_ ? quiet_leaf(x, h) : rules_.stable_quiet_leaf(x, h);
    }

    // Folds the fields as they lie in the node's dictionary when no Python
    // code can run on the way: every field found in place, and every value
    // (or list item) a node already hashed or a quiet leaf. Then nothing
    // needs holding. Else returns false.
    bool fold_in_place(PyObject* node, Digest& out) {
        const TypeInfo* info = w_.built_info_of(node);
        if (!info) return false;
        uint64_t acc = 0;
        uint64_t field_rules = 0;
        if (!rules_.quiet_node_seed(Py_TYPE(node), acc, field_rules)) return false;
        const std::vector<PyObject*>& names = info->field_names;
        PyObject* values[Walk::MOST_IN_PLACE];
        if (!Walk::read_fields_in_place(node, names, values)) return false;
        uint64_t size = 1;
        auto child = [&](PyObject* x, uint64_t& h) {
            const Digest* d = done_.find(x);
            if (!d) return false;
            size = add_size(size, d->size);
            h = d->hash;
            return true;
        };
        auto quiet_hash = [&](PyObject* x, FieldRule rule, uint64_t& h) {
            if (Normalising && rule == IDENTIFIER && PyUnicode_Check(x)) [[unlikely]] {
                h = LEFT_OUT;
                return true;
            }
            if (w_.is_ast(x)) return child(x, h);
            return quiet_leaf_hash(x, h);
        };
        for (size_t j = 0; j < names.size(); ++j) {
            PyObject* v = values[j];
            const FieldRule rule = Normalising ? HashRules::rule_at(field_rules, j) : KEEP;
            uint64_t h;
            if (Normalising && rule == CONSTANT) [[unlikely]] {
                // Left out, but its nodes still count.
                uint64_t ignored;
                if (Py_IS_TYPE(v, &PyList_Type)) {
                    PyObject* const* items = reinterpret_cast<PyListObject*>(v)->ob_item;
                    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
                        if (w_.is_ast(items[i]) && !child(items[i], ignored)) return false;
                } else if (w_.is_ast(v) && !child(v, ignored)) {
                    return false;
                }
                h = LEFT_OUT;
            } else if (Py_IS_TYPE(v, &PyList_Type)) {
                PyObject* const* items = reinterpret_cast<PyListObject*>(v)->ob_item;
                const Py_ssize_t n = PyList_GET_SIZE(v);
                h = mix(ALL_ONES, static_cast<uint64_t>(n));
                for (Py_ssize_t i = 0; i < n; ++i) {
                    uint64_t item;
                    if (!quiet_hash(items[i], rule, item)) return false;
                    h = mix(h, item);
                }
            } else if (!quiet_hash(v, rule, h)) {
                return false;
            }
            acc = mix(mix(acc, j), h);
        }
        out = {acc, size};
        return true;
    }

    const Walk& w_;
    HashRules& rules_;
    Hashed& out_;
    NodeIndex index_;
    Finished done_{index_, out_.rows};
    ValueHasher values_;
    std::vector<PyObject*> stack_;  // pending nodes, the next on top
    std::vector<Leave> leaves_;     // the open nodes, innermost last
    std::vector<ReadNode> reads_;   // of the open nodes read by read_fields
    std::vector<Strong> pins_;
    size_t pinned_ = 0;  // stack_[0, pinned_) is held by pins_
    const bool process_;
};

}  // namespace

Hashed hash_subtrees(PyObject* root, HashMode mode) {
    const Walk w = Walk::make();
    Hashed out;
    HashRules rules(mode);
    if (mode == HashMode::Names || mode == HashMode::Shape)
        HashPass<true>(w, rules, out).run(root);
    else
        HashPass<false>(w, rules, out).run(root);
    return out;
}

}  // namespace qw
