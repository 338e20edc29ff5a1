// Structural hashes of every subtree of an AST, with the subtree's node count,
// computed bottom-up in one pass without recursing per tree level. Subtrees
// that ast.dump prints alike hash alike. In the process mode the hashes mix
// in type addresses and the interpreter's per-process string hashes, so they
// mean nothing outside this process; the other modes (hash_rules.h) do not.
#pragma once

#include "binding.h"
#include "hash_rules.h"
#include "type_info.h"
#include "walk_stack.h"

#include <cstdint>
#include <vector>

namespace qw {

// The hash of a subtree and its node count (a node reached along several
// paths counts once per path, as walk_dfs lists it; saturating).
struct Digest {
    uint64_t hash;
    uint64_t size;
};

// Node address -> digest of the subtree below it. Holds no references.
// Open addressing with linear probing in one array sized once for the
// number of entries it will get, so inserts neither allocate nor rehash.
class HashMap {
public:
    struct Entry {
        uintptr_t address;  // 0: free slot
        Digest digest;
    };

    HashMap() = default;

    // Room for `count` entries at a load factor of at most one half; once.
    void reserve(size_t count) {
        size_t slots = 16;
        while (slots < 2 * count) slots *= 2;
        slots_.assign(slots, Entry{0, {0, 0}});
        mask_ = slots - 1;
    }

    const Digest* find(uintptr_t address) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t i = PointerHasher{}(address) & mask_;; i = (i + 1) & mask_) {
            const Entry& e = slots_[i];
            if (e.address == address) return &e.digest;
            if (e.address == 0) return nullptr;
        }
    }

    // Adds `address` unless present; returns whether it was added.
    bool insert(uintptr_t address, Digest digest) {
        if (2 * (size_ + 1) > slots_.size()) throw InternalFailure("more subtree hashes than reserved");
        for (size_t i = PointerHasher{}(address) & mask_;; i = (i + 1) & mask_) {
            Entry& e = slots_[i];
            if (e.address == address) return false;
            if (e.address == 0) {
                e = Entry{address, digest};
                ++size_;
                return true;
            }
        }
    }

    size_t size() const noexcept { return size_; }

    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& e : slots_)
            if (e.address) visit(e.address, e.digest);
    }

private:
    std::vector<Entry> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// The nodes below `root`, root first, in depth-first pre-order; a node
// reached along several paths is listed once per path.
std::vector<Strong> pre_order(const Walk& w, PyObject* root);

// One digest per distinct node object of the tree rooted at `root` (any
// object; a non-node root is hashed as a node of its type).
HashMap hash_subtrees(PyObject* root, HashMode mode = HashMode::Process);

// The digest stored for `node`; RuntimeError when there is none.
Digest hashed(const HashMap& map, PyObject* node);

Strong subtree_hashes(const Args& a);
Strong subtree_hash(const Args& a);
Strong subtree_digests(const Args& a);
Strong subtree_digest(const Args& a);

}  // namespace qw
