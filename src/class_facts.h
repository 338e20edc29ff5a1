// What the descent knows of the node classes met on a thread, kept while
// each class keeps its version tag, and what the thread keeps for the
// descents: the memory and frame stacks (`Frame`) that ended ones leave to
// the next, and the running sprint's levels (`Level`).
#pragma once

#include "dict_reader.h"
#include "visitor_names.h"

#include <memory>
#include <vector>

namespace qw::visiting {

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

    // The facts of `t` when they are known and hold, else null; learning
    // nothing, it runs no code. A class is in the first free way of its
    // slot or a later one, and never in two.
    [[gnu::always_inline]] ClassFacts* known(PyTypeObject* t) noexcept {
        const size_t base = slot_of(t);
        ClassFacts& first = entries[base];
        if (first.type == t) [[likely]]
            return holds(first, t) ? &first : nullptr;
        for (size_t k = 1; first.type && k < WAYS; ++k) {
            ClassFacts& e = entries[(base + k) % SLOTS];
            if (e.type == t) return holds(e, t) ? &e : nullptr;
            if (!e.type) return nullptr;
        }
        return nullptr;
    }

    // The facts of `t`, learnt and stored; `w` is the visitor's copy of the
    // interned names.
    ClassFacts& learn(PyTypeObject* t, ModuleState& state, PyObject* const* w);

private:
    static size_t slot_of(PyTypeObject* t) noexcept {
        return ((reinterpret_cast<uintptr_t>(t) >> 4) * 0x9E3779B97F4A7C15ull) >> 55;
    }

    static bool holds(const ClassFacts& e, PyTypeObject* t) noexcept {
        return e.tag != 0 && e.tag == compat::version_tag(t) &&
               (!e.name || e.name == reinterpret_cast<PyHeapTypeObject*>(t)->ht_name);
    }

    ClassFacts& place(PyTypeObject* t) noexcept;
};

// The thread's memo for `state`, made on first use.
inline std::shared_ptr<ClassMemo> thread_memo(ModuleState& state) {
    std::shared_ptr<void>& cell = state.thread_caches().visitor_memo;
    if (!cell) cell = std::make_shared<ClassMemo>();
    return std::static_pointer_cast<ClassMemo>(cell);
}

}  // namespace qw::visiting
