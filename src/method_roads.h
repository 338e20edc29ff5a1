// What visiting a node of a class comes to for one visitor: a call of its
// method, which may be made as it is or must be read, or the descent.
//
// Whether an attribute read may be answered without the read is decided
// from facts about classes that hold while the class's version tag stays
// the same (any change to a class or its bases gives it a new one), and from
// the visitor's instance dict, looked at again after any Python code ran.
// Where a fact does not hold, the read is made, so a visitor that overrides
// `visit` or `generic_visit`, or answers attribute reads itself, gets its
// own code called exactly where the standard visitor would call it. With
// them, the reads of nodes that every part of the descent makes: isinstance
// as ast's visitor asks it, a node's instance dict, a class's facts.
#pragma once

#include "ast_types.h"
#include "class_facts.h"
#include "dict_reader.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace qw::visiting {

class MethodRoads {
protected:
    MethodRoads(PyObject* self, std::shared_ptr<ClassMemo> memo)
        : self_(self), state_(current_state()), ast_(state_.base_types().ast), expr_(state_.base_types().expr),
          memo_(std::move(memo)) {
        // The names are held by the module state, not by the thread that
        // made them: the copy stays good on any thread.
        std::copy_n(words(state_), WORD_COUNT, w_);
        std::copy_n(state_.visitor_methods, mine_.size(), mine_.begin());
    }
    MethodRoads(const MethodRoads&) = delete;
    MethodRoads& operator=(const MethodRoads&) = delete;

    // What the visitor's class and instance allow, looked at again when
    // the class changed or Python code ran.
    void refresh();

    // Before a read that runs Python code: what the descent let go of is
    // freed first, as ast frees a field value or list item it passes over,
    // rather than piling up until the next visit.
    void python_runs() {
        python_ran_ = true;
        scope_->release_waiting();
    }

    // After looking a name up on the visitor: the lookup may have run code.
    void lookups_ran() noexcept {
        if (!lookups_quiet_) python_ran_ = true;
    }

    // Whether the road kept in `f` is this visitor's as it now stands.
    bool road_known(const ClassFacts& f) const noexcept {
        if (instance_methods_ || self_tag_ == 0) return f.epoch == epoch_;
        return f.road_for == Py_TYPE(self_) && f.road_for_tag == self_tag_;
    }

    // The facts of `t`, learnt if they are not known.
    [[gnu::always_inline]] ClassFacts& facts(PyTypeObject* t) {
        if (ClassFacts* e = memo_->known(t)) [[likely]]
            return *e;
        return memo_->learn(t, state_, w_);
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

    // The node's instance dict, or null; `ok` false when looking a str up
    // in it may run code: a key that is not a str is compared by its __eq__.
    static PyObject* instance_dict(PyObject* node, bool& ok) noexcept {
        PyObject* dict = get_instance_dict_fast(node);
        ok = !dict || reinterpret_cast<PyDictObject*>(dict)->ma_values ||
             keys_of(dict)->dk_kind != compat::DICT_KEYS_GENERAL;
        return dict;
    }

    // Whether letting go of `o` frees it. A finalizer, of it or of what it
    // holds, may run any code, so the visitor is looked at again after.
    static bool last_reference(const Strong& o) noexcept { return o && Py_REFCNT(o.as_ptr()) == 1; }

    // Which of the deprecated constant methods `method` is, from 0.
    size_t method_index(PyObject* method) const noexcept {
        size_t k = 0;
        while (w_[W_NAMECONSTANT + k] != method) ++k;
        return k;
    }

    // A bound method that reading an attribute just made, let go of at
    // once: its function and instance are held elsewhere and nothing holds a
    // weak reference to it, so freeing it runs no code. Left to wait for a
    // point where Python code runs, it would count as code run at the next
    // node, whose read would make another.
    static void drop_read(Strong m) noexcept;

    // `self.<name>`: this module's method bound to `self` (then `obj` may be
    // null: the class has it and the instance does not, and making the bound
    // method is all that reading it would do), or the object read.
    struct Bound {
        Strong obj;
        Ours ours = Ours::None;
    };

    Bound resolve(PyObject* name);

    // Whether getattr(self, name) finds anything, for a name that the
    // visitor's class does not have: then only the instance can, and
    // reading it runs no code. The instance dict is never made for this:
    // a visitor whose attributes live in the object itself keeps them there.
    bool instance_has(PyObject* name);

    // 'visit_' + node.__class__.__name__
    Strong method_name(PyObject* node);

    // The deprecated method that visit_Constant tries for a value.
    PyObject* constant_method(PyObject* value);

    // Keeps the road `r` found for `f`, for as long as it holds.
    void set_road(ClassFacts& f, ClassFacts::Road r, PyObject* function = nullptr) noexcept;

    // The road of `f`, found inside a sprint when finding it makes nothing:
    // no bound method of the base class's visit_Constant. Otherwise false.
    [[gnu::noinline]] bool quiet_road(ClassFacts& f);

    // What getattr(self, method) gives, while neither the visitor's class
    // nor (no code having run) its instance changes: nothing, so visit's
    // default, generic_visit, is called; the base class's visit_Constant;
    // or something to read and call.
    std::pair<ClassFacts::Road, PyObject*> road(PyObject* method);

    // For a method found on the visitor's class: a plain function that the
    // instance cannot shadow, found by lookups that ran no code, is called
    // as it is; anything else is read.
    ClassFacts::Road found_road(PyObject* found) const noexcept;

    // Whether the visitor has one of the deprecated constant methods: found
    // once in an epoch, since most nodes that get here are constants.
    bool has_constant_method(PyObject* method);

    PyObject* self_;
    ModuleState& state_;
    OwnMethods mine_;
    PyObject* w_[WORD_COUNT];
    PyTypeObject* ast_;
    PyTypeObject* expr_;
    std::shared_ptr<ClassMemo> memo_;
    StateScope* scope_ = nullptr;  // the running step's
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

private:
    // Declared inline: defined in method_roads.cpp, for refresh alone, which
    // runs them on every visit after code ran.

    // Whether no dict that looking a name up on the visitor reads has a
    // key other than an exact str, whose __eq__ the lookup would call:
    // while none has, the lookups run no code. The visitor's class's dict
    // and its bases', then the instance's.
    static inline bool only_str_keys(PyObject* dict) noexcept;

    inline bool class_lookups_quiet() const noexcept;
    inline bool instance_lookups_quiet() const noexcept;

    // Whether the visitor's class calls this module's visit and which
    // generic_visit it has, from the memo while the class keeps its tag.
    inline void learn_self(PyTypeObject* t);

    // Reads the instance's attribute names, when that settles what getattr
    // would find on the instance: `visit` and `generic_visit` or not, and
    // any `visit_` name or none. From its dict, or where no dict was made
    // for it, from the names its attributes can have.
    inline bool scan_instance();
    inline bool settle_instance(bool methods) noexcept;

    // What an attribute name of the instance means to the descent: `visit`
    // or `generic_visit` (Own: the instance is not clean), a `visit_` name,
    // another, or one that is no exact str (Unknown: not settled).
    enum class AttrName : uint8_t { Other, Method, Own, Unknown };
    inline AttrName name_kind(PyObject* key) const;
};

}  // namespace qw::visiting
