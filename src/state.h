// Everything that outlives a call, in one place.
//
// Each interpreter that imports the module gets its own module state, which
// owns every Python object the module keeps: the base-type pair, the
// internal-failure exception class, the interned attribute names and one
// reference to each class and field name that any thread's caches know.
// The per-thread caches (field table, type records) exist per thread and per
// module state and hold only borrowed pointers, so a thread's exit frees
// plain memory and never touches an object, and an interpreter's objects are
// released by its own module state, while that interpreter is current.
#pragma once

#include "ast_types.h"
#include "type_info.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qw {

enum class Name : uint8_t { parent, lineno, col_offset, end_lineno, end_col_offset };
inline constexpr size_t NAME_COUNT = 5;

using TypeInfoMap = std::unordered_map<uintptr_t, std::unique_ptr<TypeInfo>, PointerHasher>;

class StateScope;
struct ThreadCaches;

// What one thread keeps between and within calls, in one plain block: a
// thread-local without a constructor or destructor, reached with one lookup
// per function however many of its fields the function uses.
struct ThreadLocals {
    StateScope* scope = nullptr;  // the running call's
    // The caches last used, and the generation of the state they are for.
    uint64_t last_generation = 0;
    ThreadCaches* last_caches = nullptr;
    int visitor_steps = 0;  // visitor steps running, one inside another
    uintptr_t first_step_at = 0;  // the stack where the outermost of them began
    // The thread's stack bounds (stack_room.h); low 1: not looked up yet.
    uintptr_t stack_low = 1;
    uintptr_t stack_high = 0;
};
// This thread's block. Its address stays the same all through a call, so
// it is declared const, as errno's location is, and a function looks it up
// once however often it (or what is inlined into it) asks.
[[gnu::const]] ThreadLocals* thread_locals() noexcept;

// One thread's caches for one module state.
struct ThreadCaches {
    std::unique_ptr<FieldTable> field_table;
    bool field_table_in_use = false;
    TypeInfoMap type_info;
    // NodeVisitor's method names by node class name ("Call" gives
    // "visit_Call"), keyed by the address of the kept name object, and the
    // interned attribute names it reads; every object here is kept by the state.
    std::unordered_map<uintptr_t, PyObject*, PointerHasher> visit_names;
    PyObject* visitor_words[16] = {};
    // What NodeVisitor learned about classes (its own record type).
    std::shared_ptr<void> visitor_memo;
};

class ModuleState {
public:
    ModuleState();
    ~ModuleState();
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    // ast.AST and ast.expr, resolved on first use; a failure caches nothing.
    BaseTypes base_types() {
        if (base_.ast) [[likely]]
            return base_;
        return resolve_base_types_now();
    }
    // An interned attribute name, created on first use.
    PyObject* name(Name n);
    // The PanicException class; null when it cannot be created.
    PyObject* panic_type() noexcept;
    // The AbstractKindWarning class; null when it cannot be created.
    PyObject* abstract_kind_warning() noexcept;
    // The state keeps one reference to `o` until it is cleared, however many
    // threads' caches name it.
    void keep(PyObject* o);
    // visit, NodeVisitor.generic_visit, NodeTransformer.generic_visit and
    // visit_Constant (null where absent), kept: the descent knows its own
    // methods by identity.
    PyObject* visitor_methods[4] = {};
    // This thread's caches for this state.
    ThreadCaches& thread_caches() {
        if (thread_locals()->last_generation == generation_) [[likely]]
            return *thread_locals()->last_caches;
        return find_thread_caches();
    }

    // Called by the interpreter's exit functions: from now on a thread may be
    // ended in the middle of a call.
    void note_exit() noexcept;

    int traverse(visitproc visit, void* arg) noexcept;
    // Releases every reference; every thread's caches for the state go stale.
    // A release may run Python code, so this is never called from a
    // destructor.
    void clear();

private:
    BaseTypes resolve_base_types_now();
    ThreadCaches& find_thread_caches();

    BaseTypes base_{};
    PyObject* panic_ = nullptr;
    PyObject* abstract_kind_ = nullptr;
    PyObject* names_[NAME_COUNT] = {};
    std::unordered_set<PyObject*> kept_;
    // Unique in the process, replaced by clear(): caches are matched by it.
    uint64_t generation_;
    // Expires with the generation, so that threads can drop stale caches.
    std::shared_ptr<const uint64_t> alive_;
    // Whether this state counts in EXITING_INTERPRETERS; that of the main
    // interpreter counts for good, as its threads may be ended after it goes.
    bool counted_exiting_ = false;
    bool of_main_interpreter_ = false;
};

// The call running on this thread: the state of the module whose function it
// is, and the references whose release would free an object, which wait
// until the call can run Python code. Set for the length of a call; calls
// nest (a getter may call the module again, perhaps that of another
// interpreter), each with its own waiting references.
class StateScope {
public:
    explicit StateScope(ModuleState* s) noexcept
        : state_(s), previous_(std::exchange(thread_locals()->scope, this)), entered_(compat::entry_thread_state()) {}
    // Whatever still waits is left alone: only a thread being ended by the
    // interpreter gets here with any.
    ~StateScope() { thread_locals()->scope = previous_; }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;

    // Releases the waiting references, which may run any Python code: call
    // only where the call could run Python code anyway, never from a
    // destructor or a noexcept function. Says whether anything was released.
    bool release_waiting();
    bool has_waiting() const noexcept { return !waiting_.empty(); }

private:
    friend ModuleState& current_state();
    friend ModuleState* current_state_or_null() noexcept;
    friend bool thread_may_release() noexcept;
    friend void release_last_ref(PyObject* p) noexcept;

    ModuleState* state_;
    StateScope* previous_;
    PyThreadState* entered_;
    std::vector<PyObject*> waiting_;
};

// The running call's state; a call outside any scope is a broken invariant.
inline ModuleState& current_state() {
    const StateScope* s = thread_locals()->scope;
    if (!s || !s->state_) [[unlikely]]
        throw InternalFailure("no module state on this thread");
    return *s->state_;
}
// Null outside any call.
ModuleState* current_state_or_null() noexcept;

// The state of a module object of this extension; null before exec.
ModuleState* state_of(PyObject* module) noexcept;

// The module's state memory: the state lives on the C++ heap, made by exec.
struct StateCell {
    ModuleState* state;
};

// Module-definition hooks.
inline constexpr Py_ssize_t STATE_SIZE = sizeof(StateCell);
int state_init(PyObject* module) noexcept;  // called by exec; sets an exception on failure
int state_traverse(PyObject* module, visitproc visit, void* arg);
int state_clear(PyObject* module);
void state_free(void* module);

}  // namespace qw
