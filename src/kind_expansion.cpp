#include "kind_expansion.h"

#include "type_info.h"

#include <unordered_set>
#include <vector>

namespace qw {

namespace {

// A category: a class without fields of its own that other classes derive
// from (ast.AST, ast.stmt, ast.expr, ast.expr_context, ...). The parser never
// builds one, and exact-class matching would never meet one.
bool is_category(PyObject* cls, PyObject* subclasses, PyObject* fields_name) {
    if (PyList_GET_SIZE(subclasses) == 0) return false;
    PyObject* fields = PyObject_GetAttr(cls, fields_name);
    if (!fields) {
        clear_ordinary_error();
        return true;
    }
    Strong held = Strong::own(fields);
    return PyTuple_Check(fields) && PyTuple_GET_SIZE(fields) == 0;
}

// The deprecated aliases of ast.Constant (3.11 to 3.13). The parser never
// builds them and their constructors return a Constant, so exact-class
// matching would silently find nothing where isinstance finds constants.
constexpr const char* CONSTANT_ALIASES[] = {"Num", "Str", "Bytes", "NameConstant", "Ellipsis"};

void refuse_constant_alias(PyObject* cls, PyObject* module_name) {
    Strong module = Strong::own_or_null(PyObject_GetAttr(cls, module_name));
    if (!module) {
        clear_ordinary_error();
        return;
    }
    if (!PyUnicode_Check(module.as_ptr()) || PyUnicode_CompareWithASCIIString(module.as_ptr(), "ast") != 0) return;
    Strong name = Strong::own(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(cls)));
    for (const char* alias : CONSTANT_ALIASES) {
        if (PyUnicode_CompareWithASCIIString(name.as_ptr(), alias) == 0) {
            PyErr_Format(PyExc_TypeError, "ast.%s is a deprecated alias that the parser never builds; use ast.Constant",
                         alias);
            throw_py();
        }
    }
}

}  // namespace

// Every class given and every class below it, each once, in the order of a
// depth-first pre-order over __subclasses__, leaving out categories.
Strong expand_kinds(const Args& a) {
    Strong given = Strong::borrowed(a[0]);
    std::vector<Strong> stack;
    if (PyType_Check(given.as_ptr())) {
        stack.push_back(Strong::borrowed(given.as_ptr()));
    } else if (PyTuple_Check(given.as_ptr())) {
        for (Py_ssize_t i = PyTuple_GET_SIZE(given.as_ptr()); i-- > 0;) {
            PyObject* item = PyTuple_GET_ITEM(given.as_ptr(), i);
            if (!PyType_Check(item)) throw_type_mismatch(item, "type");
            stack.push_back(Strong::borrowed(item));
        }
    } else {
        throw_type_mismatch(given.as_ptr(), "type");
    }
    Strong module_name = Strong::own(PyUnicode_InternFromString("__module__"));
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) refuse_constant_alias(it->as_ptr(), module_name.as_ptr());
    // Interned, as the interpreter's own names are: found in its caches.
    Strong subclasses_name = Strong::own(PyUnicode_InternFromString("__subclasses__"));
    Strong fields_name = Strong::own(PyUnicode_InternFromString("_fields"));
    std::unordered_set<uintptr_t, PointerHasher> seen;
    std::vector<Strong> concrete;
    std::vector<Strong> seen_classes;  // held, so that no address is reused
    while (!stack.empty()) {
        Strong cls = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert(reinterpret_cast<uintptr_t>(cls.as_ptr())).second) continue;
        // type.__subclasses__(cls), not cls.__subclasses__(): for a metaclass
        // such as `type` itself the latter is the unbound method.
        Strong subclasses = Strong::own(PyObject_CallMethodOneArg(
            reinterpret_cast<PyObject*>(&PyType_Type), subclasses_name.as_ptr(), cls.as_ptr()));
        if (!PyList_Check(subclasses.as_ptr())) throw_type_mismatch(subclasses.as_ptr(), "list");
        if (!is_category(cls.as_ptr(), subclasses.as_ptr(), fields_name.as_ptr())) concrete.push_back(Strong::borrowed(cls.as_ptr()));
        for (Py_ssize_t i = PyList_GET_SIZE(subclasses.as_ptr()); i-- > 0;) {
            PyObject* sub = PyList_GET_ITEM(subclasses.as_ptr(), i);
            if (PyType_Check(sub)) stack.push_back(Strong::borrowed(sub));
        }
        seen_classes.push_back(std::move(cls));
    }
    Strong tuple = Strong::own(PyTuple_New(static_cast<Py_ssize_t>(concrete.size())));
    for (size_t i = 0; i < concrete.size(); ++i)
        PyTuple_SET_ITEM(tuple.as_ptr(), static_cast<Py_ssize_t>(i), concrete[i].release());
    return tuple;
}

}  // namespace qw
