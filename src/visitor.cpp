// NodeVisitor and NodeTransformer.
//
// The classes act as ast.NodeVisitor and ast.NodeTransformer do, step for
// step: every attribute the standard visitor reads is read here, in the same
// order, with getattr's meaning. What is left out is only what nobody can
// observe: the frames of `visit` and `generic_visit`, and the bound methods
// they make, for a node that the visitor has no method for. Such nodes are
// descended on an explicit stack. The classes' methods are thin Python
// functions that iterate that descent and make the calls of the visitor's
// own methods, so recursion through them nests Python frames, which the
// recursion limit bounds as it bounds ast's. Only near the top of a
// recursion, with the stack and the limits far from used up, does the
// descent make the calls itself (may_call_here).
//
// Whether an attribute read may be answered without the read is decided
// from facts about classes that hold while the class's version tag stays
// the same (any change to a class or its bases gives it a new one), and from
// the visitor's instance dict, looked at again after any Python code ran.
// Where a fact does not hold, the read is made, so a visitor that overrides
// `visit` or `generic_visit`, or answers attribute reads itself, gets its
// own code called exactly where the standard visitor would call it.
#include "visitor.h"

#include "ast_types.h"
#include "binding.h"
#include "dict_reader.h"
#include "stack_room.h"
#include "state.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <type_traits>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

namespace qw {

namespace {

// Which of this module's methods an attribute resolves to.
enum class Ours : uint8_t { None, Visit, GenericVisit, GenericTransform, VisitConstant };

enum Word : size_t {
    W_VISIT, W_GENERIC_VISIT, W_FIELDS, W_CLASS, W_NAME, W_VALUE, W_EXTEND, W_PREFIX,
    W_NAMECONSTANT, W_NUM, W_STR, W_BYTES, W_ELLIPSIS, W_NODE_VISITOR, W_REGISTRY, WORD_COUNT
};
constexpr const char* WORD_TEXT[] = {
    "visit", "generic_visit", "_fields", "__class__", "__name__", "value", "extend", "visit_",
    "visit_NameConstant", "visit_Num", "visit_Str", "visit_Bytes", "visit_Ellipsis", "NodeVisitor",
    "__warningregistry__",
};
static_assert(std::size(WORD_TEXT) == WORD_COUNT);
static_assert(WORD_COUNT <= sizeof(ThreadCaches::visitor_words) / sizeof(PyObject*));

// The interned names, made once per thread and state.
PyObject* const* words(ModuleState& state) {
    PyObject** cells = state.thread_caches().visitor_words;
    if (!cells[WORD_COUNT - 1]) [[unlikely]] {
        for (size_t w = 0; w < WORD_COUNT; ++w) {
            if (state.thread_caches().visitor_words[w]) continue;
            Strong s = Strong::own(PyUnicode_InternFromString(WORD_TEXT[w]));
            state.keep(s.as_ptr());
            state.thread_caches().visitor_words[w] = s.as_ptr();
        }
        cells = state.thread_caches().visitor_words;
    }
    return cells;
}

Strong get_attr(PyObject* o, PyObject* name) { return Strong::own(PyObject_GetAttr(o, name)); }

// getattr(o, name) for a name that may be missing (AttributeError); null then.
Strong optional_attr(PyObject* o, PyObject* name) {
    PyObject* raw = nullptr;
    check_status(compat::get_optional_attr(o, name, &raw));
    return raw ? Strong::own(raw) : Strong();
}

// The classes' own methods, in the order of `Ours` from Visit.
using OwnMethods = std::array<PyObject*, std::extent_v<decltype(ModuleState::visitor_methods)>>;

// Which of this module's methods a function is: the classes' own, found
// by identity.
Ours function_ours(const OwnMethods& mine, PyObject* f) noexcept {
    if (!f || !PyFunction_Check(f)) return Ours::None;
    for (size_t k = 0; k < mine.size(); ++k)
        if (mine[k] == f) return static_cast<Ours>(k + 1);
    return Ours::None;
}

Ours bound_ours(const OwnMethods& mine, PyObject* self, PyObject* o) noexcept {
    if (!o || !PyMethod_Check(o) || PyMethod_GET_SELF(o) != self) return Ours::None;
    return function_ours(mine, PyMethod_GET_FUNCTION(o));
}

bool is_generic(Ours o) noexcept { return o == Ours::GenericVisit || o == Ours::GenericTransform; }

// Values that are never lists or nodes, whatever isinstance asks them.
bool is_leaf(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    // Nodes are of classes made at run time: told apart at once.
    if (t->tp_flags & Py_TPFLAGS_HEAPTYPE) return false;
    return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyTuple_Type || t == &PyBool_Type ||
           t == &PyFloat_Type || t == &PyBytes_Type || t == &PyComplex_Type || v == Py_Ellipsis;
}

// 'visit_' + name for a class's __name__ object (borrowed), cached for the
// thread; the names are kept, so an address seen here is never reused for
// another name. Null when the cache is full: classes made at run time could
// grow it without end.
PyObject* kept_method_name(ModuleState& state, PyObject* prefix, PyObject* name) {
    auto& names = state.thread_caches().visit_names;
    if (auto it = names.find(reinterpret_cast<uintptr_t>(name)); it != names.end()) return it->second;
    if (names.size() >= 4096) return nullptr;
    PyObject* raw = check(PyUnicode_Concat(prefix, name));
    PyUnicode_InternInPlace(&raw);
    Strong full = Strong::own(raw);
    state.keep(name);
    state.keep(full.as_ptr());
    state.thread_caches().visit_names.emplace(reinterpret_cast<uintptr_t>(name), full.as_ptr());
    return full.as_ptr();
}

// What a class is known to do, while its version tag is `tag`.
struct ClassFacts {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    // `o.__class__` is `type(o)` and attributes are read the ordinary way.
    bool plain = false;
    // Plain, and the fields are read from an instance dict at a fixed offset.
    bool dict_fields = false;
    // 'visit_' + __name__ (borrowed from the thread's cache); null when the
    // name must be read. For `name`, the class's name object (kept): setting
    // __name__ leaves the version tag alone on some versions.
    PyObject* method = nullptr;
    PyObject* name = nullptr;
    // The class's `_fields`, an exact tuple (borrowed: held while the tag is).
    PyObject* fields = nullptr;
    // Bit j: fields[j] is a str that names no class attribute, or one that
    // is no descriptor (an optional field's None), so an instance's value
    // is its instance dict's entry, else that class attribute, else missing.
    uint64_t bare = 0;
    // Every field is bare and a str other than `_fields`, at most 64 of
    // them: a node whose dict holds them first, in order, is read straight
    // from its entries. `quiet_set`: writing a field's own value back runs
    // no code (the ordinary setattr, no class attribute that sets).
    bool sprint = false;
    bool quiet_set = false;
    // The position of `value` in `_fields` when the class has no attribute
    // of that name (a Constant's); -1 otherwise.
    int8_t value_at = -1;
    // What visiting a node of the class comes to, found in epoch `epoch`
    // of the visitor (0: not yet).
    uint64_t epoch = 0;
    // Or found from the visitor's class alone, while the instance holds no
    // `visit_` name: then it lasts while that class keeps its version tag.
    PyTypeObject* road_for = nullptr;
    unsigned int road_for_tag = 0;
    // Function: getattr would find `function` in the visitor's class (and
    // nothing in its instance) and bind it, running no code, so the call is
    // function(visitor, node), with no bound method made.
    enum class Road : uint8_t { Read, Function, Descend, Constant } road = Road::Read;
    PyObject* function = nullptr;  // borrowed: the class holds it while its tag stays
};

// One node of a sprint: `j` is the field being visited, and `i` the
// next item of `list`, its value, when that is a list.
struct Level {
    PyObject* node;
    const ClassFacts* facts;
    const DictEntry* entries;
    Py_ssize_t n;
    Py_ssize_t j;
    PyObject* list;
    Py_ssize_t i;
    bool transform;
};

// One node whose fields are being visited, with where the visit stands.
struct Frame {
    Frame(Strong n, bool t) : node(std::move(n)), transform(t) {}
    Strong node;
    bool transform;
    bool started = false;
    Py_ssize_t next_field = 0;
    Py_ssize_t next_item = 0;
    uint64_t bare = 0;               // of `known`, while it holds
    PyTypeObject* known = nullptr;   // the node's class when `bare` was taken
    unsigned int known_tag = 0;
    Strong fields;      // node._fields
    Strong field_iter;  // over it, when it is not a tuple
    Strong field;       // the field whose value is being visited
    Strong list;        // that value, when it is a list
    Strong items;       // iterator over it, when it is not an exact list
    Strong new_values;  // its new contents (transformer)
};
// A descent's first frames fit in one block of the sizes malloc keeps per
// thread (up to about 1 KiB): one is made per generic_visit call.
static_assert(8 * sizeof(Frame) <= 1024);

// The facts of the classes met on the thread, by address, and the
// counter of the visitor epochs in which roads were found.
struct ClassMemo {
    // Four ways per class address: parsed trees alone meet over a hundred
    // classes, which one slot each would have evict each other.
    static constexpr size_t SLOTS = 512, WAYS = 4;
    ClassFacts entries[SLOTS];
    size_t next_victim = 0;
    uint64_t next_epoch = 1;
    // What the last visitor class seen is known to do, while its version
    // tag stays: visitors are made often, of few classes.
    PyTypeObject* visitor_type = nullptr;
    unsigned int visitor_tag = 0;
    bool visitor_fast = false;
    Ours visitor_generic = Ours::None;
    // The levels of the sprint running on the thread: a sprint runs no
    // code, so none starts inside another.
    std::vector<Level> levels;
    // What ended visitors leave for the next ones: their memory and frame
    // stacks. A visitor is made for nearly every generic_visit call, and
    // lives while those of the nodes below it come and go.
    struct Spare {
        void* memory = nullptr;
        std::vector<Frame> stack;
    };
    std::array<Spare, 8> spares;
    size_t spare_count = 0;

    ClassMemo() = default;
    ClassMemo(const ClassMemo&) = delete;
    ClassMemo& operator=(const ClassMemo&) = delete;
    ~ClassMemo() {
        for (size_t k = 0; k < spare_count; ++k) ::operator delete(spares[k].memory);
    }
};

std::shared_ptr<ClassMemo> thread_memo(ModuleState& state) {
    std::shared_ptr<void>& cell = state.thread_caches().visitor_memo;
    if (!cell) cell = std::make_shared<ClassMemo>();
    return std::static_pointer_cast<ClassMemo>(cell);
}


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

class Visitor {
public:
    // A visitor in the memory the thread's last ended one left, if any.
    static Visitor* make(PyObject* self, PyObject* root, Ours kind) {
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

    // Lets go of what `v` holds (as the running call's scope allows) and
    // leaves its memory and frame stack to the memo it was made with.
    static void end(Visitor* v) noexcept {
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

    struct Ender {
        void operator()(Visitor* v) const noexcept { end(v); }
    };

    // Runs the call until a Python call is due, which it returns, or to its
    // end (no callee; the call's result is then `result()`). The result of
    // a due call is handed back by `put` before the next step, or taken as
    // None: a NodeVisitor's generic_visit drops what it gets.
    Outcome step(StateScope& scope) {
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

    Visitor(const Visitor&) = delete;
    Visitor& operator=(const Visitor&) = delete;

    // A due call that the first step found, to be the first one handed out.
    void hold(Outcome o) { pending_ = std::move(o); }

    void put(Strong r) {
        if (phase_ != Phase::Descent && phase_ != Phase::RootCall)
            throw_error(PyExc_RuntimeError, "no visitor call is due");
        result_ = std::move(r);
    }

    Strong result() {
        return Strong::borrowed(phase_ == Phase::Done && result_ ? result_.as_ptr() : Py_None);
    }

    int traverse(visitproc fn, void* arg) const {
        for (const Strong* o : {&self_ref_, &root_, &result_, &pending_.callee, &pending_.arg, &pending_.second})
            if (int rc = *o ? fn(o->as_ptr(), arg) : 0) return rc;
        for (const Frame& f : stack_)
            for (const Strong* o : {&f.node, &f.fields, &f.field_iter, &f.field, &f.list, &f.items, &f.new_values})
                if (int rc = *o ? fn(o->as_ptr(), arg) : 0) return rc;
        return 0;
    }

    // The body of NodeVisitor.visit.
    Outcome visit_body(PyObject* node) {
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

    // The body of the NodeVisitor.visit_Constant of CPython 3.13 and earlier;
    // `from_visit` when this module's visit calls it, standing in for ast's.
    Outcome constant_body(PyObject* node, bool from_visit) {
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

private:
    enum class Phase : uint8_t { Start, RootCall, Descent, Done };

    Visitor(PyObject* self, PyObject* root, Ours kind, std::shared_ptr<ClassMemo> memo, std::vector<Frame> stack)
        : self_(self), self_ref_(Strong::borrowed(self)), root_(Strong::borrowed(root)), kind_(kind),
          state_(current_state()), stack_(std::move(stack)), ast_(state_.base_types().ast),
          expr_(state_.base_types().expr), memo_(std::move(memo)), levels_(memo_->levels) {
        // The names are held by the module state, not by the thread that
        // made them: the copy stays good on any thread.
        std::copy_n(words(state_), WORD_COUNT, w_);
        std::copy_n(state_.visitor_methods, mine_.size(), mine_.begin());
        if (stack_.capacity() == 0) stack_.reserve(8);
        fields_hash_ = compat::str_hash(w_[W_FIELDS]);
    }

    // Whether the driving Python frame hands the calls' results back:
    // NodeVisitor.generic_visit drops them, as ast's does, so a transformer's
    // descent below it is left to a Python call of its own.
    bool results_wanted() const noexcept { return kind_ != Ours::GenericVisit; }

    // The descent on the explicit stack, from where it stands to the next
    // Python call or its end; `delivering`: the due call's result is to be
    // taken first.
    // A bound method that reading an attribute just made, let go of at
    // once: its function and instance are held elsewhere and nothing holds a
    // weak reference to it, so freeing it runs no code. Left to wait for a
    // point where Python code runs, it would count as code run at the next
    // node, whose read would make another.
    static void drop_read(Strong m) noexcept {
        PyObject* p = m.as_ptr();
        if (!p || !PyMethod_Check(p) || Py_REFCNT(p) != 1) return;
        auto* bound = reinterpret_cast<PyMethodObject*>(p);
        if (bound->im_weakreflist || Py_REFCNT(bound->im_self) < 2 || Py_REFCNT(bound->im_func) < 2) return;
        Py_DECREF(m.release());
    }

    Outcome descend(bool delivering) {
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

    // Whether a callee is Python code, whose call a profiler sees however it
    // is made; a built-in one is called by the loop, where a profiler sees it.
    static bool runs_python_code(PyObject* callee) noexcept {
        return PyFunction_Check(callee) || (PyMethod_Check(callee) && PyFunction_Check(PyMethod_GET_FUNCTION(callee)));
    }

    // The due call, made as the driving loop would make it, with the
    // recursion counts the loop's call would leave it: the C stack that
    // the frames between take is bounded apart (may_call_here).
    static Strong call_here(PyThreadState* ts, const Outcome& o) {
        struct Loan {
            PyThreadState* t;
            explicit Loan(PyThreadState* ts) noexcept : t(ts) { compat::lend_recursion(t, 1); }
            ~Loan() {
                // A thread that the exiting interpreter ends has no thread state left to count in.
                if (EXITING_INTERPRETERS.load(std::memory_order_relaxed) != 0 && !thread_may_release()) return;
                compat::lend_recursion(t, -1);
            }
        } loan(ts);
        PyObject* args[] = {nullptr, o.arg.as_ptr(), o.second.as_ptr()};
        const size_t n = (o.second ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
        return Strong::own(PyObject_Vectorcall(o.callee.as_ptr(), args + 1, n, nullptr));
    }


    // The descent below the top frame, not started yet, for as long as it
    // meets only nodes of classes with known facts, whose dicts hold their
    // fields first and in order, and that the visitor has no method for:
    // then no code can run, so the nodes and values are read from the dicts
    // without references or frames, as a walk reads them. A transformer
    // writes back what it read, which changes nothing there. It stops
    // before anything else, leaving frames where it stands for the general
    // road to go on from; or, at the subtree's end, leaves the frame with
    // its fields done.
    void sprint() {
        if (scope_->has_waiting()) return;
        refresh();
        if (!instance_clean_ || !is_generic(self_generic_)) return;
        const bool transform = self_generic_ == Ours::GenericTransform;
        if (transform && !results_wanted()) return;
        levels_.clear();
        if (!enter(stack_.back().node.as_ptr(), stack_.back().transform)) return;
        const ClassFacts* root = levels_.front().facts;
        // A transformer's frame below which NodeVisitor.generic_visit runs
        // gets None back, and deletes what it visited: it goes into nothing.
        const size_t room = transform || !levels_.front().transform ? next_cycle_check_ - stack_.size() : 1;
        // road_known(), with what it reads held: no code runs meanwhile.
        const bool by_epoch = instance_methods_ || self_tag_ == 0;
        const uint64_t epoch = epoch_;
        PyTypeObject* const self_type = Py_TYPE(self_);
        const unsigned int self_tag = self_tag_;
        for (;;) {
            Level& l = levels_.back();
            PyObject* child;
            if (l.list) {
                if (l.i == PyList_GET_SIZE(l.list)) {
                    l.list = nullptr;
                    ++l.j;
                    continue;
                }
                child = PyList_GET_ITEM(l.list, l.i++);
            } else if (l.j < l.n) {
                child = l.entries[l.j].value;
                if (PyList_CheckExact(child)) {
                    l.list = child;
                    l.i = 0;
                    continue;
                }
            } else {
                levels_.pop_back();
                if (levels_.empty()) break;
                if (!levels_.back().list) ++levels_.back().j;
                continue;
            }
            if (is_leaf(child)) {
                if (!l.list) ++l.j;
                continue;
            }
            // A node the visitor has no method for, and whose fields can be
            // read as this node's were, is gone into; anything else stops.
            ClassFacts* cf = issubclass_of_ast(Py_TYPE(child), {ast_, expr_}) ? known_facts(Py_TYPE(child)) : nullptr;
            const bool known =
                cf && cf->method &&
                ((by_epoch ? cf->epoch == epoch : cf->road_for == self_type && cf->road_for_tag == self_tag) ||
                 quiet_road(*cf));
            const bool constant = known && cf->road == ClassFacts::Road::Constant;
            bool entered = false;
            if (known && (cf->road == ClassFacts::Road::Descend || constant) &&
                levels_.size() < room && (entered = enter(child, transform)) && (!constant || quiet_constant()))
                continue;
            if (entered) levels_.pop_back();
            if (levels_.back().list) --levels_.back().i;
            return stop();
        }
        Frame& f = stack_.back();
        f.started = true;
        f.fields = Strong::borrowed(root->fields);
        f.next_field = PyTuple_GET_SIZE(root->fields);
    }


    // Whether the base class's visit_Constant comes to the descent for the
    // Constant just entered: its value's deprecated method, if it has one,
    // is known to be missing from the visitor in this epoch.
    bool quiet_constant() const {
        const Level& l = levels_.back();
        if (l.facts->value_at < 0) return false;
        PyObject* value = l.entries[l.facts->value_at].value;
        PyObject* method = nullptr;
        if (Py_IS_TYPE(value, &PyBool_Type) || value == Py_None)
            method = w_[W_NAMECONSTANT];
        else if (Py_IS_TYPE(value, &PyLong_Type) || Py_IS_TYPE(value, &PyFloat_Type) || Py_IS_TYPE(value, &PyComplex_Type))
            method = w_[W_NUM];
        else if (Py_IS_TYPE(value, &PyUnicode_Type))
            method = w_[W_STR];
        else if (Py_IS_TYPE(value, &PyBytes_Type))
            method = w_[W_BYTES];
        else if (value == Py_Ellipsis)
            method = w_[W_ELLIPSIS];
        else
            return is_leaf(value);  // a tuple: none of the classes asked for
        const unsigned bit = 1u << (method_index(method));
        return constant_epoch_ == epoch_ && (constant_known_ & bit) && !(constant_has_ & bit);
    }

    size_t method_index(PyObject* method) const noexcept {
        size_t k = 0;
        while (w_[W_NAMECONSTANT + k] != method) ++k;
        return k;
    }

    // Pushes a sprint level for `node` when its fields can be read from its
    // dict's first entries: the very names of `_fields`, in order, and no
    // other key that is `_fields`.
    bool enter(PyObject* node, bool transform) {
        const ClassFacts* cf = known_facts(Py_TYPE(node));
        if (!cf || !cf->sprint || (transform && !cf->quiet_set)) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(cf->fields);
        const DictEntry* entries = nullptr;
        if (PyObject* dict = get_instance_dict_fast(node)) {
            const EntryView view = unicode_entries(dict);
            if (!view.ok || view.count < n) return false;
            for (Py_ssize_t j = 0; j < n; ++j)
                if (view.entries[j].key != PyTuple_GET_ITEM(cf->fields, j)) return false;
            for (Py_ssize_t k = n; k < view.count; ++k)
                if (PyObject* key = view.entries[k].key; key && compat::str_hash(key) == fields_hash_) return false;
            entries = view.entries;
        } else if (n) {
            return false;
        }
        levels_.push_back({node, cf, entries, n, 0, nullptr, 0, transform});
        return true;
    }

    // Turns the sprint's levels into frames that stand where it stopped:
    // the last one before its field or item now due, the others after the
    // one each is in, as if the general road had come this far.
    void stop() {
        const size_t base = stack_.size() - 1;
        for (size_t k = 0; k < levels_.size(); ++k) {
            const Level& l = levels_[k];
            const bool last = k + 1 == levels_.size();
            if (k > 0) stack_.emplace_back(Strong::borrowed(l.node), l.transform);
            Frame& f = stack_.back();
            f.started = true;
            f.fields = Strong::borrowed(l.facts->fields);
            f.bare = l.facts->bare;
            f.known = Py_TYPE(l.node);
            f.known_tag = l.facts->tag;
            f.next_field = last && !l.list ? l.j : l.j + 1;
            if (l.list) {
                f.list = Strong::borrowed(l.list);
                f.next_item = l.i;
            } else if (!last) {
                f.field = Strong::borrowed(PyTuple_GET_ITEM(l.facts->fields, l.j));
            }
        }
        // A transformer's new list holds the items before the one visited
        // or due, as they were. Made last: making it may run a collection,
        // and a finalizer another visitor, which would use the levels.
        for (size_t k = base; k < stack_.size(); ++k) {
            Frame& f = stack_[k];
            if (!f.transform || !f.list) continue;
            const Py_ssize_t kept = k + 1 == stack_.size() ? f.next_item : f.next_item - 1;
            f.new_values = Strong::own(PyList_GetSlice(f.list.as_ptr(), 0, kept));
        }
    }

    // ast's warning, from where ast gives it: the caller of visit_Constant,
    // which is the line of ast's NodeVisitor.visit that calls the method
    // when this module's visit stands in for it. The filters and the
    // once-only registry see the same place.
    void warn_deprecated(PyObject* method, bool from_visit) {
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
        const int line = PyCode_Addr2Line(code, static_cast<int>(PyBytes_GET_SIZE(bytes.as_ptr())) - 2);
        Strong fresh = Strong::own(PyDict_New());
        Strong registry = Strong::borrowed(check(PyDict_SetDefault(globals, w_[W_REGISTRY], fresh.as_ptr())));
        PyObject* module = PyDict_GetItemWithError(globals, w_[W_NAME]);
        if (!module && PyErr_Occurred()) throw_py();
        Strong module_name = module ? Strong::borrowed(module) : Strong::own(PyUnicode_FromString("<string>"));
        check_status(PyErr_WarnExplicitObject(PyExc_DeprecationWarning, message.as_ptr(), code->co_filename, line,
                                              module_name.as_ptr(), registry.as_ptr()));
    }

    // Whether letting go of `o` frees it. A finalizer, of it or of what it
    // holds, may run any code, so the visitor is looked at again after.
    static bool last_reference(const Strong& o) noexcept { return o && Py_REFCNT(o.as_ptr()) == 1; }

    // The stack is the path from the root: a node on it twice is its own
    // descendant, and the descent would never end. Looked for past a depth
    // that no parsed tree reaches, and at every doubling after.
    void check_path(const std::vector<Frame>& stack) {
        next_cycle_check_ *= 2;
        std::unordered_set<uintptr_t, PointerHasher> seen;
        for (const Frame& f : stack)
            if (!seen.insert(reinterpret_cast<uintptr_t>(f.node.as_ptr())).second)
                throw_error(PyExc_RecursionError,
                            "the tree has a cycle: a node is reachable from itself through its fields");
    }

    // `self.<name>`: this module's method bound to `self` (then `obj` may be
    // null: the class has it and the instance does not, and making the bound
    // method is all that reading it would do), or the object read.
    struct Bound {
        Strong obj;
        Ours ours = Ours::None;
    };

    Bound resolve(PyObject* name) {
        Strong obj = get_attr(self_, name);
        Ours o = bound_ours(mine_, self_, obj.as_ptr());
        return {std::move(obj), o};
    }

    // Whether getattr(self, name) finds anything, for a name that the
    // visitor's class does not have: then only the instance can, and
    // reading it runs no code. The instance dict is never made for this:
    // a visitor whose attributes live in the object itself keeps them there.
    bool instance_has(PyObject* name) {
        Strong found = optional_attr(self_, name);
        const bool has = static_cast<bool>(found);
        drop_read(std::move(found));
        return has;
    }

    // Before a read that runs Python code: what the descent let go of is
    // freed first, as ast frees a field value or list item it passes over,
    // rather than piling up until the next visit.
    void python_runs() {
        python_ran_ = true;
        scope_->release_waiting();
    }

    // callable(arg), made by the driving Python frame, so that a visitor
    // method calling back in nests Python frames only.
    Outcome call(Strong callable, PyObject* arg) {
        python_ran_ = true;
        // Python code runs next anyway: what waits to be freed goes first,
        // so that a long descent keeps no more memory than ast's would.
        scope_->release_waiting();
        return {std::move(callable), Strong::borrowed(arg), Ours::None, Strong()};
    }

    Outcome generic(Bound gv, PyObject* node) {
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

    // 'visit_' + node.__class__.__name__
    Strong method_name(PyObject* node) {
        if (PyObject* m = facts(Py_TYPE(node)).method) return Strong::borrowed(m);
        Strong cls = get_attr(node, w_[W_CLASS]);
        Strong name = get_attr(cls.as_ptr(), w_[W_NAME]);
        return Strong::own(PyNumber_Add(w_[W_PREFIX], name.as_ptr()));
    }

    // The deprecated method that visit_Constant tries for a value.
    PyObject* constant_method(PyObject* value) {
        const struct {
            PyTypeObject* type;
            Word method;
        } NAMES[] = {
            // bool before int, as isinstance would find int for a bool.
            {&PyBool_Type, W_NAMECONSTANT}, {Py_TYPE(Py_None), W_NAMECONSTANT}, {&PyLong_Type, W_NUM},
            {&PyFloat_Type, W_NUM},         {&PyComplex_Type, W_NUM},           {&PyUnicode_Type, W_STR},
            {&PyBytes_Type, W_BYTES},       {&PyEllipsis_Type, W_ELLIPSIS},
        };
        for (const auto& n : NAMES)
            if (Py_IS_TYPE(value, n.type)) return w_[n.method];
        for (const auto& n : NAMES)
            if (is_instance(value, n.type)) return w_[n.method];
        return nullptr;
    }

    // isinstance(v, cls), for a class whose metaclass is `type`.
    bool is_instance(PyObject* v, PyTypeObject* cls) {
        // A parser class's base, or its base's, is AST or expr.
        if (cls == ast_ && issubclass_of_ast(Py_TYPE(v), {ast_, expr_})) return true;
        if (PyObject_TypeCheck(v, cls)) return true;
        if (is_leaf(v) || facts(Py_TYPE(v)).plain) return false;
        python_ran_ = true;
        return check_status(PyObject_IsInstance(v, reinterpret_cast<PyObject*>(cls))) != 0;
    }

    [[gnu::always_inline]] ClassFacts& facts(PyTypeObject* t) {
        if (ClassFacts* e = known_facts(t)) [[likely]]
            return *e;
        return learn(t);
    }

    static size_t slot_of(PyTypeObject* t) noexcept {
        return ((reinterpret_cast<uintptr_t>(t) >> 4) * 0x9E3779B97F4A7C15ull) >> 55;
    }

    static bool holds(const ClassFacts& e, PyTypeObject* t) noexcept {
        return e.tag != 0 && e.tag == compat::version_tag(t) &&
               (!e.name || e.name == reinterpret_cast<PyHeapTypeObject*>(t)->ht_name);
    }

    // The facts of `t` when they are known and hold, else null; learning
    // nothing, it runs no code. A class is in the first free way of its
    // slot or a later one, and never in two.
    [[gnu::always_inline]] ClassFacts* known_facts(PyTypeObject* t) noexcept {
        const size_t base = slot_of(t);
        ClassFacts& first = memo_->entries[base];
        if (first.type == t) [[likely]]
            return holds(first, t) ? &first : nullptr;
        for (size_t k = 1; first.type && k < ClassMemo::WAYS; ++k) {
            ClassFacts& e = memo_->entries[(base + k) % ClassMemo::SLOTS];
            if (e.type == t) return holds(e, t) ? &e : nullptr;
            if (!e.type) return nullptr;
        }
        return nullptr;
    }

    // Where facts of `t` are to be kept: its own way, a free one, or the
    // next to be evicted in turn.
    ClassFacts& place(PyTypeObject* t) noexcept {
        ClassMemo& m = *memo_;
        const size_t base = slot_of(t);
        ClassFacts* free = nullptr;
        for (size_t k = 0; k < ClassMemo::WAYS; ++k) {
            ClassFacts& e = m.entries[(base + k) % ClassMemo::SLOTS];
            if (e.type == t) return e;
            if (!e.type && !free) free = &e;
        }
        if (free) return *free;
        return m.entries[(base + m.next_victim++ % ClassMemo::WAYS) % ClassMemo::SLOTS];
    }

    // Made apart and stored at the end: a collection while the name is
    // made may run a visitor that uses the same slot.
    ClassFacts& learn(PyTypeObject* t) {
        ClassFacts e;
        PyObject* cls_name = w_[W_CLASS];
        bool plain = t->tp_getattro == PyObject_GenericGetAttr &&
                     _PyType_Lookup(t, cls_name) == _PyType_Lookup(&PyBaseObject_Type, cls_name);
        PyObject* method = nullptr;
        PyObject* name = nullptr;
        // type.__name__ of a heap class whose metaclass is `type` is ht_name.
        if (plain && Py_IS_TYPE(t, &PyType_Type) && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            name = reinterpret_cast<PyHeapTypeObject*>(t)->ht_name;
            method = kept_method_name(state_, w_[W_PREFIX], name);
        }
        // Making the name may have run a collection; what follows runs no code.
        plain = t->tp_getattro == PyObject_GenericGetAttr &&
                _PyType_Lookup(t, cls_name) == _PyType_Lookup(&PyBaseObject_Type, cls_name);
        e.plain = plain;
        e.method = plain ? method : nullptr;
        if (e.method) e.name = name;
        if (plain) {
            PyObject* fields = _PyType_Lookup(t, w_[W_FIELDS]);
            if (fields && PyTuple_CheckExact(fields)) {
                e.fields = fields;
                e.dict_fields = t->tp_dictoffset > 0;
                const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(fields), 64);
                for (Py_ssize_t j = 0; j < n; ++j) {
                    PyObject* f = PyTuple_GET_ITEM(fields, j);
                    if (!PyUnicode_CheckExact(f)) continue;
                    PyObject* d = _PyType_Lookup(t, f);
                    if (!d || !Py_TYPE(d)->tp_descr_get) e.bare |= uint64_t{1} << j;
                }
                e.sprint = e.dict_fields && PyTuple_GET_SIZE(fields) <= 64;
                e.quiet_set = t->tp_setattro == PyObject_GenericSetAttr;
                for (Py_ssize_t j = 0; j < n && e.sprint; ++j) {
                    PyObject* f = PyTuple_GET_ITEM(fields, j);
                    e.sprint = ((e.bare >> j) & 1) && PyUnicode_CheckExact(f) && PyUnicode_Compare(f, w_[W_FIELDS]) != 0;
                    PyObject* d = e.sprint ? _PyType_Lookup(t, f) : nullptr;
                    if (d && Py_TYPE(d)->tp_descr_set) e.quiet_set = false;
                    if (PyTuple_GET_ITEM(fields, j) == w_[W_VALUE] && !d) e.value_at = static_cast<int8_t>(j);
                }
            }
        }
        e.type = t;
        e.tag = compat::version_tag(t);  // the lookups above gave it one
        ClassFacts& slot = place(t);
        slot = e;
        return slot;
    }

    // Whether a node's dict (a readable one: see instance_dict) holds its
    // own `_fields`, which no parsed node does.
    bool shadows_fields(PyObject* dict) const {
        const EntryView view = unicode_entries(dict);
        if (view.ok && view.count <= 16) return scan_unicode(view, w_[W_FIELDS]) != nullptr;
        return lookup_field(dict, 0, w_[W_FIELDS]) != nullptr;
    }

    // The node's instance dict, or null; `ok` false when looking a str up
    // in it may run code: a key that is not a str is compared by its __eq__.
    static PyObject* instance_dict(PyObject* node, bool& ok) noexcept {
        PyObject* dict = get_instance_dict_fast(node);
        ok = !dict || reinterpret_cast<PyDictObject*>(dict)->ma_values ||
             keys_of(dict)->dk_kind != compat::DICT_KEYS_GENERAL;
        return dict;
    }

    // What the visitor's class and instance allow, looked at again when
    // the class changed or Python code ran.
    void refresh() {
        // A node the descent let go of is freed here, as ast frees it before
        // it visits on: its finalizer may change the visitor.
        if (scope_->has_waiting()) [[unlikely]] {
            scope_->release_waiting();
            python_ran_ = true;
        }
        PyTypeObject* t = Py_TYPE(self_);
        if (self_tag_ == 0 || self_tag_ != compat::version_tag(t)) {
            learn_self(t);
            python_ran_ = true;
        }
        if (!python_ran_) return;
        python_ran_ = false;
        epoch_ = memo_->next_epoch++;
        instance_clean_ = false;
        instance_methods_ = true;
        lookups_quiet_ = false;
        if (!self_fast_ || !is_generic(self_generic_)) return;
        if (scan_instance()) {
            // The instance's names are exact str: only the classes' dicts
            // could hold a key whose comparison runs code.
            lookups_quiet_ = class_lookups_quiet();
            return;
        }
        // With the class's methods found first, these reads run no code.
        Strong v = optional_attr(self_, w_[W_VISIT]);
        const bool visit_ours = v && bound_ours(mine_, self_, v.as_ptr()) == Ours::Visit;
        drop_read(std::move(v));
        if (!visit_ours) return;
        Strong g = optional_attr(self_, w_[W_GENERIC_VISIT]);
        const bool generic_ours = g && bound_ours(mine_, self_, g.as_ptr()) == self_generic_;
        drop_read(std::move(g));
        instance_clean_ = generic_ours;
        lookups_quiet_ = generic_ours && !compat::MAKE_INSTANCE_DICT && instance_lookups_quiet() && class_lookups_quiet();
    }

    // Whether no dict that looking a name up on the visitor reads has a
    // key other than an exact str, whose __eq__ the lookup would call:
    // while none has, the lookups run no code. The visitor's class's dict
    // and its bases', then the instance's.
    static bool only_str_keys(PyObject* dict) noexcept {
        if (!dict || keys_of(dict)->dk_kind != compat::DICT_KEYS_GENERAL) return true;
        if (PyDict_GET_SIZE(dict) > 256) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    bool class_lookups_quiet() const noexcept {
        PyObject* mro = Py_TYPE(self_)->tp_mro;
        if (!mro || !PyTuple_CheckExact(mro)) return false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
            auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
            // Built-in classes' dicts are not changed by Python code.
            if ((t->tp_flags & Py_TPFLAGS_HEAPTYPE) && !only_str_keys(t->tp_dict)) return false;
        }
        return true;
    }

    bool instance_lookups_quiet() const noexcept {
        bool ok = false;
        PyObject* dict = compat::existing_instance_dict(self_, ok);
        return ok && only_str_keys(dict);
    }

    // After looking a name up on the visitor: the lookup may have run code.
    void lookups_ran() noexcept {
        if (!lookups_quiet_) python_ran_ = true;
    }

    // Whether the visitor's class calls this module's visit and which
    // generic_visit it has, from the memo while the class keeps its tag.
    void learn_self(PyTypeObject* t) {
        ClassMemo& m = *memo_;
        const unsigned int tag = compat::version_tag(t);
        if (tag == 0 || m.visitor_type != t || m.visitor_tag != tag) {
            m.visitor_type = nullptr;  // until the lookups below are done
            const bool fast = t->tp_getattro == PyObject_GenericGetAttr &&
                              function_ours(mine_, _PyType_Lookup(t, w_[W_VISIT])) == Ours::Visit;
            const Ours generic = function_ours(mine_, _PyType_Lookup(t, w_[W_GENERIC_VISIT]));
            m.visitor_fast = fast;
            m.visitor_generic = generic;
            m.visitor_tag = compat::version_tag(t);  // the lookups gave it one
            m.visitor_type = m.visitor_tag ? t : nullptr;
            self_fast_ = fast;
            self_generic_ = generic;
            self_tag_ = m.visitor_tag;
            return;
        }
        self_fast_ = m.visitor_fast;
        self_generic_ = m.visitor_generic;
        self_tag_ = tag;
    }

    // Reads the instance's attribute names, when that settles what getattr
    // would find on the instance: `visit` and `generic_visit` or not, and
    // any `visit_` name or none. From its dict, or where no dict was made
    // for it, from the names its attributes can have.
    bool scan_instance() {
        PyObject* dict = nullptr;
        if constexpr (compat::MAKE_INSTANCE_DICT) {
            PyObject** slot = _PyObject_GetDictPtr(self_);
            if (!slot) {
                if (PyErr_Occurred()) throw_py();
                if (Py_TYPE(self_)->tp_flags & Py_TPFLAGS_MANAGED_DICT) return false;  // not made
                return settle_instance(false);  // no dict: slots are class attributes
            }
            dict = *slot;
            if (!dict) return settle_instance(false);
        } else {
            bool ok = false;
            dict = compat::existing_instance_dict(self_, ok);
            if (!ok) return false;
        }
        if (!dict) {
            const compat::DictKeys* keys = nullptr;
            if (!compat::inline_attribute_keys(self_, keys)) return false;
            const Py_ssize_t n = keys ? keys->dk_nentries : 0;
            if (n > 64) return false;
            bool methods = false;
            for (Py_ssize_t k = 0; k < n; ++k) {
                const AttrName kind = name_kind(entries_ptr(keys)[k].key);
                if (kind == AttrName::Unknown || kind == AttrName::Own) return kind == AttrName::Own;
                methods |= kind == AttrName::Method;
            }
            return settle_instance(methods);
        }
        if (PyDict_GET_SIZE(dict) > 64) return false;
        // Settled only by the whole dict: a key met later may be any name.
        bool methods = false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            const AttrName kind = name_kind(key);
            if (kind == AttrName::Unknown || kind == AttrName::Own) return kind == AttrName::Own;
            methods |= kind == AttrName::Method;
        }
        return settle_instance(methods);
    }

    bool settle_instance(bool methods) noexcept {
        instance_methods_ = methods;
        instance_clean_ = true;
        return true;
    }

    // What an attribute name of the instance means to the descent: `visit`
    // or `generic_visit` (Own: the instance is not clean), a `visit_` name,
    // another, or one that is no exact str (Unknown: not settled).
    enum class AttrName : uint8_t { Other, Method, Own, Unknown };
    AttrName name_kind(PyObject* key) const {
        if (!key) return AttrName::Other;  // a slot of a shared table no instance filled
        if (!PyUnicode_CheckExact(key)) return AttrName::Unknown;
        // Every name looked for starts with "visit" or "generic_visit".
        const Py_UCS4 first = PyUnicode_GET_LENGTH(key) ? PyUnicode_READ_CHAR(key, 0) : 0;
        if (first != 'v' && first != 'g') return AttrName::Other;
        if (PyUnicode_Compare(key, w_[W_VISIT]) == 0 || PyUnicode_Compare(key, w_[W_GENERIC_VISIT]) == 0)
            return AttrName::Own;
        return PyUnicode_Tailmatch(key, w_[W_PREFIX], 0, PY_SSIZE_T_MAX, -1) == 1 ? AttrName::Method : AttrName::Other;
    }

    // self.visit(node), inside a descent.
    Outcome visit(PyObject* node) {
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

    void set_road(ClassFacts& f, ClassFacts::Road r, PyObject* function = nullptr) noexcept {
        f.road = r;
        f.function = function;
        // A class without a version tag has nothing to key a road by.
        const bool class_only = !instance_methods_ && self_tag_ != 0;
        f.epoch = class_only ? 0 : epoch_;
        f.road_for = class_only ? Py_TYPE(self_) : nullptr;
        f.road_for_tag = self_tag_;
    }

    // The road of `f`, found inside a sprint when finding it makes nothing:
    // no bound method of the base class's visit_Constant. Otherwise false.
    [[gnu::noinline]] bool quiet_road(ClassFacts& f) {
        if (!lookups_quiet_) return false;
        PyObject* found = _PyType_Lookup(Py_TYPE(self_), f.method);
        if (found && function_ours(mine_, found) == Ours::VisitConstant) return false;
        if (found) {
            const ClassFacts::Road r = found_road(found);
            set_road(f, r, r == ClassFacts::Road::Function ? found : nullptr);
            return true;
        }
        // Looking a name up in the instance raises nothing when it is missing.
        set_road(f, instance_methods_ && instance_has(f.method) ? ClassFacts::Road::Read : ClassFacts::Road::Descend);
        return true;
    }

    bool road_known(const ClassFacts& f) const noexcept {
        if (instance_methods_ || self_tag_ == 0) return f.epoch == epoch_;
        return f.road_for == Py_TYPE(self_) && f.road_for_tag == self_tag_;
    }

    // What getattr(self, method) gives, while neither the visitor's class
    // nor (no code having run) its instance changes: nothing, so visit's
    // default, generic_visit, is called; the base class's visit_Constant;
    // or something to read and call.
    std::pair<ClassFacts::Road, PyObject*> road(PyObject* method) {
        lookups_ran();
        PyObject* found = _PyType_Lookup(Py_TYPE(self_), method);
        if (!found)
            return {instance_methods_ && instance_has(method) ? ClassFacts::Road::Read : ClassFacts::Road::Descend,
                    nullptr};
        if (function_ours(mine_, found) != Ours::VisitConstant) {
            const ClassFacts::Road r = found_road(found);
            return {r, r == ClassFacts::Road::Function ? found : nullptr};
        }
        Strong m = optional_attr(self_, method);
        const bool ours = m && bound_ours(mine_, self_, m.as_ptr()) == Ours::VisitConstant;
        drop_read(std::move(m));
        return {ours ? ClassFacts::Road::Constant : ClassFacts::Road::Read, nullptr};
    }

    // For a method found on the visitor's class: a plain function that the
    // instance cannot shadow, found by lookups that ran no code, is called
    // as it is; anything else is read.
    ClassFacts::Road found_road(PyObject* found) const noexcept {
        // Only a class with a version tag tells when the function may have gone.
        const bool plain = PyFunction_Check(found) && !instance_methods_ && lookups_quiet_ && self_tag_ != 0;
        return plain ? ClassFacts::Road::Function : ClassFacts::Road::Read;
    }

    // visit_Constant where no deprecated method is anywhere: the descent.
    Outcome plain_constant(PyObject* node) {
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

    // Whether the visitor has one of the deprecated constant methods: found
    // once in an epoch, since most nodes that get here are constants.
    bool has_constant_method(PyObject* method) {
        const unsigned bit = 1u << method_index(method);
        if (constant_epoch_ != epoch_) {
            constant_epoch_ = epoch_;
            constant_known_ = 0;
        }
        if (!(constant_known_ & bit)) {
            lookups_ran();
            const bool has = _PyType_Lookup(Py_TYPE(self_), method) || (instance_methods_ && instance_has(method));
            constant_known_ |= bit;
            constant_has_ = has ? (constant_has_ | bit) : (constant_has_ & ~bit);
        }
        return constant_has_ & bit;
    }

    // The next field name of `f.node._fields`; null at the end.
    Strong next_field(Frame& f) {
        if (f.field_iter) {
            python_runs();
            PyObject* raw = nullptr;
            if (check_status(compat::iter_next(f.field_iter.as_ptr(), &raw)) == 0) return {};
            return Strong::own(raw);
        }
        if (f.next_field >= PyTuple_GET_SIZE(f.fields.as_ptr())) return {};
        return Strong::borrowed(PyTuple_GET_ITEM(f.fields.as_ptr(), f.next_field++));
    }

    void start(Frame& f) {
        f.started = true;
        PyObject* node = f.node.as_ptr();
        PyTypeObject* t = Py_TYPE(node);
        ClassFacts& facts_of = facts(t);
        if (facts_of.fields && facts_of.dict_fields) {
            bool ok = false;
            PyObject* dict = instance_dict(node, ok);
            if (ok && (!dict || !shadows_fields(dict))) {
                f.fields = Strong::borrowed(facts_of.fields);
                f.bare = facts_of.bare;
                f.known = t;
                f.known_tag = facts_of.tag;
                return;
            }
        }
        python_ran_ = true;
        f.fields = get_attr(node, w_[W_FIELDS]);
        if (!PyTuple_CheckExact(f.fields.as_ptr())) f.field_iter = Strong::own(PyObject_GetIter(f.fields.as_ptr()));
    }

    // getattr(node, name) for field `j`; null when missing.
    Strong field_value(Frame& f, Py_ssize_t j, PyObject* name) {
        PyObject* node = f.node.as_ptr();
        if (j < 64 && (f.bare >> j) & 1) {
            bool ok = false;
            PyObject* dict = instance_dict(node, ok);
            if (ok && Py_TYPE(node) == f.known && compat::version_tag(f.known) == f.known_tag) {
                PyObject* v = dict ? lookup_field(dict, static_cast<size_t>(j), name) : nullptr;
                if (!v) v = _PyType_Lookup(f.known, name);
                return v ? Strong::borrowed(v) : Strong();
            }
            f.bare = 0;
        }
        python_runs();
        return optional_attr(node, name);
    }

    // The next child to visit, reading fields and list items as the
    // standard generic_visit does, when it gets to them; null at the end.
    Strong next_child(Frame& f) {
        if (!f.started) start(f);
        for (;;) {
            if (f.list) {
                if (Strong item = next_item(f)) {
                    if (is_instance(item.as_ptr(), ast_)) return item;
                    if (f.transform) check_status(PyList_Append(f.new_values.as_ptr(), item.as_ptr()));
                    continue;
                }
                if (f.transform) replace_items(f.list.as_ptr(), f.new_values.as_ptr());
                if (last_reference(f.list) || last_reference(f.items)) python_ran_ = true;
                f.list = Strong();
                f.items = Strong();
                f.new_values = Strong();
            }
            const Py_ssize_t j = f.next_field;
            Strong name = next_field(f);
            if (!name) return {};
            Strong value = field_value(f, j, name.as_ptr());
            if (!value) continue;
            PyObject* v = value.as_ptr();
            // isinstance(v, list), then isinstance(v, AST)
            bool list = PyList_Check(v);
            if (!list && !is_leaf(v) && !facts(Py_TYPE(v)).plain) {
                python_ran_ = true;
                list = check_status(PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyList_Type))) != 0;
            }
            if (list) {
                if (f.transform) f.new_values = Strong::own(PyList_New(0));
                if (!PyList_CheckExact(v)) f.items = Strong::own(PyObject_GetIter(v));
                f.next_item = 0;
                f.list = std::move(value);
                continue;
            }
            if (is_instance(v, ast_)) {
                f.field = std::move(name);
                return value;
            }
        }
    }

    // `for item in value`: an exact list by index, as its iterator does.
    Strong next_item(Frame& f) {
        if (!f.items) {
            PyObject* list = f.list.as_ptr();
            if (f.next_item < PyList_GET_SIZE(list)) return Strong::borrowed(PyList_GET_ITEM(list, f.next_item++));
            f.next_item = PY_SSIZE_T_MAX;
            return {};
        }
        python_runs();
        PyObject* raw = nullptr;
        if (check_status(compat::iter_next(f.items.as_ptr(), &raw)) == 0) return {};
        return Strong::own(raw);
    }

    // old_value[:] = new_values
    void replace_items(PyObject* list, PyObject* values) {
        if (PyList_CheckExact(list)) {
            // An item that only the list holds is freed.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && !python_ran_; ++i)
                python_ran_ = Py_REFCNT(PyList_GET_ITEM(list, i)) == 1;
            check_status(PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, values));
            return;
        }
        python_ran_ = true;
        Strong all = Strong::own(PySlice_New(nullptr, nullptr, nullptr));
        check_status(PyObject_SetItem(list, all.as_ptr(), values));
    }

    // Whether setting field `name` of `f.node` to `r` frees the value it
    // replaces, or may run code otherwise (where that is not known).
    bool replaced_is_freed(const Frame& f, const Strong& name, const Strong& r) {
        PyObject* node = f.node.as_ptr();
        const Py_ssize_t j = f.next_field - 1;
        if (f.field_iter || j < 0 || j >= 64 || !((f.bare >> j) & 1) || Py_TYPE(node) != f.known ||
            compat::version_tag(f.known) != f.known_tag)
            return true;
        // A class attribute that sets (with or without a getter) runs code.
        if (PyObject* d = _PyType_Lookup(f.known, name.as_ptr()); d && Py_TYPE(d)->tp_descr_set) return true;
        bool ok = false;
        PyObject* dict = instance_dict(node, ok);
        if (!ok) return true;
        PyObject* old = dict ? lookup_field(dict, static_cast<size_t>(j), name.as_ptr()) : nullptr;
        return !old || (old != r.as_ptr() && Py_REFCNT(old) == 1);
    }

    // What NodeTransformer.generic_visit does with what visiting a child gave.
    void take_result(Frame& f, Strong r) {
        if (!f.transform) return;
        if (f.list) {
            if (r.as_ptr() == Py_None) return;
            if (!is_instance(r.as_ptr(), ast_)) {
                python_ran_ = true;
                Strong done = Strong::own(PyObject_CallMethodOneArg(f.new_values.as_ptr(), w_[W_EXTEND], r.as_ptr()));
                return;
            }
            check_status(PyList_Append(f.new_values.as_ptr(), r.as_ptr()));
            return;
        }
        Strong field = std::move(f.field);
        if (Py_TYPE(f.node.as_ptr())->tp_setattro != PyObject_GenericSetAttr || replaced_is_freed(f, field, r))
            python_ran_ = true;
        if (r.as_ptr() == Py_None)
            check_status(PyObject_DelAttr(f.node.as_ptr(), field.as_ptr()));
        else
            check_status(PyObject_SetAttr(f.node.as_ptr(), field.as_ptr(), r.as_ptr()));
    }

    PyObject* self_;
    Strong self_ref_;
    Strong root_;
    Ours kind_;
    ModuleState& state_;
    OwnMethods mine_;
    Phase phase_ = Phase::Start;
    Strong result_;  // the due call's result, then the call's
    StateScope* scope_ = nullptr;  // the running step's
    Outcome pending_;
    std::vector<Frame> stack_;
    Py_hash_t fields_hash_;
    PyTypeObject* ast_;
    PyTypeObject* expr_;
    PyObject* w_[WORD_COUNT];
    unsigned int self_tag_ = 0;
    bool self_fast_ = false;
    Ours self_generic_ = Ours::None;
    bool python_ran_ = true;
    uint64_t epoch_ = 0;
    uint64_t constant_epoch_ = 0;
    unsigned constant_known_ = 0, constant_has_ = 0;  // bit k: the k-th deprecated method
    bool instance_clean_ = false;
    bool instance_methods_ = true;  // the instance may hold visit_ names
    bool lookups_quiet_ = false;    // looking names up on the visitor runs no code
    std::shared_ptr<ClassMemo> memo_;
    std::vector<Level>& levels_;  // the thread's, for the running sprint
    size_t next_cycle_check_ = size_t{1} << 17;
};

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
        if (EXITING_INTERPRETERS.load(std::memory_order_relaxed) != 0 && !thread_may_release()) return;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

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
            if (d->busy) throw_error(PyExc_ValueError, "the visitor's descent is already running");
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
        Outcome out = v.step(scope);
        PyObject*& pair = as_descent(o)->last_call;
        if (pair && (!out.callee || !compat::uniquely_held(pair)))
            Strong::own_or_null(std::exchange(pair, nullptr));  // let go of at once
        if (!out.callee) return nullptr;  // the end: StopIteration
        PyObject* second = out.second ? out.second.as_ptr() : Py_None;
        if (!pair) {
            pair = check(PyTuple_Pack(3, out.callee.as_ptr(), out.arg.as_ptr(), second));
            return Py_NewRef(pair);
        }
        // The old items go as the scope lets them: freeing one may run code.
        Strong old[] = {Strong::own_or_null(PyTuple_GET_ITEM(pair, 0)), Strong::own_or_null(PyTuple_GET_ITEM(pair, 1)),
                        Strong::own_or_null(PyTuple_GET_ITEM(pair, 2))};
        PyTuple_SET_ITEM(pair, 0, out.callee.release());
        PyTuple_SET_ITEM(pair, 1, out.arg.release());
        PyTuple_SET_ITEM(pair, 2, Py_NewRef(second));
        compat::tuple_refilled(pair);
        if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
        return Py_NewRef(pair);
    });
}

PyObject* descent_put(PyObject* o, PyObject* r) {
    return descent_entry(o, [r](Visitor& v, StateScope&) -> PyObject* {
        v.put(Strong::borrowed(r));
        return Py_NewRef(Py_None);
    });
}

PyObject* descent_result(PyObject* o, PyObject*) {
    PyObject* r = descent_entry(o, [](Visitor& v, StateScope&) -> PyObject* { return v.result().release(); });
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

PyType_Slot DESCENT_SLOTS[] = {
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&descent_next)},
    {Py_tp_methods, DESCENT_METHODS},
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
        for callee, arg, second in calls:
            calls.put(callee(arg) if second is None else callee(arg, second))
        return calls.result()

    def generic_visit(self, node):
        """Called if no explicit visitor function exists for a node."""
        # None: the descent needed no Python call. Results are handed back:
        # on a transformer, the nodes below are transformed.
        calls = _descent(self, node, 2)
        if calls is not None:
            for callee, arg, second in calls:
                if second is None:
                    callee(arg)
                else:
                    callee(arg, second)

    if _CONSTANT_FALLBACK:
        def visit_Constant(self, node):
            calls = _descent(self, node, 4)
            for callee, arg, second in calls:
                calls.put(callee(arg) if second is None else callee(arg, second))
            return calls.result()


class NodeTransformer(NodeVisitor):
    """A `NodeVisitor` subclass that walks the abstract syntax tree and allows
modification of nodes, as `ast.NodeTransformer` does."""

    def generic_visit(self, node):
        """Called if no explicit visitor function exists for a node."""
        calls = _descent(self, node, 3)
        if calls is not None:
            for callee, arg, second in calls:
                calls.put(callee(arg) if second is None else callee(arg, second))
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
