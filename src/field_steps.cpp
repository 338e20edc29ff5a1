#include "field_steps.h"

namespace qw::visiting {

inline bool FieldSteps::shadows_fields(PyObject* dict) const {
    const EntryView view = unicode_entries(dict);
    if (view.ok && view.count <= 16) return scan_unicode(view, w_[W_FIELDS]) != nullptr;
    return lookup_field(dict, 0, w_[W_FIELDS]) != nullptr;
}

inline Strong FieldSteps::next_field(Frame& f) {
    if (f.field_iter) {
        python_runs();
        PyObject* raw = nullptr;
        if (check_status(compat::iter_next(f.field_iter.as_ptr(), &raw)) == 0) return {};
        return Strong::own(raw);
    }
    if (f.next_field >= PyTuple_GET_SIZE(f.fields.as_ptr())) return {};
    return Strong::borrowed(PyTuple_GET_ITEM(f.fields.as_ptr(), f.next_field++));
}

inline void FieldSteps::start(Frame& f) {
    f.started = true;
    PyObject* node = f.node.as_ptr();
    PyTypeObject* t = Py_TYPE(node);
    ClassFacts& facts_of = facts(t);
    if (facts_of.fields && facts_of.dict_fields) {
        bool ok = false;
        PyObject* dict = instance_dict(node, ok);
        if (ok && (!dict || !shadows_fields(dict))) {
            f.fields = Strong::borrowed(facts_of.fields);
            f.bare = facts_of.bare;
            f.known = t;
            f.known_tag = facts_of.tag;
            return;
        }
    }
    python_ran_ = true;
    f.fields = get_attr(node, w_[W_FIELDS]);
    if (!PyTuple_CheckExact(f.fields.as_ptr())) f.field_iter = Strong::own(PyObject_GetIter(f.fields.as_ptr()));
}

inline Strong FieldSteps::field_value(Frame& f, Py_ssize_t j, PyObject* name) {
    PyObject* node = f.node.as_ptr();
    if (j < 64 && (f.bare >> j) & 1) {
        bool ok = false;
        PyObject* dict = instance_dict(node, ok);
        if (ok && Py_TYPE(node) == f.known && compat::version_tag(f.known) == f.known_tag) {
            PyObject* v = dict ? lookup_field(dict, static_cast<size_t>(j), name) : nullptr;
            if (!v) v = _PyType_Lookup(f.known, name);
            return v ? Strong::borrowed(v) : Strong();
        }
        f.bare = 0;
    }
    python_runs();
    return optional_attr(node, name);
}

Strong FieldSteps::next_child(Frame& f) {
    if (!f.started) start(f);
    for (;;) {
        if (f.list) {
            if (Strong item = next_item(f)) {
                if (is_instance(item.as_ptr(), ast_)) return item;
                if (f.transform) check_status(PyList_Append(f.new_values.as_ptr(), item.as_ptr()));
                continue;
            }
            if (f.transform) replace_items(f.list.as_ptr(), f.new_values.as_ptr());
            if (last_reference(f.list) || last_reference(f.items)) python_ran_ = true;
            f.list = Strong();
            f.items = Strong();
            f.new_values = Strong();
        }
        const Py_ssize_t j = f.next_field;
        Strong name = next_field(f);
        if (!name) return {};
        Strong value = field_value(f, j, name.as_ptr());
        if (!value) continue;
        PyObject* v = value.as_ptr();
        // isinstance(v, list), then isinstance(v, AST)
        bool list = PyList_Check(v);
        if (!list && !is_leaf(v) && !facts(Py_TYPE(v)).plain) {
            python_ran_ = true;
            list = check_status(PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyList_Type))) != 0;
        }
        if (list) {
            if (f.transform) f.new_values = Strong::own(PyList_New(0));
            if (!PyList_CheckExact(v)) f.items = Strong::own(PyObject_GetIter(v));
            f.next_item = 0;
            f.list = std::move(value);
            continue;
        }
        if (is_instance(v, ast_)) {
            f.field = std::move(name);
            return value;
        }
    }
}

inline Strong FieldSteps::next_item(Frame& f) {
    if (!f.items) {
        PyObject* list = f.list.as_ptr();
        if (f.next_item < PyList_GET_SIZE(list)) return Strong::borrowed(PyList_GET_ITEM(list, f.next_item++));
        f.next_item = PY_SSIZE_T_MAX;
        return {};
    }
    python_runs();
    PyObject* raw = nullptr;
    if (check_status(compat::iter_next(f.items.as_ptr(), &raw)) == 0) return {};
    return Strong::own(raw);
}

inline void FieldSteps::replace_items(PyObject* list, PyObject* values) {
    if (PyList_CheckExact(list)) {
        // An item that only the list holds is freed.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && !python_ran_; ++i)
            python_ran_ = Py_REFCNT(PyList_GET_ITEM(list, i)) == 1;
        check_status(PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, values));
        return;
    }
    python_ran_ = true;
    Strong all = Strong::own(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(list, all.as_ptr(), values));
}

inline bool FieldSteps::replaced_is_freed(const Frame& f, const Strong& name, const Strong& r) {
    PyObject* node = f.node.as_ptr();
    const Py_ssize_t j = f.next_field - 1;
    if (f.field_iter || j < 0 || j >= 64 || !((f.bare >> j) & 1) || Py_TYPE(node) != f.known ||
        compat::version_tag(f.known) != f.known_tag)
        return true;
    // A class attribute that sets (with or without a getter) runs code.
    if (PyObject* d = _PyType_Lookup(f.known, name.as_ptr()); d && Py_TYPE(d)->tp_descr_set) return true;
    bool ok = false;
    PyObject* dict = instance_dict(node, ok);
    if (!ok) return true;
    PyObject* old = dict ? lookup_field(dict, static_cast<size_t>(j), name.as_ptr()) : nullptr;
    return !old || (old != r.as_ptr() && Py_REFCNT(old) == 1);
}

void FieldSteps::take_result(Frame& f, Strong r) {
    if (!f.transform) return;
    if (f.list) {
        if (r.as_ptr() == Py_None) return;
        if (!is_instance(r.as_ptr(), ast_)) {
            python_ran_ = true;
            Strong done = Strong::own(PyObject_CallMethodOneArg(f.new_values.as_ptr(), w_[W_EXTEND], r.as_ptr()));
            return;
        }
        check_status(PyList_Append(f.new_values.as_ptr(), r.as_ptr()));
        return;
    }
    Strong field = std::move(f.field);
    if (Py_TYPE(f.node.as_ptr())->tp_setattro != PyObject_GenericSetAttr || replaced_is_freed(f, field, r))
        python_ran_ = true;
    if (r.as_ptr() == Py_None)
        check_status(PyObject_DelAttr(f.node.as_ptr(), field.as_ptr()));
    else
        check_status(PyObject_SetAttr(f.node.as_ptr(), field.as_ptr(), r.as_ptr()));
}

}  // namespace qw::visiting
