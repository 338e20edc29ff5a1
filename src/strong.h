// Owned references and the module's one error convention.
//
// A Python error travels as a C++ exception, `PyError`, thrown after the
// interpreter's error indicator has been set; a broken internal invariant
// travels as `InternalFailure`. Both are caught only at the binding boundary,
// so every owned reference on the way is released by its destructor.
#pragma once

#include "compat.h"

#include <atomic>
#include <stdexcept>
#include <utility>

namespace qw {

// The interpreter's error indicator is set; unwind to the binding boundary.
struct PyError {};

// A broken invariant; surfaces in Python as PanicException.
struct InternalFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void throw_py() { throw PyError{}; }

// Throws when a C API call reported failure by returning null.
template <class T>
inline T* check(T* p) {
    if (!p) throw_py();
    return p;
}
inline int check_status(int rc) {
    if (rc < 0) throw_py();
    return rc;
}

// How many interpreters have begun to exit (state.cpp): the main one for
// good once its exit functions ran, a sub-interpreter until its module state
// goes. While any has, a thread can be ended by the interpreter in the middle
// of a call (one that takes the interpreter back during finalization is
// unwound with pthread_exit), and the destructors on the way run without the
// thread holding the interpreter: a release first checks that it still may.
extern std::atomic<int> EXITING_INTERPRETERS;

// Whether this thread holds the interpreter of its running call (state.cpp).
bool thread_may_release() noexcept;
// Whether this thread may still touch its thread state and objects: not one
// that an exiting interpreter is tearing down.
inline bool thread_state_usable() noexcept {
    if (EXITING_INTERPRETERS.load(std::memory_order_relaxed) == 0) [[likely]]
        return true;
    return thread_may_release();
}
// Releases the last reference to `p` where that cannot run Python code in a
// destructor: within a call it waits until the call can (state.cpp).
void release_last_ref(PyObject* p) noexcept;
// Releases what waits in the running call (state.cpp), which may run any
// Python code: only where the call runs Python code anyway, so that a call
// running much of it keeps no more memory than it did.
bool release_waiting();  // whether anything was released

// The one way the module drops a reference. It never runs Python code: a
// release that would free the object, and so maybe run a finalizer or a
// weakref callback, waits for the end of the call (or a point where the call
// runs Python code anyway). Python code may end the thread by unwinding it,
// which terminates the process where it crosses a noexcept frame, as every
// destructor is.
inline void release_ref(PyObject* p) noexcept {
    // A thread being torn down leaks what it held rather than touch it.
    if (!thread_state_usable()) return;
    if (Py_REFCNT(p) > 1) [[likely]] {
        Py_DECREF(p);
        return;
    }
    release_last_ref(p);
}

// One owned reference. Move-only; releasing happens in the destructor.
class Strong {
public:
    Strong() noexcept = default;
    static Strong own(PyObject* p) { return Strong(check(p)); }  // steals; null throws
    static Strong own_or_null(PyObject* p) noexcept { return Strong(p); }  // steals; null stays null
    static Strong borrowed(PyObject* p) noexcept { Py_INCREF(p); return Strong(p); }
    Strong(Strong&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Strong& operator=(Strong&& o) noexcept {
        if (this != &o) { Strong old(std::move(*this)); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    Strong(const Strong&) = delete;
    Strong& operator=(const Strong&) = delete;
    ~Strong() {
        if (p_) release_ref(p_);
    }

    PyObject* as_ptr() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Strong(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets TypeError "'<type>' object is not an instance of '<expected>'" (or the
// None form) and throws.
[[noreturn]] void throw_type_mismatch(PyObject* value, const char* expected);

// Clears the raised exception when it is an ordinary error, an Exception
// other than MemoryError, as reading a missing or malformed class attribute
// raises; KeyboardInterrupt, SystemExit, MemoryError and the like keep being
// raised (thrown).
inline void clear_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return;
    }
    throw_py();
}

// Sets `type` with a message and throws.
[[noreturn]] inline void throw_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_py();
}

}  // namespace qw
