#include "method_roads.h"

#include <algorithm>

namespace qw::visiting {

void MethodRoads::refresh() {
    // A node the descent let go of is freed here, as ast frees it before
    // it visits on: its finalizer may change the visitor.
    if (scope_->has_waiting()) [[unlikely]] {
        scope_->release_waiting();
        python_ran_ = true;
    }
    PyTypeObject* t = Py_TYPE(self_);
    if (self_tag_ == 0 || self_tag_ != compat::version_tag(t)) {
        learn_self(t);
        python_ran_ = true;
    }
    if (!python_ran_) return;
    python_ran_ = false;
    epoch_ = memo_->next_epoch++;
    instance_clean_ = false;
    instance_methods_ = true;
    lookups_quiet_ = false;
    if (!self_fast_ || !is_generic(self_generic_)) return;
    if (scan_instance()) {
        // The instance's names are exact str: only the classes' dicts
        // could hold a key whose comparison runs code.
        lookups_quiet_ = class_lookups_quiet();
        return;
    }
    // With the class's methods found first, these reads run no code.
    Strong v = optional_attr(self_, w_[W_VISIT]);
    const bool visit_ours = v && bound_ours(mine_, self_, v.as_ptr()) == Ours::Visit;
    drop_read(std::move(v));
    if (!visit_ours) return;
    Strong g = optional_attr(self_, w_[W_GENERIC_VISIT]);
    const bool generic_ours = g && bound_ours(mine_, self_, g.as_ptr()) == self_generic_;
    drop_read(std::move(g));
    instance_clean_ = generic_ours;
    lookups_quiet_ = generic_ours && !compat::MAKE_INSTANCE_DICT && instance_lookups_quiet() && class_lookups_quiet();
}

void MethodRoads::drop_read(Strong m) noexcept {
    PyObject* p = m.as_ptr();
    if (!p || !PyMethod_Check(p) || Py_REFCNT(p) != 1) return;
    auto* bound = reinterpret_cast<PyMethodObject*>(p);
    if (bound->im_weakreflist || Py_REFCNT(bound->im_self) < 2 || Py_REFCNT(bound->im_func) < 2) return;
    Py_DECREF(m.release());
}

MethodRoads::Bound MethodRoads::resolve(PyObject* name) {
    Strong obj = get_attr(self_, name);
    Ours o = bound_ours(mine_, self_, obj.as_ptr());
    return {std::move(obj), o};
}

bool MethodRoads::instance_has(PyObject* name) {
    Strong found = optional_attr(self_, name);
    const bool has = static_cast<bool>(found);
    drop_read(std::move(found));
    return has;
}

Strong MethodRoads::method_name(PyObject* node) {
    if (PyObject* m = facts(Py_TYPE(node)).method) return Strong::borrowed(m);
    Strong cls = get_attr(node, w_[W_CLASS]);
    Strong name = get_attr(cls.as_ptr(), w_[W_NAME]);
    return Strong::own(PyNumber_Add(w_[W_PREFIX], name.as_ptr()));
}

PyObject* MethodRoads::constant_method(PyObject* value) {
    const struct {
        PyTypeObject* type;
        Word method;
    } NAMES[] = {
        // bool before int, as isinstance would find int for a bool.
        {&PyBool_Type, W_NAMECONSTANT}, {Py_TYPE(Py_None), W_NAMECONSTANT}, {&PyLong_Type, W_NUM},
        {&PyFloat_Type, W_NUM},         {&PyComplex_Type, W_NUM},           {&PyUnicode_Type, W_STR},
        {&PyBytes_Type, W_BYTES},       {&PyEllipsis_Type, W_ELLIPSIS},
    };
    for (const auto& n : NAMES)
        if (Py_IS_TYPE(value, n.type)) return w_[n.method];
    for (const auto& n : NAMES)
        if (is_instance(value, n.type)) return w_[n.method];
    return nullptr;
}

void MethodRoads::set_road(ClassFacts& f, ClassFacts::Road r, PyObject* function) noexcept {
    f.road = r;
    f.function = function;
    // A class without a version tag has nothing to key a road by.
    const bool class_only = !instance_methods_ && self_tag_ != 0;
    f.epoch = class_only ? 0 : epoch_;
    f.road_for = class_only ? Py_TYPE(self_) : nullptr;
    f.road_for_tag = self_tag_;
}

bool MethodRoads::quiet_road(ClassFacts& f) {
    if (!lookups_quiet_) return false;
    PyObject* found = _PyType_Lookup(Py_TYPE(self_), f.method);
    if (found && function_ours(mine_, found) == Ours::VisitConstant) return false;
    if (found) {
        const ClassFacts::Road r = found_road(found);
        set_road(f, r, r == ClassFacts::Road::Function ? found : nullptr);
        return true;
    }
    // Looking a name up in the instance raises nothing when it is missing.
    set_road(f, instance_methods_ && instance_has(f.method) ? ClassFacts::Road::Read : ClassFacts::Road::Descend);
    return true;
}

std::pair<ClassFacts::Road, PyObject*> MethodRoads::road(PyObject* method) {
    lookups_ran();
    PyObject* found = _PyType_Lookup(Py_TYPE(self_), method);
    if (!found)
        return {instance_methods_ && instance_has(method) ? ClassFacts::Road::Read : ClassFacts::Road::Descend,
                nullptr};
    if (function_ours(mine_, found) != Ours::VisitConstant) {
        const ClassFacts::Road r = found_road(found);
        return {r, r == ClassFacts::Road::Function ? found : nullptr};
    }
    Strong m = optional_attr(self_, method);
    const bool ours = m && bound_ours(mine_, self_, m.as_ptr()) == Ours::VisitConstant;
    drop_read(std::move(m));
    return {ours ? ClassFacts::Road::Constant : ClassFacts::Road::Read, nullptr};
}

ClassFacts::Road MethodRoads::found_road(PyObject* found) const noexcept {
    // Only a class with a version tag tells when the function may have gone.
    const bool plain = PyFunction_Check(found) && !instance_methods_ && lookups_quiet_ && self_tag_ != 0;
    return plain ? ClassFacts::Road::Function : ClassFacts::Road::Read;
}

bool MethodRoads::has_constant_method(PyObject* method) {
    const unsigned bit = 1u << method_index(method);
    if (constant_epoch_ != epoch_) {
        constant_epoch_ = epoch_;
        constant_known_ = 0;
    }
    if (!(constant_known_ & bit)) {
        lookups_ran();
        const bool has = _PyType_Lookup(Py_TYPE(self_), method) || (instance_methods_ && instance_has(method));
        constant_known_ |= bit;
        constant_has_ = has ? (constant_has_ | bit) : (constant_has_ & ~bit);
    }
    return constant_has_ & bit;
}

inline bool MethodRoads::only_str_keys(PyObject* dict) noexcept {
    if (!dict || keys_of(dict)->dk_kind != compat::DICT_KEYS_GENERAL) return true;
    if (PyDict_GET_SIZE(dict) > 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

inline bool MethodRoads::class_lookups_quiet() const noexcept {
    PyObject* mro = Py_TYPE(self_)->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
        // Built-in classes' dicts are not changed by Python code.
        if ((t->tp_flags & Py_TPFLAGS_HEAPTYPE) && !only_str_keys(t->tp_dict)) return false;
    }
    return true;
}

inline bool MethodRoads::instance_lookups_quiet() const noexcept {
    bool ok = false;
    PyObject* dict = compat::existing_instance_dict(self_, ok);
    return ok && only_str_keys(dict);
}

inline void MethodRoads::learn_self(PyTypeObject* t) {
    ClassMemo& m = *memo_;
    const unsigned int tag = compat::version_tag(t);
    if (tag == 0 || m.visitor_type != t || m.visitor_tag != tag) {
        m.visitor_type = nullptr;  // until the lookups below are done
        const bool fast = t->tp_getattro == PyObject_GenericGetAttr &&
                          function_ours(mine_, _PyType_Lookup(t, w_[W_VISIT])) == Ours::Visit;
        const Ours generic = function_ours(mine_, _PyType_Lookup(t, w_[W_GENERIC_VISIT]));
        m.visitor_fast = fast;
        m.visitor_generic = generic;
        m.visitor_tag = compat::version_tag(t);  // the lookups gave it one
        m.visitor_type = m.visitor_tag ? t : nullptr;
        self_fast_ = fast;
        self_generic_ = generic;
        self_tag_ = m.visitor_tag;
        return;
    }
    self_fast_ = m.visitor_fast;
    self_generic_ = m.visitor_generic;
    self_tag_ = tag;
}

inline bool MethodRoads::scan_instance() {
    PyObject* dict = nullptr;
    if constexpr (compat::MAKE_INSTANCE_DICT) {
        PyObject** slot = _PyObject_GetDictPtr(self_);
        if (!slot) {
            if (PyErr_Occurred()) throw_py();
            if (Py_TYPE(self_)->tp_flags & Py_TPFLAGS_MANAGED_DICT) return false;  // not made
            return settle_instance(false);  // no dict: slots are class attributes
        }
        dict = *slot;
        if (!dict) return settle_instance(false);
    } else {
        bool ok = false;
        dict = compat::existing_instance_dict(self_, ok);
        if (!ok) return false;
    }
    if (!dict) {
        const compat::DictKeys* keys = nullptr;
        if (!compat::inline_attribute_keys(self_, keys)) return false;
        const Py_ssize_t n = keys ? keys->dk_nentries : 0;
        if (n > 64) return false;
        bool methods = false;
        for (Py_ssize_t k = 0; k < n; ++k) {
            const AttrName kind = name_kind(entries_ptr(keys)[k].key);
            if (kind == AttrName::Unknown || kind == AttrName::Own) return kind == AttrName::Own;
            methods |= kind == AttrName::Method;
        }
        return settle_instance(methods);
    }
    if (PyDict_GET_SIZE(dict) > 64) return false;
    // Settled only by the whole dict: a key met later may be any name.
    bool methods = false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        const AttrName kind = name_kind(key);
        if (kind == AttrName::Unknown || kind == AttrName::Own) return kind == AttrName::Own;
        methods |= kind == AttrName::Method;
    }
    return settle_instance(methods);
}

inline bool MethodRoads::settle_instance(bool methods) noexcept {
    instance_methods_ = methods;
    instance_clean_ = true;
    return true;
}

inline MethodRoads::AttrName MethodRoads::name_kind(PyObject* key) const {
    if (!key) return AttrName::Other;  // a slot of a shared table no instance filled
    if (!PyUnicode_CheckExact(key)) return AttrName::Unknown;
    // Every name looked for starts with "visit" or "generic_visit".
    const Py_UCS4 first = PyUnicode_GET_LENGTH(key) ? PyUnicode_READ_CHAR(key, 0) : 0;
    if (first != 'v' && first != 'g') return AttrName::Other;
    if (PyUnicode_Compare(key, w_[W_VISIT]) == 0 || PyUnicode_Compare(key, w_[W_GENERIC_VISIT]) == 0)
        return AttrName::Own;
    return PyUnicode_Tailmatch(key, w_[W_PREFIX], 0, PY_SSIZE_T_MAX, -1) == 1 ? AttrName::Method : AttrName::Other;
}

}  // namespace qw::visiting
