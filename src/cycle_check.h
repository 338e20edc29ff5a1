// Cycle detection for the traversals. They keep no visited set (a node shared
// by several parents is handled once per path), so a structure in which a
// node is its own descendant would make them grow without end. Past a count
// that no ordinary tree reaches, and at every doubling after, the structure
// is searched for a real cycle; one fails the call with RecursionError, while
// shared nodes alone (a DAG) let the walk go on.
#pragma once

#include "strong.h"
#include "type_info.h"

#include <unordered_map>
#include <utility>
#include <vector>

namespace qw {

inline uintptr_t address_of(PyObject* p) noexcept { return reinterpret_cast<uintptr_t>(p); }
inline uintptr_t address_of(const Strong& s) noexcept { return reinterpret_cast<uintptr_t>(s.as_ptr()); }

// Iterative depth-first search marking the nodes on the current path.
// `expand(node, children)` appends the children of a node.
template <class Handle, class Expand>
bool has_cycle_from(Handle root, Expand&& expand) {
    enum : uint8_t { ON_PATH = 1, DONE = 2 };
    std::unordered_map<uintptr_t, uint8_t, PointerHasher> state;
    std::vector<std::pair<Handle, bool>> stack;  // (node, leaving)
    std::vector<Handle> children;
    stack.emplace_back(std::move(root), false);
    while (!stack.empty()) {
        auto [node, leaving] = std::move(stack.back());
        stack.pop_back();
        const uintptr_t key = address_of(node);
        if (leaving) {
            state[key] = DONE;
            continue;
        }
        uint8_t& s = state[key];
        if (s == ON_PATH) return true;
        if (s == DONE) continue;
        s = ON_PATH;
        children.clear();
        expand(node, children);
        stack.emplace_back(std::move(node), true);
        for (Handle& c : children) stack.emplace_back(std::move(c), false);
    }
    return false;
}

template <class Search>
class CycleGuard {
public:
    static constexpr size_t FIRST_CHECK = size_t{1} << 24;

    explicit CycleGuard(Search search) : search_(std::move(search)) {}

    // Call with the number of nodes met so far: handled, and pending on the
    // stack. Counting the handled ones alone, a node listing itself many
    // times would grow the stack by that many per node until memory ran out
    // before the search began.
    void check(size_t handled) {
        if (handled < next_) [[likely]]
            return;
        next_ *= 2;
        if (search_())
            throw_error(PyExc_RecursionError,
                        "the tree has a cycle: a node is reachable from itself through its fields");
    }

private:
    Search search_;
    size_t next_ = FIRST_CHECK;
};

}  // namespace qw
