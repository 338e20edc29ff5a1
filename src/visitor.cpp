// NodeVisitor and NodeTransformer.
//
// The classes act as ast.NodeVisitor and ast.NodeTransformer do, step for
// step: every attribute the standard visitor reads is read here, in the same
// order, through getattr. What is left out is only what nobody can observe:
// the Python frames of `visit` and `generic_visit`, and the bound methods
// they make, for a node that the visitor has no method for. Such nodes are
// descended on an explicit stack, so that only the visitor's own methods
// run Python code. Whether `visit` and `generic_visit` are still this
// module's is asked of the class and the instance at every node (CPython's
// type attribute cache answers in a few instructions), so a class changed
// in the middle of a descent is seen at once, and a visitor that overrides
// either method gets its own method called exactly where the standard one
// would call it.
#include "visitor.h"

#include "binding.h"
#include "state.h"

#include <vector>

namespace qw {

namespace {

// Which of this module's methods an attribute resolves to.
enum class Ours : uint8_t { None, Visit, GenericVisit, GenericTransform, VisitConstant };

enum Word : size_t { W_VISIT, W_GENERIC_VISIT, W_FIELDS, W_CLASS, W_NAME, W_VALUE, W_EXTEND, W_PREFIX };
constexpr const char* WORD_TEXT[] = {"visit", "generic_visit", "_fields", "__class__",
                                     "__name__", "value", "extend", "visit_"};
static_assert(std::size(WORD_TEXT) == sizeof(ThreadCaches::visitor_words) / sizeof(PyObject*));

PyObject* word(Word w) {
    PyObject*& cell = current_state().thread_caches().visitor_words[w];
    if (!cell) [[unlikely]] {
        Strong s = Strong::own(PyUnicode_InternFromString(WORD_TEXT[w]));
        current_state().keep(s.as_ptr());
        current_state().thread_caches().visitor_words[w] = s.as_ptr();
        return s.as_ptr();
    }
    return cell;
}

Strong call(PyObject* callable, PyObject* arg) { return Strong::own(PyObject_CallOneArg(callable, arg)); }

Strong get_attr(PyObject* o, PyObject* name) { return Strong::own(PyObject_GetAttr(o, name)); }

// getattr(o, name, None) for AttributeError only; null when missing.
Strong optional_attr(PyObject* o, PyObject* name) {
    PyObject* raw = nullptr;
    check_status(compat::get_optional_attr(o, name, &raw));
    return raw ? Strong::own(raw) : Strong();
}

Ours ours_of(const PyMethodDef* def) noexcept;

// Whether `o.__class__` is `type(o)` without any code running: the class
// reads attributes the ordinary way and leaves object's `__class__` alone.
bool class_is_type(PyTypeObject* t) {
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* name = word(W_CLASS);
    return _PyType_Lookup(t, name) == _PyType_Lookup(&PyBaseObject_Type, name);
}

// isinstance(v, cls), for a class whose metaclass is `type`.
bool is_instance(PyObject* v, PyTypeObject* cls) {
    if (PyObject_TypeCheck(v, cls)) return true;
    PyTypeObject* t = Py_TYPE(v);
    if (v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyList_Type || t == &PyTuple_Type ||
        t == &PyBool_Type || t == &PyFloat_Type || t == &PyBytes_Type)
        return false;
    if (class_is_type(t)) return false;
    return check_status(PyObject_IsInstance(v, reinterpret_cast<PyObject*>(cls))) != 0;
}

// Whether `self`'s instance dict holds `name`.
bool instance_has(PyObject* self, PyObject* name) {
    PyObject** slot = _PyObject_GetDictPtr(self);
    if (!slot) {
        if (PyErr_Occurred()) throw_py();
        // A dict that could not be made may still hold the name.
        return (Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
    }
    if (!*slot) return false;
    Strong dict = Strong::borrowed(*slot);
    PyObject* v = PyDict_GetItemWithError(dict.as_ptr(), name);
    if (!v && PyErr_Occurred()) throw_py();
    return v != nullptr;
}

// `self.<name>`: either this module's method bound to `self` (then `obj` may
// be null: the ordinary lookup found the method in the class, and making the
// bound method is all that reading it would do), or the object read.
struct Bound {
    Strong obj;
    Ours ours = Ours::None;
};

Ours bound_ours(PyObject* self, PyObject* o) noexcept {
    if (!PyCFunction_Check(o) || PyCFunction_GET_SELF(o) != self) return Ours::None;
    return ours_of(reinterpret_cast<PyCFunctionObject*>(o)->m_ml);
}

Bound resolve(PyObject* self, PyObject* name) {
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* d = _PyType_Lookup(t, name);
        if (d && Py_IS_TYPE(d, &PyMethodDescr_Type)) {
            Ours o = ours_of(reinterpret_cast<PyMethodDescrObject*>(d)->d_method);
            if (o != Ours::None && !instance_has(self, name)) return {Strong(), o};
        }
    }
    Strong obj = get_attr(self, name);
    Ours o = bound_ours(self, obj.as_ptr());
    return {std::move(obj), o};
}

bool is_generic(Ours o) noexcept { return o == Ours::GenericVisit || o == Ours::GenericTransform; }

// 'visit_' + node.__class__.__name__
Strong method_name(PyObject* node) {
    PyTypeObject* t = Py_TYPE(node);
    if (Py_IS_TYPE(t, &PyType_Type) && (t->tp_flags & Py_TPFLAGS_HEAPTYPE) && class_is_type(t)) {
        // type.__name__ of a heap class is its ht_name; the names are kept,
        // so an address seen here is never reused for another name.
        PyObject* n = reinterpret_cast<PyHeapTypeObject*>(t)->ht_name;
        auto& names = current_state().thread_caches().visit_names;
        if (auto it = names.find(reinterpret_cast<uintptr_t>(n)); it != names.end())
            return Strong::borrowed(it->second);
        PyObject* raw = check(PyUnicode_Concat(word(W_PREFIX), n));
        PyUnicode_InternInPlace(&raw);
        Strong full = Strong::own(raw);
        // Classes made at run time could grow this without end.
        auto& again = current_state().thread_caches().visit_names;
        if (again.size() < 4096) {
            current_state().keep(n);
            current_state().keep(full.as_ptr());
            again.emplace(reinterpret_cast<uintptr_t>(n), full.as_ptr());
        }
        return full;
    }
    Strong cls = get_attr(node, word(W_CLASS));
    Strong name = get_attr(cls.as_ptr(), word(W_NAME));
    return Strong::own(PyNumber_Add(word(W_PREFIX), name.as_ptr()));
}

// The deprecated method name that visit_Constant tries for a value.
const char* constant_type_name(PyObject* value) {
    const struct {
        PyTypeObject* type;
        const char* name;
    } NAMES[] = {
        // bool before int, as isinstance would find int for a bool.
        {&PyBool_Type, "NameConstant"}, {Py_TYPE(Py_None), "NameConstant"}, {&PyLong_Type, "Num"},
        {&PyFloat_Type, "Num"},         {&PyComplex_Type, "Num"},           {&PyUnicode_Type, "Str"},
        {&PyBytes_Type, "Bytes"},       {&PyEllipsis_Type, "Ellipsis"},
    };
    for (const auto& n : NAMES)
        if (Py_IS_TYPE(value, n.type)) return n.name;
    for (const auto& n : NAMES)
        if (is_instance(value, n.type)) return n.name;
    return nullptr;
}

// What `self.visit(node)` came to: a result, or the descent of `node` by
// this module's generic_visit of kind `descend`, still to be run.
struct Outcome {
    Strong result;
    Ours descend = Ours::None;
};

// One node whose fields are being visited, with where the visit stands.
struct Frame {
    Frame(Strong n, bool t) : node(std::move(n)), transform(t) {}
    Strong node;
    bool transform;
    bool started = false;
    Py_ssize_t next_field = 0;
    Strong fields;      // node._fields
    Strong field_iter;  // over it, when it is not a tuple
    Strong field;       // the field whose value is being visited
    Strong items;       // iterator over that value, when it is a list
    Strong list;        // the list itself (transformer)
    Strong new_values;  // its new contents (transformer)
};

class Visitor {
public:
    explicit Visitor(PyObject* self) : self_(self), ast_(current_state().base_types().ast) {}

    // self.visit(node), inside a descent.
    Outcome visit(PyObject* node) {
        Bound v = resolve(self_, word(W_VISIT));
        if (v.ours != Ours::Visit) return {call(v.obj.as_ptr(), node)};
        return visit_body(node);
    }

    // The body of NodeVisitor.visit.
    Outcome visit_body(PyObject* node) {
        Strong name = method_name(node);
        // getattr's default, self.generic_visit, is read before the method.
        Bound gv = resolve(self_, word(W_GENERIC_VISIT));
        if (Strong m = optional_attr(self_, name.as_ptr())) {
            if (bound_ours(self_, m.as_ptr()) == Ours::VisitConstant) return constant_body(node);
            return {call(m.as_ptr(), node)};
        }
        return generic(std::move(gv), node);
    }

    // The body of the NodeVisitor.visit_Constant of CPython 3.13 and earlier.
    Outcome constant_body(PyObject* node) {
        Strong value = get_attr(node, word(W_VALUE));
        if (const char* type_name = constant_type_name(value.as_ptr())) {
            Strong method = Strong::own(PyUnicode_FromFormat("visit_%s", type_name));
            if (Strong m = optional_attr(self_, method.as_ptr())) {
                check_status(PyErr_WarnFormat(PyExc_DeprecationWarning, 1, "%U is deprecated; add visit_Constant",
                                              method.as_ptr()));
                return {call(m.as_ptr(), node)};
            }
        }
        return generic(resolve(self_, word(W_GENERIC_VISIT)), node);
    }

    // generic_visit(root) of the given kind, on an explicit stack.
    Strong descend(PyObject* root, Ours kind) {
        std::vector<Frame> stack;
        stack.emplace_back(Strong::borrowed(root), kind == Ours::GenericTransform);
        Strong result;
        bool delivering = false;
        for (;;) {
            Frame& f = stack.back();
            if (delivering) {
                delivering = false;
                take_result(f, std::move(result));
            }
            Strong child = next_child(f);
            if (!child) {
                result = f.transform ? std::move(f.node) : Strong::borrowed(Py_None);
                stack.pop_back();
                if (stack.empty()) return result;
                delivering = true;
                continue;
            }
            Outcome o = visit(child.as_ptr());
            if (o.descend != Ours::None) {
                stack.emplace_back(std::move(child), o.descend == Ours::GenericTransform);
                continue;
            }
            result = std::move(o.result);
            delivering = true;
        }
    }

private:
    Outcome generic(Bound gv, PyObject* node) {
        if (is_generic(gv.ours)) return {Strong(), gv.ours};
        if (!gv.obj) gv.obj = get_attr(self_, word(W_GENERIC_VISIT));
        return {call(gv.obj.as_ptr(), node)};
    }

    // The next field name of `f.node._fields`; null at the end.
    static Strong next_field(Frame& f) {
        if (f.field_iter) {
            PyObject* raw = nullptr;
            if (check_status(compat::iter_next(f.field_iter.as_ptr(), &raw)) == 0) return {};
            return Strong::own(raw);
        }
        if (f.next_field >= PyTuple_GET_SIZE(f.fields.as_ptr())) return {};
        return Strong::borrowed(PyTuple_GET_ITEM(f.fields.as_ptr(), f.next_field++));
    }

    // The next child to visit, reading fields and list items as the
    // standard generic_visit does, when it gets to them; null at the end.
    Strong next_child(Frame& f) {
        if (!f.started) {
            f.started = true;
            f.fields = get_attr(f.node.as_ptr(), word(W_FIELDS));
            if (!PyTuple_CheckExact(f.fields.as_ptr())) f.field_iter = Strong::own(PyObject_GetIter(f.fields.as_ptr()));
        }
        for (;;) {
            if (f.items) {
                PyObject* raw = nullptr;
                if (check_status(compat::iter_next(f.items.as_ptr(), &raw)) == 1) {
                    Strong item = Strong::own(raw);
                    if (is_instance(item.as_ptr(), ast_)) return item;
                    if (f.transform) check_status(PyList_Append(f.new_values.as_ptr(), item.as_ptr()));
                    continue;
                }
                f.items = Strong();
                if (f.transform) {
                    replace_items(f.list.as_ptr(), f.new_values.as_ptr());
                    f.list = Strong();
                    f.new_values = Strong();
                }
            }
            Strong name = next_field(f);
            if (!name) return {};
            Strong value = optional_attr(f.node.as_ptr(), name.as_ptr());
            if (!value) continue;
            if (is_instance(value.as_ptr(), &PyList_Type)) {
                if (f.transform) f.new_values = Strong::own(PyList_New(0));
                f.items = Strong::own(PyObject_GetIter(value.as_ptr()));
                if (f.transform) f.list = std::move(value);
                continue;
            }
            if (is_instance(value.as_ptr(), ast_)) {
                f.field = std::move(name);
                return value;
            }
        }
    }

    // old_value[:] = new_values
    static void replace_items(PyObject* list, PyObject* values) {
        if (PyList_CheckExact(list)) {
            check_status(PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, values));
            return;
        }
        Strong all = Strong::own(PySlice_New(nullptr, nullptr, nullptr));
        check_status(PyObject_SetItem(list, all.as_ptr(), values));
    }

    // What NodeTransformer.generic_visit does with what visiting a child gave.
    void take_result(Frame& f, Strong r) {
        if (!f.transform) return;
        if (f.items) {
            if (r.as_ptr() == Py_None) return;
            if (!is_instance(r.as_ptr(), ast_)) {
                call_extend(f.new_values.as_ptr(), r.as_ptr());
                return;
            }
            check_status(PyList_Append(f.new_values.as_ptr(), r.as_ptr()));
            return;
        }
        Strong field = std::move(f.field);
        if (r.as_ptr() == Py_None)
            check_status(PyObject_DelAttr(f.node.as_ptr(), field.as_ptr()));
        else
            check_status(PyObject_SetAttr(f.node.as_ptr(), field.as_ptr(), r.as_ptr()));
    }

    static void call_extend(PyObject* list, PyObject* values) {
        Strong done = Strong::own(PyObject_CallMethodOneArg(list, word(W_EXTEND), values));
    }

    PyObject* self_;
    PyTypeObject* ast_;
};

// Binds the one parameter, `node`, as a Python method's would be bound.
PyObject* bind_node(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* node = nargs >= 1 ? args[0] : nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments but %zd were given", qualname, nargs + 1);
        throw_py();
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "node") == 0) {
            if (node) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'node'", qualname);
                throw_py();
            }
            node = args[nargs + k];
            continue;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname, key);
        throw_py();
    }
    if (!node) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'node'", qualname);
        throw_py();
    }
    return node;
}

// A C call into a visitor counts against the recursion limit, as the
// Python method it stands for would.
class RecursionGuard {
public:
    RecursionGuard() { check_status(Py_EnterRecursiveCall(" while visiting a tree") ? -1 : 0); }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

template <Ours KIND>
PyObject* method_entry(PyObject* self, PyTypeObject* defining, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static constexpr const char* QUALNAME = KIND == Ours::Visit              ? "NodeVisitor.visit"
                                            : KIND == Ours::GenericVisit     ? "NodeVisitor.generic_visit"
                                            : KIND == Ours::GenericTransform ? "NodeTransformer.generic_visit"
                                                                             : "NodeVisitor.visit_Constant";
    PyObject* module = PyType_GetModule(defining);
    if (!module) return nullptr;
    StateScope scope(state_of(module));
    return guarded(
        [&]() -> PyObject* {
            PyObject* node = bind_node(QUALNAME, args, nargs, kwnames);
            RecursionGuard guard;
            Visitor v(self);
            Outcome o;
            if constexpr (KIND == Ours::Visit)
                o = v.visit_body(node);
            else if constexpr (KIND == Ours::VisitConstant)
                o = v.constant_body(node);
            else
                o.descend = KIND;
            if (o.descend != Ours::None) return v.descend(node, o.descend).release();
            return o.result.release();
        },
        static_cast<PyObject*>(nullptr));
}

template <Ours KIND>
constexpr PyCFunction entry_of() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&method_entry<KIND>));
}

constexpr int METHOD_FLAGS = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef VISITOR_METHODS[] = {
    {"visit", entry_of<Ours::Visit>(), METHOD_FLAGS, "visit($self, /, node)\n--\n\nVisit a node."},
    {"generic_visit", entry_of<Ours::GenericVisit>(), METHOD_FLAGS,
     "generic_visit($self, /, node)\n--\n\nCalled if no explicit visitor function exists for a node."},
#if PY_VERSION_HEX < 0x030E0000
    // The running ast.NodeVisitor has it too: the fallback to visit_Num,
    // visit_Str and the other methods of the old constant classes.
    {"visit_Constant", entry_of<Ours::VisitConstant>(), METHOD_FLAGS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef TRANSFORMER_METHODS[] = {
    {"generic_visit", entry_of<Ours::GenericTransform>(), METHOD_FLAGS,
     "generic_visit($self, /, node)\n--\n\nCalled if no explicit visitor function exists for a node."},
    {nullptr, nullptr, 0, nullptr},
};

Ours ours_of(const PyMethodDef* def) noexcept {
    if (def == &VISITOR_METHODS[0]) return Ours::Visit;
    if (def == &VISITOR_METHODS[1]) return Ours::GenericVisit;
    if (def == &TRANSFORMER_METHODS[0]) return Ours::GenericTransform;
#if PY_VERSION_HEX < 0x030E0000
    if (def == &VISITOR_METHODS[2]) return Ours::VisitConstant;
#endif
    return Ours::None;
}

constexpr const char VISITOR_DOC[] =
    "A node visitor base class that walks the abstract syntax tree and calls\n"
    "a visitor function for every node found, as `ast.NodeVisitor` does; the\n"
    "descent through nodes without a visitor function runs natively.";
constexpr const char TRANSFORMER_DOC[] =
    "A `NodeVisitor` subclass that walks the abstract syntax tree and allows\n"
    "modification of nodes, as `ast.NodeTransformer` does.";

PyType_Slot VISITOR_SLOTS[] = {
    {Py_tp_methods, VISITOR_METHODS},
    {Py_tp_doc, const_cast<char*>(VISITOR_DOC)},
    {0, nullptr},
};
PyType_Slot TRANSFORMER_SLOTS[] = {
    {Py_tp_methods, TRANSFORMER_METHODS},
    {Py_tp_doc, const_cast<char*>(TRANSFORMER_DOC)},
    {0, nullptr},
};
PyType_Spec VISITOR_SPEC = {"quernwood.NodeVisitor", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                            VISITOR_SLOTS};
PyType_Spec TRANSFORMER_SPEC = {"quernwood.NodeTransformer", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                TRANSFORMER_SLOTS};

}  // namespace

void add_visitor_types(PyObject* module) {
    Strong visitor = Strong::own(PyType_FromModuleAndSpec(module, &VISITOR_SPEC, nullptr));
    check_status(PyModule_AddObjectRef(module, "NodeVisitor", visitor.as_ptr()));
    Strong transformer = Strong::own(PyType_FromModuleAndSpec(module, &TRANSFORMER_SPEC, visitor.as_ptr()));
    check_status(PyModule_AddObjectRef(module, "NodeTransformer", transformer.as_ptr()));
}

}  // namespace qw
