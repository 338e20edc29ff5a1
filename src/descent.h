// One call of visit, generic_visit or visit_Constant of the visitor
// classes: the steps that the driving Python method iterates.
//
// Every attribute the standard visitor reads is read here, in the same
// order, with getattr's meaning. What is left out is only what nobody can
// observe: the frames of `visit` and `generic_visit`, and the bound methods
// they make, for a node that the visitor has no method for. Such nodes are
// descended on an explicit stack, and a due call of the visitor's own
// method is handed to the driving Python frame, so recursion through the
// methods nests Python frames, which the recursion limit bounds as it
// bounds ast's. Only near the top of a recursion, with the stack and the
// limits far from used up, does the descent make the calls itself.
#pragma once

#include "field_steps.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qw::visiting {

// What `self.visit(node)` comes to: a Python call, `callee(arg)` or, with
// `second`, `callee(arg, second)`, whose result the driving Python frame
// makes and hands back; or the descent of `node` by this module's
// generic_visit of kind `descend`.
struct Outcome {
    Strong callee;
    Strong arg;
    Ours descend = Ours::None;
    Strong second;

    static Outcome descent(Ours kind) {
        Outcome o;
        o.descend = kind;
        return o;
    }
};

// What one more nesting of a visitor step may take before the next check:
// this module's frames, a getter's and the interpreter's between them.
#ifdef Py_DEBUG
constexpr size_t STACK_MARGIN = 160 * 1024;
constexpr size_t FIRST_MARGIN = 24 * 1024;
#else
constexpr size_t STACK_MARGIN = 48 * 1024;
constexpr size_t FIRST_MARGIN = 8 * 1024;
#endif

class Visitor : FieldSteps {
public:
    // A visitor in the memory the thread's last ended one left, if any.
    [[gnu::always_inline]] static Visitor* make(PyObject* self, PyObject* root, Ours kind);

    // Lets go of what `v` holds (as the running call's scope allows) and
    // leaves its memory and frame stack to the memo it was made with.
    static void end(Visitor* v) noexcept;

    struct Ender {
        void operator()(Visitor* v) const noexcept { end(v); }
    };

    // Runs the call until a Python call is due, which it returns, or to its
    // end (no callee; the call's result is then `result()`). The result of
    // a due call is handed back by `put` before the next step, or taken as
    // None: a NodeVisitor's generic_visit drops what it gets.
    [[gnu::always_inline]] Outcome step(StateScope& scope);

    Visitor(const Visitor&) = delete;
    Visitor& operator=(const Visitor&) = delete;

    // A due call that the first step found, to be the first one handed out.
    void hold(Outcome o) { pending_ = std::move(o); }

    void put(Strong r);
    Strong result();
    int traverse(visitproc fn, void* arg) const;

private:
    enum class Phase : uint8_t { Start, RootCall, Descent, Done };

    Visitor(PyObject* self, PyObject* root, Ours kind, std::shared_ptr<ClassMemo> memo, std::vector<Frame> stack);

    // Whether the driving Python frame hands the calls' results back:
    // NodeVisitor.generic_visit drops them, as ast's does, so a transformer's
    // descent below it is left to a Python call of its own.
    bool results_wanted() const noexcept { return kind_ != Ours::GenericVisit; }

    // The body of NodeVisitor.visit.
    Outcome visit_body(PyObject* node);

    // The body of the NodeVisitor.visit_Constant of CPython 3.13 and earlier;
    // `from_visit` when this module's visit calls it, standing in for ast's.
    Outcome constant_body(PyObject* node, bool from_visit);

    // self.visit(node), inside a descent.
    // Inline: defined in descent.cpp, whose descend alone calls it.
    inline Outcome visit(PyObject* node);

    // visit_Constant where no deprecated method is anywhere: the descent.
    Outcome plain_constant(PyObject* node);

    // callable(arg), made by the driving Python frame, so that a visitor
    // method calling back in nests Python frames only.
    Outcome call(Strong callable, PyObject* arg);

    Outcome generic(Bound gv, PyObject* node);

    // The descent on the explicit stack, from where it stands to the next
    // Python call or its end; `delivering`: the due call's result is to be
    // taken first.
    Outcome descend(bool delivering);

    // Whether a callee is Python code, whose call a profiler sees however it
    // is made; a built-in one is called by the loop, where a profiler sees it.
    static bool runs_python_code(PyObject* callee) noexcept {
        return PyFunction_Check(callee) || (PyMethod_Check(callee) && PyFunction_Check(PyMethod_GET_FUNCTION(callee)));
    }

    // The due call, made as the driving loop would make it, with the
    // recursion counts the loop's call would leave it: the C stack that
    // the frames between take is bounded apart (may_call_here).
    static Strong call_here(PyThreadState* ts, const Outcome& o);

    // The descent below the top frame, not started yet, for as long as it
    // meets only nodes of classes with known facts, whose dicts hold their
    // fields first and in order, and that the visitor has no method for:
    // then no code can run, so the nodes and values are read from the dicts
    // without references or frames, as a walk reads them. A transformer
    // writes back what it read, which changes nothing there. It stops
    // before anything else, leaving frames where it stands for the general
    // road to go on from; or, at the subtree's end, leaves the frame with
    // its fields done.
    void sprint();

    // ast's warning, from where ast gives it: the caller of visit_Constant,
    // which is the line of ast's NodeVisitor.visit that calls the method
    // when this module's visit stands in for it. The filters and the
    // once-only registry see the same place.
    void warn_deprecated(PyObject* method, bool from_visit);

    // The stack is the path from the root: a node on it twice is its own
    // descendant, and the descent would never end. Looked for past a depth
    // that no parsed tree reaches, and at every doubling after.
    void check_path(const std::vector<Frame>& stack);

    // The sprint's helpers, inline: defined in sprint.cpp.

    // Whether the base class's visit_Constant comes to the descent for the
    // Constant just entered: its value's deprecated method, if it has one,
    // is known to be missing from the visitor in this epoch.
    inline bool quiet_constant() const;

    // Pushes a sprint level for `node` when its fields can be read from its
    // dict's first entries: the very names of `_fields`, in order, and no
    // other key that is `_fields`.
    inline bool enter(PyObject* node, bool transform);

    // Turns the sprint's levels into frames that stand where it stopped:
    // the last one before its field or item now due, the others after the
    // one each is in, as if the general road had come this far.
    inline void stop();

    Strong self_ref_;
    Strong root_;
    Ours kind_;
    Phase phase_ = Phase::Start;
    Strong result_;  // the due call's result, then the call's
    Outcome pending_;
    std::vector<Frame> stack_;
    Py_hash_t fields_hash_;
    std::vector<Level>& levels_;  // the thread's, for the running sprint
    size_t next_cycle_check_ = size_t{1} << 17;
};

// Defined here, where the calls from the binding can take them in.
inline Visitor::Visitor(PyObject* self, PyObject* root, Ours kind, std::shared_ptr<ClassMemo> memo, std::vector<Frame> stack)
    : FieldSteps(self, std::move(memo)), self_ref_(Strong::borrowed(self)), root_(Strong::borrowed(root)), kind_(kind),
      stack_(std::move(stack)), fields_hash_(compat::str_hash(w_[W_FIELDS])), levels_(memo_->levels) {
    if (stack_.capacity() == 0) stack_.reserve(8);
}

inline Visitor* Visitor::make(PyObject* self, PyObject* root, Ours kind) {
    std::shared_ptr<ClassMemo> memo = thread_memo(current_state());
    ClassMemo::Spare spare;
    if (memo->spare_count) spare = std::move(memo->spares[--memo->spare_count]);
    else spare.memory = ::operator new(sizeof(Visitor));
    try {
        return new (spare.memory) Visitor(self, root, kind, std::move(memo), std::move(spare.stack));
    } catch (...) {
        ::operator delete(spare.memory);
        throw;
    }
}

inline void Visitor::end(Visitor* v) noexcept {
    std::shared_ptr<ClassMemo> memo = std::move(v->memo_);
    v->stack_.clear();
    std::vector<Frame> stack = std::move(v->stack_);
    // A deep tree's stack is not kept for the thread's life.
    if (stack.capacity() > 32) std::vector<Frame>().swap(stack);
    v->~Visitor();
    if (memo->spare_count == memo->spares.size()) {
        ::operator delete(v);
        return;
    }
    memo->spares[memo->spare_count++] = {v, std::move(stack)};
}

inline Outcome Visitor::step(StateScope& scope) {
    if (pending_.callee) return std::exchange(pending_, Outcome());
    if (phase_ == Phase::Done) return {};
    scope_ = &scope;
    if (phase_ == Phase::Start) {
        phase_ = Phase::Done;  // until the step succeeds
        Outcome o;
        if (kind_ == Ours::Visit)
            o = visit_body(root_.as_ptr());
        else if (kind_ == Ours::VisitConstant)
            o = constant_body(root_.as_ptr(), false);
        else
            o.descend = kind_;
        if (o.descend == Ours::None) {
            phase_ = Phase::RootCall;  // what it gives is the result
            return o;
        }
        stack_.emplace_back(Strong::borrowed(root_.as_ptr()), o.descend == Ours::GenericTransform);
        return descend(false);
    }
    const bool resumed = phase_ == Phase::Descent;
    phase_ = Phase::Done;
    return resumed ? descend(true) : Outcome();
}

}  // namespace qw::visiting
