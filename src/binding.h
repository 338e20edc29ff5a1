// The generic entry layer: binds fastcall arguments to parameters, converts
// tuple parameters, runs a function body and turns its outcome into a result
// or a raised exception.
#pragma once

#include "strong.h"

#include <array>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

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
    const Signature* sig = nullptr;  // of the function called
    PyObject* operator[](int i) const { return v[static_cast<size_t>(i)]; }
};

// Adds the note "in <function>(), argument '<param>'" to the raised
// exception when it is an ordinary error (an Exception, not MemoryError):
// the messages are fixed, so the note says where they come from. A failure
// to add it leaves the exception as it was. Not noexcept: add_note may be a
// Python method, and a thread running Python code may be ended by the
// exiting interpreter with an unwind that must pass.
void note_argument(const Signature& s, int param);

// Runs `f`, which reads argument `param` of the call; an error it raises
// carries the note of note_argument.
template <class F>
auto reading_argument(const Args& a, int param, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const PyError&) {
        if (a.sig) note_argument(*a.sig, param);
        throw;
    }
}

using Body = Strong (*)(const Args&);

// Turns the C++ exception being handled into a raised Python exception.
// Call only from a catch block.
void raise_current_exception() noexcept;

// Runs `f` as the guarded region of an entry from the interpreter: any C++
// exception becomes a raised Python exception and `on_error` is returned.
// The unwinding that ends a thread during interpreter finalization
// (pthread_exit) passes through untouched: that thread holds no interpreter
// lock and must not be kept from ending. So no caller may be noexcept.
template <class F, class R>
R guarded(F&& f, R on_error) {
    try {
        return f();
    }
#ifdef __GLIBCXX__
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        raise_current_exception();
        return on_error;
    }
}

// Runs the call with `module`'s state as the thread's current state.
PyObject* call_bound(PyObject* module, const Signature& sig, Body body, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames);

// Makes the interpreter's exit functions tell `module`'s state.
void watch_interpreter_exit(PyObject* module);

// The per-function entry handed to the interpreter; `module` is the
// function's __self__, the module object of the calling interpreter.
template <const Signature& S, Body B>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
    return call_bound(module, S, B, args, nargs, kwnames);
}

}  // namespace qw
