// The names that the visitor classes read, and telling this module's own
// methods and the values that are never nodes apart: what every part of the
// descent shares.
#pragma once

#include "binding.h"
#include "compat.h"
#include "state.h"
#include "strong.h"

#include <array>
#include <cstdint>
#include <iterator>
#include <type_traits>

namespace qw::visiting {

// Which of this module's methods an attribute resolves to.
enum class Ours : uint8_t { None, Visit, GenericVisit, GenericTransform, VisitConstant };

enum Word : size_t {
    W_VISIT, W_GENERIC_VISIT, W_FIELDS, W_CLASS, W_NAME, W_VALUE, W_EXTEND, W_PREFIX,
    W_NAMECONSTANT, W_NUM, W_STR, W_BYTES, W_ELLIPSIS, W_NODE_VISITOR, W_REGISTRY, WORD_COUNT
};
inline constexpr const char* WORD_TEXT[] = {
    "visit", "generic_visit", "_fields", "__class__", "__name__", "value", "extend", "visit_",
    "visit_NameConstant", "visit_Num", "visit_Str", "visit_Bytes", "visit_Ellipsis", "NodeVisitor",
    "__warningregistry__",
};
static_assert(std::size(WORD_TEXT) == WORD_COUNT);
static_assert(WORD_COUNT <= sizeof(ThreadCaches::visitor_words) / sizeof(PyObject*));

// The interned names, made once per thread and state.
PyObject* const* make_words(ModuleState& state);
inline PyObject* const* words(ModuleState& state) {
    PyObject* const* cells = state.thread_caches().visitor_words;
    return cells[WORD_COUNT - 1] ? cells : make_words(state);
}

inline Strong get_attr(PyObject* o, PyObject* name) { return Strong::own(PyObject_GetAttr(o, name)); }

// getattr(o, name) for a name that may be missing (AttributeError); null then.
inline Strong optional_attr(PyObject* o, PyObject* name) {
    PyObject* raw = nullptr;
    check_status(compat::get_optional_attr(o, name, &raw));
    return raw ? Strong::own(raw) : Strong();
}

// The classes' own methods, in the order of `Ours` from Visit.
using OwnMethods = std::array<PyObject*, std::extent_v<decltype(ModuleState::visitor_methods)>>;

// Which of this module's methods a function is: the classes' own, found
// by identity.
inline Ours function_ours(const OwnMethods& mine, PyObject* f) noexcept {
    if (!f || !PyFunction_Check(f)) return Ours::None;
    for (size_t k = 0; k < mine.size(); ++k)
        if (mine[k] == f) return static_cast<Ours>(k + 1);
    return Ours::None;
}

inline Ours bound_ours(const OwnMethods& mine, PyObject* self, PyObject* o) noexcept {
    if (!o || !PyMethod_Check(o) || PyMethod_GET_SELF(o) != self) return Ours::None;
    return function_ours(mine, PyMethod_GET_FUNCTION(o));
}

inline bool is_generic(Ours o) noexcept { return o == Ours::GenericVisit || o == Ours::GenericTransform; }

// Values that are never lists or nodes, whatever isinstance asks them.
inline bool is_leaf(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    // Nodes are of classes made at run time: told apart at once.
    if (t->tp_flags & Py_TPFLAGS_HEAPTYPE) return false;
    return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyTuple_Type || t == &PyBool_Type ||
           t == &PyFloat_Type || t == &PyBytes_Type || t == &PyComplex_Type || v == Py_Ellipsis;
}

// 'visit_' + name for a class's __name__ object (borrowed), cached for the
// thread; the names are kept, so an address seen here is never reused for
// another name. Null when the cache is full: classes made at run time could
// grow it without end.
PyObject* kept_method_name(ModuleState& state, PyObject* prefix, PyObject* name);

}  // namespace qw::visiting
