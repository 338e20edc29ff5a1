#include "descent.h"

#include "stack_room.h"

#include <tuple>
#include <unordered_set>

namespace qw::visiting {

namespace {

// Whether the descent may make a due call itself, nesting C frames, rather
// than hand it to the driving Python loop, which saves the loop's work per
// call. Only near the top of a recursion: a few steps deep, with the C stack
// and the recursion limits far from used up. Deeper calls go through the
// loop, so that the nesting there is of Python frames only and a recursive
// visitor reaches ast's depth in any thread. The calls made here take at
// most a 32nd of the thread's stack, so the visitor's own code below finds
// nearly the stack it would have with ast's classes.
constexpr int DIRECT_STEPS = 32;
constexpr size_t DIRECT_STACK_SHARE = 32;
constexpr size_t DIRECT_ROOM = STACK_MARGIN + 96 * 1024;
constexpr size_t DIRECT_COUNTED_STACK = 6 * 1024 * 1024;

bool may_call_here(PyThreadState* ts) noexcept {
    ThreadLocals& t = *thread_locals();
    if (t.visitor_steps > DIRECT_STEPS) return false;
    const size_t room = stack_room(t.stack_low, t.stack_high);
    // SIZE_MAX: a stack whose bounds nobody tells.
    if (room == SIZE_MAX || room < DIRECT_ROOM) return false;
    // Where the interpreter bounds C recursion by counts alone, a thread
    // with a small stack keeps all of it for the visitor's own code.
    if (!compat::STACK_BOUNDS_C_RECURSION && t.stack_high - t.stack_low < DIRECT_COUNTED_STACK) return false;
    const uintptr_t here = stack_here();
    const uintptr_t used = t.first_step_at > here ? t.first_step_at - here : 0;
    return used <= (t.stack_high - t.stack_low) / DIRECT_STACK_SHARE && compat::recursion_mostly_free(ts);
}

}  // namespace

void Visitor::put(Strong r) {
    if (phase_ != Phase::Descent && phase_ != Phase::RootCall)
        throw_error(PyExc_RuntimeError, "no visitor call is due");
    result_ = std::move(r);
}

Strong Visitor::result() {
    return Strong::borrowed(phase_ == Phase::Done && result_ ? result_.as_ptr() : Py_None);
}

int Visitor::traverse(visitproc fn, void* arg) const {
    for (const Strong* o : {&self_ref_, &root_, &result_, &pending_.callee, &pending_.arg, &pending_.second})
        if (int rc = *o ? fn(o->as_ptr(), arg) : 0) return rc;
    for (const Frame& f : stack_)
        for (const Strong* o : {&f.node, &f.fields, &f.field_iter, &f.field, &f.list, &f.items, &f.new_values})
            if (int rc = *o ? fn(o->as_ptr(), arg) : 0) return rc;
    return 0;
}

Outcome Visitor::visit_body(PyObject* node) {
    python_ran_ = true;
    Strong name = method_name(node);
    // getattr's default, self.generic_visit, is read before the method.
    Bound gv = resolve(w_[W_GENERIC_VISIT]);
    if (Strong m = optional_attr(self_, name.as_ptr())) {
        if (bound_ours(mine_, self_, m.as_ptr()) == Ours::VisitConstant) return constant_body(node, true);
        return call(std::move(m), node);
    }
    return generic(std::move(gv), node);
}

Outcome Visitor::constant_body(PyObject* node, bool from_visit) {
    python_ran_ = true;
    Strong value = get_attr(node, w_[W_VALUE]);
    if (PyObject* method = constant_method(value.as_ptr())) {
        if (Strong m = optional_attr(self_, method)) {
            warn_deprecated(method, from_visit);
            return call(std::move(m), node);
        }
    }
    return generic(resolve(w_[W_GENERIC_VISIT]), node);
}

inline Outcome Visitor::visit(PyObject* node) {
    refresh();
    if (instance_clean_) {
        PyTypeObject* t = Py_TYPE(node);
        ClassFacts& f = facts(t);
        PyObject* const method = f.method;  // kept by the module state
        ClassFacts::Road r = f.road;
        PyObject* function = f.function;
        if (method && !road_known(f)) {
            std::tie(r, function) = road(method);
            // Finding it may have run a collection, whose finalizers may
            // have given the slot to another class.
            if (f.type == t) set_road(f, r, function);
        }
        if (method && r == ClassFacts::Road::Descend) return Outcome::descent(self_generic_);
        // The function is the class's while its tag stays: learning the
        // node's class may have run a collection, and code that changed it.
        if (method && r == ClassFacts::Road::Function && compat::version_tag(Py_TYPE(self_)) == self_tag_) {
            Outcome o{Strong::borrowed(function), Strong::borrowed(self_), Ours::None, Strong::borrowed(node)};
            python_runs();
            return o;
        }
        if (method && (r == ClassFacts::Road::Read || r == ClassFacts::Road::Function)) {
            // Reading visit and generic_visit would only make bound methods.
            Strong m = optional_attr(self_, method);
            if (!m) {
                python_ran_ = true;  // a getter that raised AttributeError, say
                return Outcome::descent(self_generic_);
            }
            if (bound_ours(mine_, self_, m.as_ptr()) == Ours::VisitConstant) return constant_body(node, true);
            return call(std::move(m), node);
        }
        if (method && r == ClassFacts::Road::Constant) {
            if (Outcome o = plain_constant(node); o.descend != Ours::None) return o;
        }
    }
    Bound v = resolve(w_[W_VISIT]);
    if (v.ours != Ours::Visit) return call(std::move(v.obj), node);
    return visit_body(node);
}

Outcome Visitor::plain_constant(PyObject* node) {
    PyObject* value = nullptr;
    ClassFacts& f = facts(Py_TYPE(node));
    if (f.dict_fields) {
        bool ok = false;
        if (PyObject* dict = instance_dict(node, ok); dict && ok) value = lookup_field(dict, 0, w_[W_VALUE]);
    }
    // Only a value read from the dict of a plain Constant is known not to
    // have run code; otherwise the general road reads it.
    if (!value || _PyType_Lookup(Py_TYPE(node), w_[W_VALUE])) return {};
    Strong held = Strong::borrowed(value);
    PyObject* method = constant_method(held.as_ptr());
    if (python_ran_ || (method && has_constant_method(method))) return {};
    return Outcome::descent(self_generic_);
}

Outcome Visitor::call(Strong callable, PyObject* arg) {
    python_ran_ = true;
    // Python code runs next anyway: what waits to be freed goes first,
    // so that a long descent keeps no more memory than ast's would.
    scope_->release_waiting();
    return {std::move(callable), Strong::borrowed(arg), Ours::None, Strong()};
}

Outcome Visitor::generic(Bound gv, PyObject* node) {
    // A transformer's descent whose results nobody takes: the call of
    // what was read, once, as ast's visit makes it.
    if (gv.ours == Ours::GenericTransform && gv.obj && !results_wanted()) return call(std::move(gv.obj), node);
    if (is_generic(gv.ours)) {
        drop_read(std::move(gv.obj));
        return Outcome::descent(gv.ours);
    }
    if (!gv.obj) gv.obj = get_attr(self_, w_[W_GENERIC_VISIT]);
    return call(std::move(gv.obj), node);
}

Outcome Visitor::descend(bool delivering) {
    Strong result = std::move(result_);
    if (delivering && !result) result = Strong::borrowed(Py_None);
    bool called = delivering;  // what arrives is a due call's result
    for (;;) {
        if (delivering) {
            delivering = false;
            take_result(stack_.back(), std::move(result));
            // A result that nothing keeps is freed now, before the descent
            // reads on, as ast's generic_visit drops it: code ran anyway.
            if (std::exchange(called, false)) scope_->release_waiting();
        }
        if (!stack_.back().started) sprint();
        Frame& f = stack_.back();
        Strong child = next_child(f);
        if (!child) {
            if (!f.transform && last_reference(f.node)) python_ran_ = true;
            result = f.transform ? std::move(f.node) : Strong::borrowed(Py_None);
            stack_.pop_back();
            if (stack_.empty()) {
                result_ = std::move(result);
                return {};
            }
            delivering = true;
            continue;
        }
        Outcome o = visit(child.as_ptr());
        // Here generic_visit was known to be ours without being read.
        if (o.descend == Ours::GenericTransform && !results_wanted()) [[unlikely]]
            o = call(get_attr(self_, w_[W_GENERIC_VISIT]), child.as_ptr());
        if (o.descend != Ours::None) {
            stack_.emplace_back(std::move(child), o.descend == Ours::GenericTransform);
            if (stack_.size() >= next_cycle_check_) [[unlikely]]
                check_path(stack_);
            continue;
        }
        // Where the loop would stand, handed the call: a call made here
        // that raises leaves the descent as one the loop made would.
        phase_ = Phase::Descent;
        if (!runs_python_code(o.callee.as_ptr())) return o;
        PyThreadState* ts = PyThreadState_Get();
        if (!may_call_here(ts)) return o;
        Strong r = call_here(ts, o);
        phase_ = Phase::Done;
        result = results_wanted() ? std::move(r) : Strong::borrowed(Py_None);
        delivering = called = true;
    }
}

Strong Visitor::call_here(PyThreadState* ts, const Outcome& o) {
    struct Loan {
        PyThreadState* t;
        explicit Loan(PyThreadState* ts) noexcept : t(ts) { compat::lend_recursion(t, 1); }
        ~Loan() {
            // A thread that the exiting interpreter ends has no thread state left to count in.
            if (thread_state_usable()) compat::lend_recursion(t, -1);
        }
    } loan(ts);
    PyObject* args[] = {nullptr, o.arg.as_ptr(), o.second.as_ptr()};
    const size_t n = (o.second ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Strong::own(PyObject_Vectorcall(o.callee.as_ptr(), args + 1, n, nullptr));
}

void Visitor::warn_deprecated(PyObject* method, bool from_visit) {
    python_ran_ = true;
    Strong message = Strong::own(PyUnicode_FromFormat("%U is deprecated; add visit_Constant", method));
    Strong ast_module = from_visit ? Strong::own(PyImport_ImportModule("ast")) : Strong();
    Strong base = ast_module ? optional_attr(ast_module.as_ptr(), w_[W_NODE_VISITOR]) : Strong();
    Strong visit = base ? optional_attr(base.as_ptr(), w_[W_VISIT]) : Strong();
    if (!visit || !PyFunction_Check(visit.as_ptr())) {
        // From the caller of this module's Python method.
        check_status(PyErr_WarnFormat(PyExc_DeprecationWarning, 2, "%U", message.as_ptr()));
        return;
    }
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(visit.as_ptr()));
    PyObject* globals = PyFunction_GET_GLOBALS(visit.as_ptr());
    Strong bytes = Strong::own(PyCode_GetCode(code));
    // The line of the last instruction that has one: a handler placed
    // after the return may have none.
    int line = -1;
    for (int at = static_cast<int>(PyBytes_GET_SIZE(bytes.as_ptr())) - 2; at >= 0 && line < 0; at -= 2)
        line = PyCode_Addr2Line(code, at);
    Strong fresh = Strong::own(PyDict_New());
    Strong registry = Strong::borrowed(check(PyDict_SetDefault(globals, w_[W_REGISTRY], fresh.as_ptr())));
    PyObject* module = PyDict_GetItemWithError(globals, w_[W_NAME]);
    if (!module && PyErr_Occurred()) throw_py();
    Strong module_name = module ? Strong::borrowed(module) : Strong::own(PyUnicode_FromString("<string>"));
    check_status(PyErr_WarnExplicitObject(PyExc_DeprecationWarning, message.as_ptr(), code->co_filename, line,
                                          module_name.as_ptr(), registry.as_ptr()));
}

void Visitor::check_path(const std::vector<Frame>& stack) {
    next_cycle_check_ *= 2;
    std::unordered_set<uintptr_t, PointerHasher> seen;
    for (const Frame& f : stack)
        if (!seen.insert(reinterpret_cast<uintptr_t>(f.node.as_ptr())).second)
            throw_error(PyExc_RecursionError,
                        "the tree has a cycle: a node is reachable from itself through its fields");
}

}  // namespace qw::visiting
