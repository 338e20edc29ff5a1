#include "ast_types.h"

#include "binding.h"
#include "state.h"

#include <cstring>
#include <vector>

namespace qw {

namespace {

PyTypeObject* as_type(PyObject* o) {
    if (!PyType_Check(o)) throw_type_mismatch(o, "type");
    return reinterpret_cast<PyTypeObject*>(o);
}

// The class's entry: the generic length of `_fields` (capped), and its str
// items, which the walks compare with a node's dictionary keys. Released
// when done: the module state keeps its own.
struct ClassFields {
    uint8_t value = 1;
    std::unique_ptr<Strong[]> names;  // value - 1 references, or nulls
};

void field_value(PyObject* cls, ClassFields& out) {
    PyObject* fields = get_attr_interned(cls, "_fields");
    if (!fields) {
        clear_ordinary_error();
        return;
    }
    Strong held = Strong::own(fields);
    Py_ssize_t n = PyObject_Size(fields);
    if (n < 0) {
        clear_ordinary_error();
        return;
    }
    if (n > 254) n = 254;
    out.names.reset(new Strong[static_cast<size_t>(n) + 1]);
    out.value = static_cast<uint8_t>(n + 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Strong item = Strong::own_or_null(PySequence_GetItem(fields, i));
        if (!item) {
            clear_ordinary_error();
            continue;
        }
        if (PyUnicode_Check(item.as_ptr())) out.names[static_cast<size_t>(i)] = std::move(item);
    }
}

}  // namespace

BaseTypes get_base_ast_type() {
    Strong mod = Strong::own(PyImport_ImportModule("ast"));
    Strong ast = Strong::own(get_attr_interned(mod.as_ptr(), "AST"));
    PyTypeObject* ast_t = as_type(ast.as_ptr());
    Strong expr = Strong::own(get_attr_interned(mod.as_ptr(), "expr"));
    PyTypeObject* expr_t = as_type(expr.as_ptr());
    // The ast module keeps both classes alive for the interpreter's lifetime.
    return {ast_t, expr_t};
}

BaseTypes resolve_base_types() { return current_state().base_types(); }

PyObject* get_attr_interned(PyObject* o, const char* name) {
    Strong n = Strong::own_or_null(PyUnicode_InternFromString(name));
    return n ? PyObject_GetAttr(o, n.as_ptr()) : nullptr;
}

FieldTable::FieldTable()
    : keys_(new uintptr_t[INITIAL_SLOTS]()), infos_(new FieldInfo[INITIAL_SLOTS]()), mask_(INITIAL_SLOTS - 1) {}

// Owns no references: it may die at thread exit, with no interpreter lock.
FieldTable::~FieldTable() = default;

void FieldTable::keep_alive(PyObject* cls) { current_state().keep(cls); }

void FieldTable::insert_ast(const PyTypeObject* t, uint8_t value, std::unique_ptr<PyObject*[]>&& names) {
    // May throw, before the row is owned here.
    if (name_rows_.size() == name_rows_.capacity()) name_rows_.reserve(name_rows_.size() * 2 + 64);
    PyObject* const* row = names.get();
    name_rows_.push_back(std::move(names));
    place(t, {value, row});
}

void FieldTable::place(const PyTypeObject* t, FieldInfo info) {
    const auto a = reinterpret_cast<uintptr_t>(t);
    for (;;) {
        size_t i = (a >> 4) & mask_;
        while (keys_[i] != 0 && keys_[i] != a) i = (i + 1) & mask_;
        if (keys_[i] == a) {
            infos_[i] = info;
            return;
        }
        // A probe for an absent class ends only at an empty slot: keep one.
        if (used_ + 1 < slots()) {
            keys_[i] = a;
            infos_[i] = info;
            ++used_;
            return;
        }
        grow();
    }
}

void FieldTable::grow() {
    const size_t old_slots = slots();
    std::unique_ptr<uintptr_t[]> old_keys = std::move(keys_);
    std::unique_ptr<FieldInfo[]> old_infos = std::move(infos_);
    keys_.reset(new uintptr_t[old_slots * 2]());
    infos_.reset(new FieldInfo[old_slots * 2]());
    mask_ = old_slots * 2 - 1;
    used_ = 0;
    for (size_t i = 0; i < old_slots; ++i)
        if (old_keys[i]) place(reinterpret_cast<const PyTypeObject*>(old_keys[i]), old_infos[i]);
}

std::unique_ptr<FieldTable> prebuild_field_table() {
    Strong mod = Strong::own(PyImport_ImportModule("ast"));
    Strong ast = Strong::own(get_attr_interned(mod.as_ptr(), "AST"));
    as_type(ast.as_ptr());

    auto table = std::make_unique<FieldTable>();
    std::vector<Strong> stack;
    stack.push_back(std::move(ast));
    while (!stack.empty()) {
        Strong cls = std::move(stack.back());
        stack.pop_back();
        ClassFields f;
        field_value(cls.as_ptr(), f);
        table->keep_alive(cls.as_ptr());
        // The module state holds the names; the table keeps bare addresses.
        std::unique_ptr<PyObject*[]> row(new PyObject*[f.value]());
        for (size_t i = 0; i + 1 < f.value; ++i) {
            row[i] = f.names[i].as_ptr();
            if (row[i]) table->keep_alive(row[i]);
        }
        table->insert_ast(reinterpret_cast<PyTypeObject*>(cls.as_ptr()), f.value, std::move(row));
        Strong subclasses = Strong::own(get_attr_interned(cls.as_ptr(), "__subclasses__"));
        Strong subs = Strong::own(PyObject_CallNoArgs(subclasses.as_ptr()));
        Strong it = Strong::own(PyObject_GetIter(subs.as_ptr()));
        for (;;) {
            PyObject* item = nullptr;
            int rc = compat::iter_next(it.as_ptr(), &item);
            if (rc < 0) throw_py();
            if (rc == 0) break;
            Strong sub = Strong::own(item);
            as_type(sub.as_ptr());
            stack.push_back(std::move(sub));
        }
    }
    return table;
}

FieldTableUse::FieldTableUse() : caches_(&current_state().thread_caches()) {
    ThreadCaches& c = *caches_;
    if (c.field_table_in_use) throw InternalFailure("the field table is already in use on this thread");
    c.field_table_in_use = true;
    try {
        if (!c.field_table) c.field_table = prebuild_field_table();
    } catch (...) {
        c.field_table_in_use = false;
        throw;
    }
    table_ = c.field_table.get();
}

FieldTableUse::~FieldTableUse() { caches_->field_table_in_use = false; }

}  // namespace qw
