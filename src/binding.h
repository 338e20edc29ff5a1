// The generic entry layer: binds fastcall arguments to parameters, converts
// tuple parameters, runs a function body and turns its outcome into a result
// or a raised exception.
#pragma once

#include "strong.h"

#include <array>

namespace qw {

enum class Param : uint8_t {
    Any,       // any object, None included
    Tuple,     // a tuple or an instance of a tuple subclass
    OptTuple,  // absent or None, else as Tuple
};

struct Signature {
    const char* name;                   // "walk_of_types"
    int count;                          // parameters
    int required;                       // leading required parameters
    std::array<const char*, 3> params;  // parameter names
    std::array<Param, 3> kinds;
};

// Bound arguments, borrowed from the call. An absent optional is None.
struct Args {
    std::array<PyObject*, 3> v{};
    PyObject* operator[](int i) const { return v[static_cast<size_t>(i)]; }
};

using Body = Strong (*)(const Args&);

// Counts the module's calls active on this thread and, on entry, carries out
// the releases that were deferred because no interpreter lock was held.
class EntryGuard {
public:
    EntryGuard();
    ~EntryGuard();
    EntryGuard(const EntryGuard&) = delete;
    EntryGuard& operator=(const EntryGuard&) = delete;
};

// Releases a reference now when this thread is inside a call of the module,
// else queues it for the next call (thread-exit destructors run without the
// interpreter lock).
void release_or_defer(PyObject* p) noexcept;

// Turns the C++ exception being handled into a raised Python exception.
// Call only from a catch block.
void raise_current_exception() noexcept;

PyObject* call_bound(const Signature& sig, Body body, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The per-function entry handed to the interpreter.
template <const Signature& S, Body B>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return call_bound(S, B, args, nargs, kwnames);
}

}  // namespace qw
