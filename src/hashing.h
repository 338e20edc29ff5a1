// Structural hashes of every subtree of an AST, computed bottom-up in one
// pass without recursing per tree level. Subtrees that ast.dump prints alike
// hash alike. The hashes mix in type addresses and the interpreter's
// per-process string hashes, so they mean nothing outside this process.
#pragma once

#include "binding.h"
#include "type_info.h"
#include "walk_stack.h"

#include <bit>
#include <cstdint>
#include <vector>

namespace qw {

// Node address -> hash of the subtree below it. Holds no references.
// Open addressing with linear probing in one array sized once for the
// number of entries it will get, so inserts neither allocate nor rehash.
class HashMap {
public:
    struct Entry {
        uintptr_t address;  // 0: free slot
        uint64_t hash;
    };

    HashMap() = default;

    // Room for `count` entries at a load factor of at most one half; once.
    void reserve(size_t count) {
        size_t slots = 16;
        while (slots < 2 * count) slots *= 2;
        slots_.assign(slots, Entry{0, 0});
        mask_ = slots - 1;
    }

    const uint64_t* find(uintptr_t address) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t i = PointerHasher{}(address) & mask_;; i = (i + 1) & mask_) {
            const Entry& e = slots_[i];
            if (e.address == address) return &e.hash;
            if (e.address == 0) return nullptr;
        }
    }

    // Adds `address` unless present; returns whether it was added.
    bool insert(uintptr_t address, uint64_t hash) {
        if (2 * (size_ + 1) > slots_.size()) throw InternalFailure("more subtree hashes than reserved");
        for (size_t i = PointerHasher{}(address) & mask_;; i = (i + 1) & mask_) {
            Entry& e = slots_[i];
            if (e.address == address) return false;
            if (e.address == 0) {
                e = Entry{address, hash};
                ++size_;
                return true;
            }
        }
    }

    size_t size() const noexcept { return size_; }

    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& e : slots_)
            if (e.address) visit(e.address, e.hash);
    }

private:
    std::vector<Entry> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// The combining step: the accumulator first, the value folded in second.
constexpr uint64_t mix(uint64_t h, uint64_t v) noexcept {
    return (std::rotl(h, 5) ^ v) * 0x9E3779B97F4A7C15ull;
}

// None, Ellipsis, and exact str, bytes, int and bool: the values whose own
// Python hash agrees with how ast.dump prints them.
inline bool hashes_as_dumped(PyObject* value) noexcept {
    if (value == Py_None || value == Py_Ellipsis) return true;
    PyTypeObject* t = Py_TYPE(value);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBytes_Type || t == &PyBool_Type;
}

// The nodes below `root`, root first, in depth-first pre-order; a node
// reached along several paths is listed once per path.
std::vector<Strong> pre_order(const Walk& w, PyObject* root);

// One hash per distinct node object of the tree rooted at `root` (any
// object; a non-node root is hashed as a node of its type).
HashMap hash_subtrees(PyObject* root);

// The hash stored for `node`; RuntimeError when there is none.
uint64_t hashed(const HashMap& map, PyObject* node);

Strong subtree_hashes(const Args& a);
Strong subtree_hash(const Args& a);

}  // namespace qw
