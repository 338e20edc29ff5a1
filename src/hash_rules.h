// What a structural hash is made of, by mode: how a node's class seeds it,
// how a leaf value hashes, and which fields are left out. The process mode
// is the original hash (type addresses and the interpreter's own str hashes);
// the other modes name classes by module and qualified name and hash strings
// and bytes with a fixed-key function, so their values are the same in every
// process, run and interpreter of one CPython version.
#pragma once

#include "type_info.h"

#include <bit>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace qw {

enum class HashMode : uint8_t {
    Process,  // per process: the hash of subtree_hashes
    Stable,   // the same structure, independent of the process
    Names,    // Stable, with identifiers left out
    Shape,    // Stable, with identifiers and constant values left out
};

// The combining step: the accumulator first, the value folded in second.
constexpr uint64_t mix(uint64_t h, uint64_t v) noexcept {
    return (std::rotl(h, 5) ^ v) * 0x9E3779B97F4A7C15ull;
}

// The final avalanche of MurmurHash3: every input bit reaches every output
// bit, so that a sum of item hashes, which does not depend on their order,
// still moves with every bit of each.
constexpr uint64_t avalanche(uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

// Stands for a value that a normalising mode leaves out.
constexpr uint64_t LEFT_OUT = 0x243F6A8885A308D3ull;

// The fixed-key hash of a byte string (its length included).
uint64_t bytes_hash(const unsigned char* data, size_t size) noexcept;

// None, Ellipsis, and exact str, bytes, int and bool: the values whose own
// Python hash agrees with how ast.dump prints them.
bool hashes_as_dumped(PyObject* value) noexcept;

// The leaf hash of the process mode: the value's own Python hash (or its
// repr's), seeded with the address of its type; a str's length goes in too,
// since its Python hash covers its storage bytes alone (': ' and '\u203a'
// store the same two). In hashing.cpp, beside the pass that calls it for
// almost every leaf.
uint64_t process_leaf(PyObject* x);

// How one field of a class is treated.
enum FieldRule : uint8_t { KEEP = 0, IDENTIFIER = 1, CONSTANT = 2 };

class HashRules {
public:
    explicit HashRules(HashMode mode) : mode_(mode) {}

    HashMode mode() const noexcept { return mode_; }

    // The seed of a node of `type`; `rules` receives the class's per-field
    // rules (bit pairs by field position; zero when nothing is left out).
    uint64_t node_seed(PyTypeObject* type, const TypeInfo& info, uint64_t& rules) {
        if (mode_ == HashMode::Process) [[likely]] {
            rules = 0;
            return mix(0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)));
        }
        return stable_node_seed(type, info, rules);
    }

    // As node_seed when it can run no Python code (the class's record is
    // known); else false, with nothing done.
    bool quiet_node_seed(PyTypeObject* type, uint64_t& seed, uint64_t& rules) noexcept {
        if (mode_ == HashMode::Process) {
            rules = 0;
            seed = mix(0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)));
            return true;
        }
        const Record* r = known(type);
        if (!r || !r->rules_known) return false;
        seed = r->seed;
        rules = r->rules;
        return true;
    }

    // The seed of a container of `type`, which then takes its length and items.
    uint64_t type_seed(PyTypeObject* type) {
        if (mode_ == HashMode::Process) return mix(0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)));
        return record(type).seed;
    }

    // The hash of a value that is neither a node nor a container (hashed by
    // structure, in hashing.cpp).
    uint64_t leaf(PyObject* x) { return mode_ == HashMode::Process ? process_leaf(x) : stable_leaf(x); }

    // The stable leaf hash when it runs no Python code and allocates
    // nothing: the type's record known, and the value None, Ellipsis, a bool,
    // bytes, an ASCII str or an int of 64 bits. Else false, nothing done.
    bool stable_quiet_leaf(PyObject* x, uint64_t& h) noexcept;

    static FieldRule rule_at(uint64_t rules, size_t j) noexcept {
        return j < 32 ? static_cast<FieldRule>((rules >> (2 * j)) & 3) : KEEP;
    }

    // Every field's rule of a class with more fields than the bit pairs
    // hold (a user subclass may add many before the identifier); null when
    // the bit pairs say all. Valid for the pass: the record is held.
    const std::vector<FieldRule>* wide_rules(PyTypeObject* type) const noexcept {
        if (mode_ == HashMode::Process) return nullptr;
        const Record* r = known(type);
        return r && !r->wide.empty() ? &r->wide : nullptr;
    }
    static FieldRule rule_at(uint64_t rules, const std::vector<FieldRule>* wide, size_t j) noexcept {
        if (j < 32 || !wide) return rule_at(rules, j);
        return j < wide->size() ? (*wide)[j] : KEEP;
    }

private:
    struct Record {
        Strong type;  // held: its address is the key
        uint64_t seed = 0;
        uint64_t rules = 0;
        bool rules_known = false;
        std::vector<FieldRule> wide;  // see wide_rules
    };

    Record& record(PyTypeObject* type);
    const Record* known(PyTypeObject* type) const noexcept {
        const Slot& s = memo_[(reinterpret_cast<uintptr_t>(type) >> 4) & 31];
        if (s.type == type) return s.record;
        const auto it = records_.find(reinterpret_cast<uintptr_t>(type));
        return it == records_.end() ? nullptr : &it->second;
    }
    uint64_t stable_node_seed(PyTypeObject* type, const TypeInfo& info, uint64_t& rules);
    uint64_t stable_leaf(PyObject* x);
    uint64_t class_rules(PyTypeObject* type, const TypeInfo& info, std::vector<FieldRule>& wide);

    // A class of the ast module with a field that a normalising mode leaves out.
    struct Standard {
        Strong cls;
        const char* field;
        FieldRule rule;
    };
    const std::vector<Standard>& standard_classes();
    std::vector<Standard> standard_;
    bool standard_known_ = false;

    HashMode mode_;
    Strong module_name_;
    std::unordered_map<uintptr_t, Record, PointerHasher> records_;
    // Direct-mapped memo in front of the map: few classes, met again and again.
    struct Slot {
        const PyTypeObject* type = nullptr;
        Record* record = nullptr;
    };
    Slot memo_[32];
};

}  // namespace qw
