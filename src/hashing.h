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
#include <unordered_map>
#include <vector>

namespace qw {

// Node address -> hash of the subtree below it. Holds no references.
using HashMap = std::unordered_map<uintptr_t, uint64_t, PointerHasher>;

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
