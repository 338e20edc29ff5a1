#include "binding.h"

#include "state.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace qw {

namespace {

void raise_panic(const char* text) noexcept {
    PyErr_Clear();
    ModuleState* state = current_state_or_null();
    PyObject* type = state ? state->panic_type() : nullptr;
    if (type) {
        PyObject* msg = PyUnicode_FromString(text && *text ? text : "internal failure in quernwood");
        if (msg) {
            PyErr_SetObject(type, msg);
            release_ref(msg);
            return;
        }
    }
    // Only running out of memory stops the panic from being raised; that
    // MemoryError is raised instead, and the process goes on.
    if (!PyErr_Occurred()) PyErr_NoMemory();
}

const char* plural_verb(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

[[noreturn]] void throw_too_many(const Signature& s, Py_ssize_t n) {
    if (s.required == s.count)
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", s.name,
                     s.count, n, plural_verb(n));
    else
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
                     s.name, s.required, s.count, n, plural_verb(n));
    throw_py();
}

[[noreturn]] void throw_missing(const Signature& s, const Args& a) {
    std::vector<const char*> names;
    for (int i = 0; i < s.required; ++i)
        if (!a[i]) names.push_back(s.params[static_cast<size_t>(i)]);
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ",";
            list += (i + 1 == names.size()) ? " and " : " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", s.name, names.size(),
                 names.size() == 1 ? "argument" : "arguments", list.c_str());
    throw_py();
}

int param_index(const Signature& s, PyObject* key) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    for (int i = 0; i < s.count; ++i) {
        const char* p = s.params[static_cast<size_t>(i)];
        if (std::strlen(p) == static_cast<size_t>(len) && std::memcmp(p, text, static_cast<size_t>(len)) == 0)
            return i;
    }
    return -1;
}

Args bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a;
    a.sig = &s;
    for (Py_ssize_t i = 0; i < nargs && i < s.count; ++i) a.v[static_cast<size_t>(i)] = args[i];
    if (nargs > s.count) throw_too_many(s, nargs);
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int i = param_index(s, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.name, key);
                throw_py();
            }
            auto& slot = a.v[static_cast<size_t>(i)];
            if (slot) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.name,
                             s.params[static_cast<size_t>(i)]);
                throw_py();
            }
            slot = args[nargs + k];
        }
    }
    for (int i = static_cast<int>(nargs); i < s.required; ++i)
        if (!a[i]) throw_missing(s, a);
    for (int i = s.required; i < s.count; ++i)
        if (!a[i]) a.v[static_cast<size_t>(i)] = Py_None;
    return a;
}

[[noreturn]] void throw_conversion(const Signature& s, int param, PyObject* value) {
    try {
        throw_type_mismatch(value, "tuple");
    } catch (const PyError&) {
        note_argument(s, param);
        throw;
    }
}

void convert(const Signature& s, const Args& a) {
    for (int i = 0; i < s.count; ++i) {
        PyObject* v = a[i];
        switch (s.kinds[static_cast<size_t>(i)]) {
            case Param::Any: break;
            case Param::OptTuple:
                if (v == Py_None) break;
                [[fallthrough]];
            case Param::Tuple:
                if (!PyTuple_Check(v)) throw_conversion(s, i, v);
                break;
        }
    }
}

}  // namespace

void note_argument(const Signature& s, int param) {
    // Not on MemoryError: the interpreter reuses its instances, and a note
    // needs memory. Not on KeyboardInterrupt and the like: they do not come
    // from the argument.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    Strong exc = Strong::own_or_null(compat::take_exception());
    Strong note = Strong::own_or_null(
        PyUnicode_FromFormat("in %s(), argument '%s'", s.name, s.params[static_cast<size_t>(param)]));
    Strong method = Strong::own_or_null(note ? PyUnicode_InternFromString("add_note") : nullptr);
    Strong r = Strong::own_or_null(method ? PyObject_CallMethodOneArg(exc.as_ptr(), method.as_ptr(), note.as_ptr())
                                          : nullptr);
    if (!r) PyErr_Clear();  // the exception goes out without its note
    compat::restore_exception(exc.release());
}

void throw_type_mismatch(PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        throw_py();
    }
    Strong name = Strong::own_or_null(PyType_GetQualName(Py_TYPE(value)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.as_ptr(), expected);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                     expected);
    }
    throw_py();
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& f) {
        raise_panic(f.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
}

PyObject* call_bound(PyObject* module, const Signature& sig, Body body, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    // The scope outlives the guarded region: a panic is raised with the
    // class of the calling interpreter.
    StateScope scope(state_of(module));
    PyObject* result = guarded(
        [&] {
            Args a = bind(sig, args, nargs, kwnames);
            convert(sig, a);
            return body(a).release();
        },
        static_cast<PyObject*>(nullptr));
    // Here, out of every destructor, Python code may run and end the thread.
    scope.release_waiting();
    return result;
}

namespace {

// `self` is a weak reference to the module.
PyObject* note_exit(PyObject* self, PyObject*) {
    StateScope scope(nullptr);
    if (PyObject* module = compat::weakref_target(self)) {
        if (ModuleState* state = state_of(module)) state->note_exit();
        release_ref(module);
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    scope.release_waiting();
    Py_RETURN_NONE;
}

PyMethodDef NOTE_EXIT_DEF = {"_note_exit", note_exit, METH_NOARGS, nullptr};

}  // namespace

// The exit functions run before a finalizing interpreter starts ending the
// threads that try to take it back. The module is not kept alive for them.
void watch_interpreter_exit(PyObject* module) {
    Strong atexit = Strong::own(PyImport_ImportModule("atexit"));
    Strong ref = Strong::own(PyWeakref_NewRef(module, nullptr));
    Strong fn = Strong::own(PyCFunction_New(&NOTE_EXIT_DEF, ref.as_ptr()));
    Strong done = Strong::own(PyObject_CallMethod(atexit.as_ptr(), "register", "O", fn.as_ptr()));
}

}  // namespace qw
