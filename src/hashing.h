// Structural hashes of every subtree of an AST, with the subtree's node count,
// computed in one depth-first pass without recursing per tree level: each
// distinct node is read and hashed once, on the way back up, so a node shared
// by many parents (even a chain of shared levels) costs one visit. Subtrees
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

// The hash of a subtree and its node count: the node and, once per place,
// every node in its fields as the typed traversals read them (as ast.walk
// would list them), saturating. A size of 0 marks a node not finished yet.
struct Digest {
    uint64_t hash;
    uint64_t size;
};

// Node address -> its position in the pass's list of distinct nodes. Open
// addressing with linear probing in one array, grown at half load.
class NodeIndex {
public:
    static constexpr size_t NONE = ~size_t{0};

    NodeIndex() { slots_.assign(256, Entry{0, 0}); }

    size_t find(uintptr_t address) const noexcept {
        const size_t mask = slots_.size() - 1;
        for (size_t i = PointerHasher{}(address) & mask;; i = (i + 1) & mask) {
            const Entry& e = slots_[i];
            if (e.address == address) return e.index;
            if (e.address == 0) return NONE;
        }
    }

    // The index of `address` when present; else records it with `index`
    // and returns NONE.
    size_t find_or_insert(uintptr_t address, size_t index) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        for (size_t i = PointerHasher{}(address) & mask;; i = (i + 1) & mask) {
            Entry& e = slots_[i];
            if (e.address == address) return e.index;
            if (e.address == 0) {
                e = Entry{address, index};
                ++size_;
                return NONE;
            }
        }
    }

private:
    struct Entry {
        uintptr_t address;  // 0: free slot
        size_t index;
    };

    static void place(std::vector<Entry>& slots, uintptr_t address, size_t index) noexcept {
        const size_t mask = slots.size() - 1;
        size_t i = PointerHasher{}(address) & mask;
        while (slots[i].address) i = (i + 1) & mask;
        slots[i] = Entry{address, index};
    }

    void grow() {
        // Four times: fewer moves on the way up, at a quarter load at worst.
        std::vector<Entry> bigger(4 * slots_.size(), Entry{0, 0});
        for (const Entry& e : slots_)
            if (e.address) place(bigger, e.address, e.index);
        slots_.swap(bigger);
    }

    std::vector<Entry> slots_;
    size_t size_ = 0;
};

// Every distinct node object of a tree once, root first, each with its digest.
// The nodes are held, so their addresses stay theirs while the result lives.
struct Hashed {
    struct Row {
        Strong node;
        Digest digest;
    };
    std::vector<Row> rows;
};

// The digests of the tree rooted at `root` (any object; a non-node root is
// hashed as a node of its type). A node that is its own descendant fails
// with RecursionError.
Hashed hash_subtrees(PyObject* root, HashMode mode = HashMode::Process);

Strong subtree_hashes(const Args& a);
Strong subtree_hash(const Args& a);
Strong subtree_digests(const Args& a);
Strong subtree_digest(const Args& a);

}  // namespace qw
