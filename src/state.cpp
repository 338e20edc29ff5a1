#include "state.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>
#include <vector>

namespace qw {

namespace {

// Generations are never reused, so a thread's caches can never be taken for
// those of a later state that happens to get the same address.
std::atomic<uint64_t> NEXT_GENERATION{1};

uint64_t next_generation() noexcept { return NEXT_GENERATION.fetch_add(1, std::memory_order_relaxed); }

struct CacheSlot {
    uint64_t generation;
    std::weak_ptr<const uint64_t> alive;
    std::unique_ptr<ThreadCaches> caches;
};

// Freed at thread exit with no interpreter lock needed: the caches own no
// references.
thread_local std::vector<CacheSlot> THREAD_CACHES;

constexpr const char* NAME_TEXT[NAME_COUNT] = {"parent", "lineno", "col_offset", "end_lineno", "end_col_offset"};

}  // namespace

std::atomic<int> EXITING_INTERPRETERS{0};

namespace {
constinit thread_local ThreadLocals THREAD;
}  // namespace

ThreadLocals* thread_locals() noexcept { return &THREAD; }

ModuleState::ModuleState() : generation_(next_generation()) {}

ModuleState::~ModuleState() {
    clear();  // state_free cleared it already: nothing is released here
    if (counted_exiting_ && !of_main_interpreter_) EXITING_INTERPRETERS.fetch_sub(1);
}

void ModuleState::note_exit() noexcept {
    if (counted_exiting_) return;
    counted_exiting_ = true;
    of_main_interpreter_ = PyInterpreterState_Get() == PyInterpreterState_Main();
    EXITING_INTERPRETERS.fetch_add(1);
}

BaseTypes ModuleState::resolve_base_types_now() {
    const BaseTypes b = get_base_ast_type();
    keep(reinterpret_cast<PyObject*>(b.ast));
    keep(reinterpret_cast<PyObject*>(b.expr));
    base_ = b;
    return b;
}

PyObject* ModuleState::name(Name n) {
    PyObject*& cell = names_[static_cast<size_t>(n)];
    if (cell) [[likely]]
        return cell;
    PyObject* fresh = check(PyUnicode_InternFromString(NAME_TEXT[static_cast<size_t>(n)]));
    if (cell) release_ref(fresh);  // filled meanwhile by another thread of this interpreter
    else cell = fresh;
    return cell;
}

PyObject* ModuleState::panic_type() noexcept {
    if (panic_) return panic_;
    PyObject* fresh = PyErr_NewExceptionWithDoc(
        "quernwood.PanicException",
        "An internal invariant of quernwood was broken. Derives from BaseException "
        "so that `except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    if (fresh && panic_) release_ref(fresh);
    else if (fresh) panic_ = fresh;
    return panic_;
}

PyObject* ModuleState::abstract_kind_warning() noexcept {
    if (abstract_kind_) return abstract_kind_;
    PyObject* fresh = PyErr_NewExceptionWithDoc(
        "quernwood.AbstractKindWarning",
        "Warned when kinds, prune or bracket names an abstract node class, such as "
        "ast.expr: no parsed node has it as its own class, so it matches nothing. "
        "expand_kinds gives the classes derived from it.",
        PyExc_UserWarning, nullptr);
    if (fresh && abstract_kind_) release_ref(fresh);
    else if (fresh) abstract_kind_ = fresh;
    return abstract_kind_;
}

void ModuleState::keep(PyObject* o) {
    if (kept_.insert(o).second) Py_INCREF(o);
}

ThreadCaches& ModuleState::find_thread_caches() {
    std::vector<CacheSlot>& slots = THREAD_CACHES;
    auto it = std::find_if(slots.begin(), slots.end(), [&](const CacheSlot& s) { return s.generation == generation_; });
    if (it == slots.end()) {
        // Caches of cleared states are plain memory now: drop them. A call
        // still running on this thread holds a live state, so never these.
        std::erase_if(slots, [](const CacheSlot& s) { return s.alive.expired(); });
        if (!alive_) alive_ = std::make_shared<const uint64_t>(generation_);
        slots.push_back(CacheSlot{generation_, alive_, std::make_unique<ThreadCaches>()});
        it = slots.end() - 1;
    }
    THREAD.last_generation = generation_;
    THREAD.last_caches = it->caches.get();
    return *THREAD.last_caches;
}

int ModuleState::traverse(visitproc visit, void* arg) noexcept {
    if (panic_)
        if (int rc = visit(panic_, arg)) return rc;
    if (abstract_kind_)
        if (int rc = visit(abstract_kind_, arg)) return rc;
    for (PyObject* o : names_)
        if (o)
            if (int rc = visit(o, arg)) return rc;
    for (PyObject* o : kept_)
        if (int rc = visit(o, arg)) return rc;
    return 0;
}

void ModuleState::clear() {
    // First make every thread's caches stale, then let go: a release may run
    // code that calls the module again, which then starts afresh. The
    // releases wait for the end, out of every noexcept frame.
    StateScope scope(nullptr);
    generation_ = next_generation();
    alive_.reset();
    base_ = {};
    std::vector<PyObject*> released;
    try {
        released.reserve(kept_.size() + NAME_COUNT + 2);
    } catch (...) {
        // Out of memory: leaking is the only safe choice left.
        kept_.clear();
        panic_ = nullptr;
        abstract_kind_ = nullptr;
        for (PyObject*& n : names_) n = nullptr;
        for (PyObject*& m : visitor_methods) m = nullptr;
        return;
    }
    released.assign(kept_.begin(), kept_.end());
    for (PyObject*& m : visitor_methods) m = nullptr;  // kept above
    kept_.clear();
    if (panic_) released.push_back(std::exchange(panic_, nullptr));
    if (abstract_kind_) released.push_back(std::exchange(abstract_kind_, nullptr));
    for (PyObject*& n : names_)
        if (n) released.push_back(std::exchange(n, nullptr));
    for (PyObject* o : released) release_ref(o);
    scope.release_waiting();
}

bool StateScope::release_waiting() {
    if (waiting_.empty()) return false;
    // A release may add to the list (a collection may clear a module state)
    // or end this thread, which then leaves the rest alone.
    for (size_t i = 0; i < waiting_.size(); ++i) {
        PyObject* p = std::exchange(waiting_[i], nullptr);
        Py_DECREF(p);
    }
    waiting_.clear();
    return true;
}

bool release_waiting() {
    StateScope* s = THREAD.scope;
    return s && s->release_waiting();
}

bool thread_may_release() noexcept {
    const StateScope* s = THREAD.scope;
    return compat::thread_is_attached(s ? s->entered_ : nullptr);
}

namespace {

// A small exact tuple whose items are all held elsewhere too: freeing it
// frees nothing else, and a tuple has no finalizer and takes no weak
// references. An item the tuple holds twice needs a third holder.
bool holds_only_shared(PyObject* p) noexcept {
    if (!PyTuple_CheckExact(p) || PyTuple_GET_SIZE(p) > 8) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(p);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(p, i);  // null in one being filled
        if (!item) return false;
        Py_ssize_t held = 0;
        for (Py_ssize_t j = 0; j < n; ++j) held += PyTuple_GET_ITEM(p, j) == item;
        if (Py_REFCNT(item) <= held) return false;
    }
    return true;
}

}  // namespace

void release_last_ref(PyObject* p) noexcept {
    StateScope* s = THREAD.scope;
    // Freeing a plain value runs no Python code: it has no finalizer, takes
    // no weak references and holds no objects. Outside every scope the
    // interpreter itself called in, and no frame of ours is under way.
    if (!s || PyUnicode_CheckExact(p) || PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyBytes_CheckExact(p) ||
        holds_only_shared(p)) {
        Py_DECREF(p);
        return;
    }
    try {
        s->waiting_.push_back(p);
    } catch (const std::bad_alloc&) {
        // Out of memory: leaking is the only safe choice left.
    }
}

ModuleState* current_state_or_null() noexcept {
    const StateScope* s = THREAD.scope;
    return s ? s->state_ : nullptr;
}

ModuleState* state_of(PyObject* module) noexcept {
    void* cell = PyModule_GetState(module);
    if (!cell) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<StateCell*>(cell)->state;
}

int state_init(PyObject* module) noexcept {
    auto* cell = static_cast<StateCell*>(PyModule_GetState(module));
    if (!cell) return -1;
    if (!cell->state) {
        cell->state = new (std::nothrow) ModuleState();
        if (!cell->state) {
            PyErr_NoMemory();
            return -1;
        }
    }
    PyObject* panic = cell->state->panic_type();
    if (!panic || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
    PyObject* warning = cell->state->abstract_kind_warning();
    if (!warning) return -1;
    return PyModule_AddObjectRef(module, "AbstractKindWarning", warning);
}

int state_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* s = state_of(module);
    return s ? s->traverse(visit, arg) : 0;
}

int state_clear(PyObject* module) {
    if (ModuleState* s = state_of(module)) s->clear();
    return 0;
}

void state_free(void* module) {
    auto* cell = static_cast<StateCell*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (!cell) {
        PyErr_Clear();
        return;
    }
    // Cleared before the destructor runs: a release may run Python code.
    if (cell->state) cell->state->clear();
    delete std::exchange(cell->state, nullptr);
}

}  // namespace qw
