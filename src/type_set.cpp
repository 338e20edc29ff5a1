#include "type_set.h"

#include "state.h"
#include "type_info.h"

#include <algorithm>

namespace qw {

namespace {

bool fields_empty(PyObject* cls) {
    if (const TypeInfo* info = built_type_info(reinterpret_cast<PyTypeObject*>(cls))) return info->field_names.empty();
    // Read, not recorded: a class named only in an argument is not kept alive.
    Strong name = Strong::own(PyUnicode_InternFromString("_fields"));
    PyObject* fields = PyObject_GetAttr(cls, name.as_ptr());
    if (!fields) {
        clear_ordinary_error();
        return true;
    }
    Strong held = Strong::own(fields);
    return PyTuple_Check(fields) && PyTuple_GET_SIZE(fields) == 0;
}

// A node class without fields of its own that other classes derive from
// (ast.AST, ast.stmt, ast.expr, ast.expr_context, ...): the parser builds
// none, so exact-class matching never meets one. The classes expand_kinds
// leaves out, among the node classes.
bool is_abstract(PyObject* cls) {
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), current_state().base_types().ast)) return false;
    if (!fields_empty(cls)) return false;
    // type.__subclasses__(cls), as expand_kinds asks.
    Strong name = Strong::own(PyUnicode_InternFromString("__subclasses__"));
    Strong subclasses = Strong::own(
        PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyType_Type), name.as_ptr(), cls));
    return PyList_Check(subclasses.as_ptr()) && PyList_GET_SIZE(subclasses.as_ptr()) > 0;
}

void warn_abstract(PyObject* cls) {
    PyObject* category = current_state().abstract_kind_warning();
    if (!category) throw_py();
    Strong module_name = Strong::own(PyUnicode_InternFromString("__module__"));
    Strong module = Strong::own(PyObject_GetAttr(cls, module_name.as_ptr()));
    Strong name = Strong::own(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(cls)));
    Strong message = Strong::own(PyUnicode_FromFormat(
        "%S.%S is an abstract node class, the own class of no parsed node, so it matches nothing; "
        "expand_kinds(%S.%S) gives the classes derived from it",
        module.as_ptr(), name.as_ptr(), module.as_ptr(), name.as_ptr()));
    // Stack level 1 points at the caller's line, as warnings.warn(...,
    // stacklevel=2) does from a Python function. The message goes as the str
    // it is: through UTF-8 a lone surrogate in a name would fail and a NUL
    // would cut it short.
    check_status(PyErr_WarnFormat(category, 1, "%U", message.as_ptr()));
}

}  // namespace

TypeSet::TypeSet(const Args& a, int param) {
    reading_argument(a, param, [&] {
        PyObject* tuple = a[param];
        *this = TypeSet(tuple);
        // In the tuple's order, each class once.
        std::vector<PyObject*> warned;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
            PyObject* cls = PyTuple_GET_ITEM(tuple, i);
            if (std::find(warned.begin(), warned.end(), cls) != warned.end() || !is_abstract(cls)) continue;
            warned.push_back(cls);
            warn_abstract(cls);
        }
    });
}

}  // namespace qw
