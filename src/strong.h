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

// Set for good once an interpreter of the process runs its exit functions.
// From then on a thread can be ended by the interpreter in the middle of a
// call (a daemon thread that wakes up during finalization is unwound with
// pthread_exit), and the destructors on the way run without the thread
// holding the interpreter: a release first checks that it still may.
extern std::atomic<bool> EXIT_STARTED;

inline void release_ref(PyObject* p) noexcept {
    if (EXIT_STARTED.load(std::memory_order_relaxed)) [[unlikely]] {
        // A thread being torn down leaks what it held rather than touch it.
        if (!compat::thread_is_attached()) return;
    }
    Py_DECREF(p);
}

// One owned reference. Move-only; releasing happens in the destructor.
class Strong {
public:
    Strong() noexcept = default;
    static Strong own(PyObject* p) { return Strong(check(p)); }  // steals; null throws
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
