// The one place where CPython versions (and compilers) differ. Everything
// else reads as one program against the names defined here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qw {
inline void release_ref(PyObject* p) noexcept;  // strong.h
}

#if PY_VERSION_HEX < 0x030B0000
#error "quernwood needs CPython 3.11 or newer"
#endif
#if PY_VERSION_HEX >= 0x03100000
#error "the dictionary layout of this CPython version has not been checked"
#endif
#ifdef Py_GIL_DISABLED
// The raw dictionary reads rely on the interpreter lock.
#error "quernwood does not support the free-threaded build"
#endif

// The 3.15 slot interface (PEP 793): PyModExport_* returning PySlot[].
#if PY_VERSION_HEX >= 0x030F0000
#define QW_HAVE_PYSLOT 1
#else
#define QW_HAVE_PYSLOT 0
#endif

namespace qw::compat {

// Keys object of a dict, as laid out by 3.11 to 3.15 (default build). It is
// private to CPython, so it is mirrored here and only read, never written.
struct DictKeys {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};

enum : uint8_t { DICT_KEYS_GENERAL = 0, DICT_KEYS_UNICODE = 1, DICT_KEYS_SPLIT = 2 };

// A hint that `p` will be read soon; nothing where the compiler has none.
inline void prefetch([[maybe_unused]] const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#endif
}

// Whether `o` is held by its caller alone, so that it may be changed in place.
inline bool uniquely_held(PyObject* o) noexcept { return Py_REFCNT(o) == 1; }

// After a tuple's items were replaced in place: from 3.14 a tuple caches
// its hash, which no longer holds.
inline void tuple_refilled([[maybe_unused]] PyObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(t)->ob_hash = -1;
#endif
}

// Next item of an iterator: 1 with a new reference, 0 at the end, -1 on error.
inline int iter_next(PyObject* it, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyIter_NextItem(it, item);
#else
    *item = PyIter_Next(it);
    if (*item) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Takes the raised exception (normalised), leaving none set; null if none.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    // The exception holds both, so neither is freed here.
    release_ref(type);
    if (tb) release_ref(tb);
    return value;
#endif
}

// The object a weak reference refers to, as a new reference; null with no
// exception set once it is gone, null with one on failure.
inline PyObject* weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    return PyWeakref_GetRef(ref, &target) > 0 ? target : nullptr;
#else
    PyObject* target = PyWeakref_GetObject(ref);  // borrowed; None once gone
    return target && target != Py_None ? Py_NewRef(target) : nullptr;
#endif
}

// Raises `exc` again (steals the reference).
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// What a call notes on entry, holding the interpreter, for
// thread_is_attached to compare with later.
inline PyThreadState* entry_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return nullptr;  // the current thread state is the thread's own
#else
    return PyThreadState_Get();
#endif
}

// Whether this thread has an attached thread state, that is, may touch
// objects. False for a thread that the interpreter is ending because it
// tried to take the interpreter back during finalization. `entered` is what
// entry_thread_state gave the running call, null outside calls.
inline bool thread_is_attached([[maybe_unused]] PyThreadState* entered) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // 3.11 keeps one current thread state for the whole runtime, that of the
    // thread holding the interpreter lock, in whichever interpreter. The
    // pointers are compared, never followed: a thread state other than this
    // thread's may be freed at any moment. Outside calls the interpreter
    // itself called in, holding the lock.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && (entered == nullptr || current == entered);
#endif
}

// getattr(obj, name) that reports a missing attribute as 0 instead of
// raising AttributeError: 1 with a new reference, 0 when missing, -1 on error.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Whether an object's instance dict may be made just to read it. From 3.13
// a dict made for an object whose attributes live in the object itself has
// to be copied out when the object ends, an allocation that can fail where
// nothing can report it.
inline constexpr bool MAKE_INSTANCE_DICT = PY_VERSION_HEX < 0x030D0000;

// The instance dict an object already has, or null: from 3.13 a class with
// a managed dict keeps the pointer just before the object's header, null
// while the attributes live in the object itself. `ok` false where the
// dict cannot be found without making it.
inline PyObject* existing_instance_dict(PyObject* o, bool& ok) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    ok = true;
#if PY_VERSION_HEX >= 0x030D0000
    if (t->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
#ifdef Py_GIL_DISABLED
        return reinterpret_cast<PyObject**>(o)[-1];
#else
        return reinterpret_cast<PyObject**>(o)[-3];
#endif
    }
#endif
    if (t->tp_dictoffset == 0) return nullptr;
    if (t->tp_dictoffset < 0 || (t->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        ok = false;
        return nullptr;
    }
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + t->tp_dictoffset);
}

// For an object with no dict made (existing_instance_dict gave null): the
// keys its attributes may have. From 3.13 the attributes of an instance of
// a class with inline values live in the object, under keys of the class's
// shared keys object, which gets any new name an instance is given while
// it has room (else a dict is made). True with `keys` those shared keys,
// or null when the object can hold no attribute without a dict; false
// where the layout does not tell.
inline bool inline_attribute_keys([[maybe_unused]] PyObject* o, const DictKeys*& keys) noexcept {
    keys = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyTypeObject* t = Py_TYPE(o);
    if (!(t->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return true;
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    keys = reinterpret_cast<const DictKeys*>(reinterpret_cast<PyHeapTypeObject*>(t)->ht_cached_keys);
    return keys && keys->dk_kind == DICT_KEYS_SPLIT;
#else
    return false;  // instance dicts are made, not read around, before 3.13
#endif
}

// Whether the running thread has used less than half of its recursion limit
// and, where the interpreter counts C recursion apart (3.12, 3.13), has a
// good part of that count left.
inline bool recursion_mostly_free(PyThreadState* t) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return t->recursion_remaining >= t->recursion_limit / 2;
#elif PY_VERSION_HEX < 0x030E0000
    return t->py_recursion_remaining >= t->py_recursion_limit / 2 && t->c_recursion_remaining >= 256;
#else
    return t->py_recursion_remaining >= t->py_recursion_limit / 2;
#endif
}

// The Python frame running on the thread (its address alone, to compare):
// a C function called from Python code sees its caller's.
inline const void* running_frame(PyThreadState* t) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return t->cframe ? t->cframe->current_frame : nullptr;
#else
    return t->current_frame;
#endif
}

// Whether the interpreter bounds C recursion by the stack the thread has
// (from 3.14); before, by counts alone, so deep C recursion in a thread with
// a small stack crashes it, wherever the stack went.
inline constexpr bool STACK_BOUNDS_C_RECURSION = PY_VERSION_HEX >= 0x030E0000;

// Lends (sign 1) or takes back (-1) what calling Python code from inside a
// visitor step counts against the thread's recursion counts beyond what the
// same call from Python code counts: the step's guard and entry and the
// interpreter's entry from C (3.12, 3.13: three C counts a level, measured,
// and one more so that no chain of such calls leaves fewer than the loop's
// calls would). Nothing from 3.14, which counts the stack.
inline void lend_recursion([[maybe_unused]] PyThreadState* t, [[maybe_unused]] int sign) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    t->recursion_remaining += sign;
#elif PY_VERSION_HEX < 0x030E0000
    t->c_recursion_remaining += 4 * sign;
#endif
}

// The hash of an exact str; a key of a dict has it cached already.
inline Py_hash_t str_hash(PyObject* s) noexcept {
    const Py_hash_t h = reinterpret_cast<PyASCIIObject*>(s)->hash;
    return h != -1 ? h : PyObject_Hash(s);
}

// The class's version tag, which changes whenever the class or one of its
// bases is changed; 0 when it has no valid one.
inline unsigned int version_tag(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return t->tp_version_tag;
}

}  // namespace qw::compat
