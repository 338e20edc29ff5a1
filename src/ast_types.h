// What the collection walks know about AST classes: the base-type pair, the
// fast node test, and the per-thread table of field counts.
#pragma once

#include "strong.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace qw {

struct BaseTypes {
    PyTypeObject* ast;   // ast.AST
    PyTypeObject* expr;  // ast.expr
};

// The interpreter's pair, resolved on its first call (kept by the module state).
BaseTypes resolve_base_types();

// Imports ast and reads AST and expr; no caching.
BaseTypes get_base_ast_type();

// getattr(o, name) with the name interned (new reference, or null with an
// error set). CPython's type attribute cache files each entry under the name
// object's address and keeps that object: a fresh name per lookup, as
// PyObject_GetAttrString makes, stays there until its slot is taken again.
PyObject* get_attr_interned(PyObject* o, const char* name);

// Looks two base links up and compares addresses: a class whose base is
// ast.AST, or whose base's base is ast.AST or ast.expr.
inline bool issubclass_of_ast(PyTypeObject* t, const BaseTypes& b) noexcept {
    PyTypeObject* base = t->tp_base;
    if (!base || base == &PyBaseObject_Type) return false;
    if (base == b.ast) return true;
    PyTypeObject* grand = base->tp_base;
    return grand == b.ast || grand == b.expr;
}

// What the table knows of one class: min(len(_fields), 254) + 1 (0 for a
// class it does not know), and the first count - 1 items of `_fields`
// (null where an item is not a str).
struct FieldInfo {
    uint8_t count;
    PyObject* const* names;
};

// Open-addressing map from class address to its FieldInfo.
// 256 slots, indexed by bits 4..11 of the address, linear probing. When a
// class tree has more classes than fit with one slot left empty, the table
// doubles, so every class keeps a correct answer.
class FieldTable {
public:
    static constexpr size_t INITIAL_SLOTS = 256;

    FieldTable();
    ~FieldTable();
    FieldTable(const FieldTable&) = delete;
    FieldTable& operator=(const FieldTable&) = delete;

    FieldInfo find(const PyTypeObject* t) const noexcept {
        const auto a = reinterpret_cast<uintptr_t>(t);
        size_t i = (a >> 4) & mask_;
        for (;;) {
            const uintptr_t k = keys_[i];
            if (k == a) return infos_[i];
            if (k == 0) return {0, nullptr};
            i = (i + 1) & mask_;
        }
    }
    uint8_t lookup(const PyTypeObject* t) const noexcept { return find(t).count; }

    // `names` holds value - 1 names (or nulls), each held through keep_alive;
    // taken only once nothing can fail any more.
    void insert_ast(const PyTypeObject* t, uint8_t value, std::unique_ptr<PyObject*[]>&& names);
    // Has the module state hold `cls` for as long as the table can be used.
    // Keys are bare addresses: a class freed while the table knew it could
    // hand its address to a new class with other fields, which would then be
    // read with the old count.
    void keep_alive(PyObject* cls);
    size_t slots() const noexcept { return mask_ + 1; }
    size_t size() const noexcept { return used_; }

private:
    void grow();
    void place(const PyTypeObject* t, FieldInfo info);

    std::unique_ptr<uintptr_t[]> keys_;
    std::unique_ptr<FieldInfo[]> infos_;
    std::vector<std::unique_ptr<PyObject*[]>> name_rows_;
    size_t mask_;
    size_t used_ = 0;
};

// Builds a table from the __subclasses__ tree below ast.AST.
std::unique_ptr<FieldTable> prebuild_field_table();

struct ThreadCaches;

// Runs `op(table)` with the thread's table for the running interpreter held
// exclusively, building it on first use. A nested use on the same thread is
// a broken invariant.
class FieldTableUse {
public:
    FieldTableUse();
    ~FieldTableUse();
    FieldTableUse(const FieldTableUse&) = delete;
    FieldTableUse& operator=(const FieldTableUse&) = delete;
    const FieldTable& table() const noexcept { return *table_; }

private:
    ThreadCaches* caches_;
    const FieldTable* table_;
};

template <class Op>
auto with_field_table(Op&& op) {
    FieldTableUse use;
    return op(use.table());
}

}  // namespace qw
