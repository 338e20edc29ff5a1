// Owned references and the module's one error convention.
//
// A Python error travels as a C++ exception, `PyError`, thrown after the
// interpreter's error indicator has been set; a broken internal invariant
// travels as `InternalFailure`. Both are caught only at the binding boundary,
// so every owned reference on the way is released by its destructor.
#pragma once

#include "compat.h"

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
    ~Strong() { Py_XDECREF(p_); }

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

// Sets `type` with a message and throws.
[[noreturn]] inline void throw_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_py();
}

}  // namespace qw
