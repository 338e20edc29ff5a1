// A tuple of classes as a sorted set of type addresses, for exact-type
// membership tests that touch no Python object.
#pragma once

#include "binding.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qw {

class TypeSet {
public:
    TypeSet() = default;  // empty: contains nothing (an absent `prune`)

    // `tuple` was accepted by the binding as a tuple; a non-type item raises
    // TypeError "'<type>' object is not an instance of 'type'".
    explicit TypeSet(PyObject* tuple) {
        Strong held = Strong::borrowed(tuple);
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(tuple, i);
            if (!PyType_Check(item)) throw_type_mismatch(item, "type");
            if (types_.empty()) types_.reserve(4);
            types_.push_back(reinterpret_cast<uintptr_t>(item));
        }
        if (types_.size() > 1) {
            std::sort(types_.begin(), types_.end());
            types_.erase(std::unique(types_.begin(), types_.end()), types_.end());
        }
    }

    // The set of argument `param` of the call, as above. A class that no
    // parsed node has as its own class (an abstract one such as ast.expr)
    // stays in the set, matching nothing, and is warned about with
    // AbstractKindWarning; deciding it here keeps the walk itself free of it.
    // An error, a warning turned into one included, carries the note naming
    // the argument.
    TypeSet(const Args& a, int param);

    bool contains(const PyTypeObject* t) const noexcept {
        if (types_.empty()) return false;
        return std::binary_search(types_.begin(), types_.end(), reinterpret_cast<uintptr_t>(t));
    }
    bool empty() const noexcept { return types_.empty(); }

private:
    std::vector<uintptr_t> types_;
};

}  // namespace qw
