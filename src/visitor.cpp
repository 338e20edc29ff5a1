// NodeVisitor and NodeTransformer.
//
// The classes act as ast.NodeVisitor and ast.NodeTransformer do, step for
// step. Their methods are thin Python functions that iterate a native
// descent (descent.h) and make the calls of the visitor's own methods, so
// recursion through them nests Python frames, which the recursion limit
// bounds as it bounds ast's.
#include "visitor.h"

#include "binding.h"
#include "descent.h"
#include "stack_room.h"
#include "state.h"

#include <memory>

namespace qw {

namespace {

using visiting::FIRST_MARGIN;
using visiting::is_generic;
using visiting::Ours;
using visiting::Outcome;
using visiting::STACK_MARGIN;
using visiting::Visitor;

// A C call into a visitor counts against the recursion limit, as a Python
// call would, and needs room on the thread's C stack: a getter or an
// iterator may call the visitor again, nesting C frames that neither the
// limit nor (before 3.14) the interpreter bounds by the stack there is.
class RecursionGuard {
public:
    RecursionGuard() {
        // The outermost step adds only its own frames to what its Python
        // caller uses, as ast's frames would; a nested one (a getter that
        // visits) adds the getter's and the interpreter's too.
        ThreadLocals& t = *thread_locals();
        if (stack_room(t.stack_low, t.stack_high) < (t.visitor_steps ? STACK_MARGIN : FIRST_MARGIN))
            throw_error(PyExc_RecursionError,
                        "maximum recursion depth exceeded while visiting a tree (the thread's stack is nearly full)");
        check_status(Py_EnterRecursiveCall(" while visiting a tree") ? -1 : 0);
        if (t.visitor_steps++ == 0) t.first_step_at = stack_here();
    }
    ~RecursionGuard() {
        --thread_locals()->visitor_steps;
        // A thread that the exiting interpreter ends holds no thread state
        // to count down in.
        if (thread_state_usable()) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Where a descent is stepped from: the thread, and the Python frame that
// runs there (the driving loop's, when the loop steps it).
struct Stepper {
    PyThreadState* thread = PyThreadState_Get();
    const void* frame = compat::running_frame(thread);
    bool operator==(const Stepper&) const = default;
};

// One call of visit, generic_visit or visit_Constant, which the Python
// method iterates: each item is a Python call (callee, argument) that the
// method makes and whose result it hands back with put().
struct DescentObject {
    PyObject_HEAD
    Visitor* visitor;
    // The (callee, argument, second argument or None) last handed out,
    // filled again while only this holds it: the driving loop unpacks it at
    // once, so most calls make no tuple.
    PyObject* last_call;
    bool busy;  // a step is running: code it runs may get here again
    // A call handed out to the driving loop is running, which `loop` made:
    // code that finds the descent in the loop's frame and steps it from
    // inside the call, or from another thread, is refused, as it is while a
    // step runs. Until the loop steps it again or ends by an exception.
    bool call_out;
    Stepper loop;
};

DescentObject* as_descent(PyObject* o) noexcept { return reinterpret_cast<DescentObject*>(o); }

// Runs `body(visitor)` as an entry from the interpreter, the descent kept
// alive and marked busy meanwhile.
template <class F>
PyObject* descent_entry(PyObject* o, F&& body) {
    Strong hold = Strong::borrowed(o);
    StateScope scope(state_of(PyType_GetModule(Py_TYPE(o))));
    PyObject* result = guarded(
        [&]() -> PyObject* {
            DescentObject* d = as_descent(o);
            if (d->busy || (d->call_out && Stepper() != d->loop))
                throw_error(PyExc_ValueError, "the visitor's descent is already running");
            if (!d->visitor) return nullptr;
            d->busy = true;
            struct Idle {
                DescentObject* d;
                ~Idle() { d->busy = false; }
            } idle{d};
            return body(*d->visitor, scope);
        },
        static_cast<PyObject*>(nullptr));
    scope.release_waiting();
    return result;
}

PyObject* descent_next(PyObject* o) {
    return descent_entry(o, [o](Visitor& v, StateScope& scope) -> PyObject* {
        RecursionGuard guard;
        DescentObject* d = as_descent(o);
        // The loop is back: the call it made returned. Where it was out, the
        // entry found the step made from where the loop stands, `d->loop`.
        const bool was_out = std::exchange(d->call_out, false);
        Outcome out = v.step(scope);
        PyObject*& pair = d->last_call;
        if (pair && (!out.callee || !compat::uniquely_held(pair)))
            Strong::own_or_null(std::exchange(pair, nullptr));  // let go of at once
        if (!out.callee) return nullptr;  // the end: StopIteration
        PyObject* second = out.second ? out.second.as_ptr() : Py_None;
        const auto hand_out = [&]() {
            d->call_out = true;
            if (!was_out) d->loop = Stepper();
            return Py_NewRef(pair);
        };
        if (!pair) {
            pair = check(PyTuple_Pack(3, out.callee.as_ptr(), out.arg.as_ptr(), second));
            return hand_out();
        }
        // The old items go as the scope lets them: freeing one may run code.
        Strong old[] = {Strong::own_or_null(PyTuple_GET_ITEM(pair, 0)), Strong::own_or_null(PyTuple_GET_ITEM(pair, 1)),
                        Strong::own_or_null(PyTuple_GET_ITEM(pair, 2))};
        PyTuple_SET_ITEM(pair, 0, out.callee.release());
        PyTuple_SET_ITEM(pair, 1, out.arg.release());
        PyTuple_SET_ITEM(pair, 2, Py_NewRef(second));
        compat::tuple_refilled(pair);
        if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
        return hand_out();
    });
}

// `_call_out`, which the driving loop sets to False when it ends by an
// exception, perhaps from the call it was handed: the descent may then be
// finished from anywhere. An attribute, not a method: setting it is no
// call, so it cannot fail, not even at the recursion limit.
PyObject* descent_get_call_out(PyObject* o, void*) { return PyBool_FromLong(as_descent(o)->call_out); }

int descent_set_call_out(PyObject* o, PyObject* v, void*) {
    as_descent(o)->call_out = v == Py_True;
    return 0;
}

PyObject* descent_put(PyObject* o, PyObject* r) {
    return descent_entry(o, [r](Visitor& v, StateScope&) -> PyObject* {
        v.put(Strong::borrowed(r));
        return Py_NewRef(Py_None);
    });
}

PyObject* descent_result(PyObject* o, PyObject*) {
    PyObject* r =
        descent_entry(o, [](Visitor& v, StateScope&) -> PyObject* { return v.result().release(); });
    return r || PyErr_Occurred() ? r : Py_NewRef(Py_None);
}

int descent_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    const DescentObject* d = as_descent(o);
    Py_VISIT(d->last_call);
    return d->visitor && !d->busy ? d->visitor->traverse(visit, arg) : 0;
}

// The interpreter lets go of a descent, perhaps while a call of this module
// runs further up the stack (its getter's Python code ran the visitor): what
// the descent held is released here, not left waiting in that call, which
// may be another interpreter's.
void release_visitor(DescentObject* d) {
    StateScope scope(nullptr);
    if (Visitor* v = std::exchange(d->visitor, nullptr)) Visitor::end(v);
    Strong::own_or_null(std::exchange(d->last_call, nullptr));  // a temporary: let go of at once
    scope.release_waiting();
}

int descent_clear(PyObject* o) {
    DescentObject* d = as_descent(o);
    if (!d->busy) release_visitor(d);
    return 0;
}

void descent_dealloc(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    release_visitor(as_descent(o));
    t->tp_free(o);
    Py_DECREF(t);
}

// _descent(visitor, node, kind): a new descent; `type` is its class.
PyObject* descent_new(PyObject* type, PyObject* const* args, Py_ssize_t nargs) {
    StateScope scope(state_of(PyType_GetModule(reinterpret_cast<PyTypeObject*>(type))));
    PyObject* result = guarded(
        [&]() -> PyObject* {
            if (nargs != 3 || !PyLong_CheckExact(args[2])) throw_error(PyExc_TypeError, "_descent(visitor, node, kind)");
            const long kind = PyLong_AsLong(args[2]);
            if (kind < static_cast<long>(Ours::Visit) || kind > static_cast<long>(Ours::VisitConstant))
                throw_error(PyExc_ValueError, "_descent: no such kind");
            std::unique_ptr<Visitor, Visitor::Ender> visitor(Visitor::make(args[0], args[1], static_cast<Ours>(kind)));
            // A generic_visit whose subtree needs no Python call, as below
            // most nodes a visitor has a method for, ends here: no object
            // is made, and the caller gets None.
            if (is_generic(static_cast<Ours>(kind))) {
                RecursionGuard guard;
                Outcome first = visitor->step(scope);
                if (!first.callee) return Py_NewRef(Py_None);
                visitor->hold(std::move(first));
            }
            auto* d = PyObject_GC_New(DescentObject, reinterpret_cast<PyTypeObject*>(type));
            if (!d) throw_py();
            d->visitor = visitor.release();
            d->last_call = nullptr;
            d->busy = false;
            d->call_out = false;
            d->loop = Stepper();
            PyObject_GC_Track(d);
            return reinterpret_cast<PyObject*>(d);
        },
        static_cast<PyObject*>(nullptr));
    scope.release_waiting();
    return result;
}

PyMethodDef DESCENT_METHODS[] = {
    {"put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&descent_put)), METH_O, nullptr},
    {"result", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&descent_result)), METH_NOARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef DESCENT_GETSET[] = {
    {"_call_out", &descent_get_call_out, &descent_set_call_out, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot DESCENT_SLOTS[] = {
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&descent_next)},
    {Py_tp_methods, DESCENT_METHODS},
    {Py_tp_getset, DESCENT_GETSET},
    {Py_tp_traverse, reinterpret_cast<void*>(&descent_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&descent_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&descent_dealloc)},
    {0, nullptr},
};
PyType_Spec DESCENT_SPEC = {"quernwood._Descent", sizeof(DescentObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            DESCENT_SLOTS};

PyMethodDef DESCENT_NEW = {"_descent",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&descent_new)),
                           METH_FASTCALL, nullptr};

// The classes are Python classes, as ast's are (an instance dict, weak
// references, pickling and __slots__ subclasses behave the same), whose
// methods drive the native descent. Below the top of a recursion the calls
// of the visitor's own methods are made by these Python frames, so a visit_
// method that calls generic_visit nests Python frames only, as with ast,
// and the recursion limit bounds it as it bounds ast's.
constexpr const char CLASSES_SOURCE[] = R"(
class NodeVisitor:
    """A node visitor base class that walks the abstract syntax tree and calls
a visitor function for every node found, as `ast.NodeVisitor` does; the
descent through nodes without a visitor function runs natively."""

    def visit(self, node):
        """Visit a node."""
        calls = _descent(self, node, 1)
        try:
            for callee, arg, second in calls:
                calls.put(callee(arg) if second is None else callee(arg, second))
        except BaseException:
            calls._call_out = False
            raise
        return calls.result()

    def generic_visit(self, node):
        """Called if no explicit visitor function exists for a node."""
        # None: the descent needed no Python call. Results are handed back:
        # on a transformer, the nodes below are transformed.
        calls = _descent(self, node, 2)
        if calls is not None:
            try:
                for callee, arg, second in calls:
                    if second is None:
                        callee(arg)
                    else:
                        callee(arg, second)
            except BaseException:
                calls._call_out = False
                raise

    if _CONSTANT_FALLBACK:
        def visit_Constant(self, node):
            calls = _descent(self, node, 4)
            try:
                for callee, arg, second in calls:
                    calls.put(callee(arg) if second is None else callee(arg, second))
            except BaseException:
                calls._call_out = False
                raise
            return calls.result()


class NodeTransformer(NodeVisitor):
    """A `NodeVisitor` subclass that walks the abstract syntax tree and allows
modification of nodes, as `ast.NodeTransformer` does."""

    def generic_visit(self, node):
        """Called if no explicit visitor function exists for a node."""
        calls = _descent(self, node, 3)
        if calls is not None:
            try:
                for callee, arg, second in calls:
                    calls.put(callee(arg) if second is None else callee(arg, second))
            except BaseException:
                calls._call_out = False
                raise
        return node
)";

}  // namespace

void add_visitor_types(PyObject* module) {
    Strong descent_type = Strong::own(PyType_FromModuleAndSpec(module, &DESCENT_SPEC, nullptr));
    Strong make = Strong::own(PyCMethod_New(&DESCENT_NEW, descent_type.as_ptr(), nullptr, nullptr));
    Strong globals = Strong::own(PyDict_New());
    Strong name = Strong::own(PyModule_GetNameObject(module));
    check_status(PyDict_SetItemString(globals.as_ptr(), "__name__", name.as_ptr()));
    check_status(PyDict_SetItemString(globals.as_ptr(), "__builtins__", check(PyEval_GetBuiltins())));
    check_status(PyDict_SetItemString(globals.as_ptr(), "_descent", make.as_ptr()));
    check_status(PyDict_SetItemString(globals.as_ptr(), "_CONSTANT_FALLBACK",
                                      PY_VERSION_HEX < 0x030E0000 ? Py_True : Py_False));
    Strong code = Strong::own(Py_CompileString(CLASSES_SOURCE, "<quernwood>", Py_file_input));
    Strong done = Strong::own(PyEval_EvalCode(code.as_ptr(), globals.as_ptr(), globals.as_ptr()));
    ModuleState& state = current_state();
    const char* const OWN[][2] = {{"NodeVisitor", "visit"},
                                  {"NodeVisitor", "generic_visit"},
                                  {"NodeTransformer", "generic_visit"},
                                  {"NodeVisitor", "visit_Constant"}};
    for (size_t k = 0; k < std::size(OWN); ++k) {
        PyObject* cls = check(PyDict_GetItemString(globals.as_ptr(), OWN[k][0]));
        PyObject* method = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, OWN[k][1]);
        if (!method) continue;  // visit_Constant from 3.14
        state.keep(method);
        state.visitor_methods[k] = method;
    }
    for (const char* cls : {"NodeVisitor", "NodeTransformer"})
        check_status(PyModule_AddObjectRef(module, cls, check(PyDict_GetItemString(globals.as_ptr(), cls))));
}

}  // namespace qw
