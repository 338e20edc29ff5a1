#include "class_facts.h"

#include <algorithm>

namespace qw::visiting {

// Where facts of `t` are to be kept: its own way, a free one, or the
// next to be evicted in turn.
ClassFacts& ClassMemo::place(PyTypeObject* t) noexcept {
    const size_t base = slot_of(t);
    ClassFacts* free = nullptr;
    for (size_t k = 0; k < WAYS; ++k) {
        ClassFacts& e = entries[(base + k) % SLOTS];
        if (e.type == t) return e;
        if (!e.type && !free) free = &e;
    }
    if (free) return *free;
    return entries[(base + next_victim++ % WAYS) % SLOTS];
}

// Made apart and stored at the end: a collection while the name is
// made may run a visitor that uses the same slot.
ClassFacts& ClassMemo::learn(PyTypeObject* t, ModuleState& state, PyObject* const* w) {
    ClassFacts e;
    PyObject* cls_name = w[W_CLASS];
    bool plain = t->tp_getattro == PyObject_GenericGetAttr &&
                 _PyType_Lookup(t, cls_name) == _PyType_Lookup(&PyBaseObject_Type, cls_name);
    PyObject* method = nullptr;
    PyObject* name = nullptr;
    // type.__name__ of a heap class whose metaclass is `type` is ht_name.
    if (plain && Py_IS_TYPE(t, &PyType_Type) && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        name = reinterpret_cast<PyHeapTypeObject*>(t)->ht_name;
        method = kept_method_name(state, w[W_PREFIX], name);
    }
    // Making the name may have run a collection; what follows runs no code.
    plain = t->tp_getattro == PyObject_GenericGetAttr &&
            _PyType_Lookup(t, cls_name) == _PyType_Lookup(&PyBaseObject_Type, cls_name);
    e.plain = plain;
    e.method = plain ? method : nullptr;
    if (e.method) e.name = name;
    if (plain) {
        PyObject* fields = _PyType_Lookup(t, w[W_FIELDS]);
        if (fields && PyTuple_CheckExact(fields)) {
            e.fields = fields;
            e.dict_fields = t->tp_dictoffset > 0;
            const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(fields), 64);
            for (Py_ssize_t j = 0; j < n; ++j) {
                PyObject* f = PyTuple_GET_ITEM(fields, j);
                if (!PyUnicode_CheckExact(f)) continue;
                PyObject* d = _PyType_Lookup(t, f);
                if (!d || !Py_TYPE(d)->tp_descr_get) e.bare |= uint64_t{1} << j;
            }
            e.sprint = e.dict_fields && PyTuple_GET_SIZE(fields) <= 64;
            e.quiet_set = t->tp_setattro == PyObject_GenericSetAttr;
            for (Py_ssize_t j = 0; j < n && e.sprint; ++j) {
                PyObject* f = PyTuple_GET_ITEM(fields, j);
                e.sprint = ((e.bare >> j) & 1) && PyUnicode_CheckExact(f) && PyUnicode_Compare(f, w[W_FIELDS]) != 0;
                PyObject* d = e.sprint ? _PyType_Lookup(t, f) : nullptr;
                if (d && Py_TYPE(d)->tp_descr_set) e.quiet_set = false;
                if (PyTuple_GET_ITEM(fields, j) == w[W_VALUE] && !d) e.value_at = static_cast<int8_t>(j);
            }
        }
    }
    e.type = t;
    e.tag = compat::version_tag(t);  // the lookups above gave it one
    ClassFacts& slot = place(t);
    slot = e;
    return slot;
}

}  // namespace qw::visiting
