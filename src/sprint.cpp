// The sprint: the descent as a walk, below a node, while no code can run.
#include "descent.h"

namespace qw::visiting {

void Visitor::sprint() {
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
        ClassFacts* cf = issubclass_of_ast(Py_TYPE(child), {ast_, expr_}) ? memo_->known(Py_TYPE(child)) : nullptr;
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

inline bool Visitor::quiet_constant() const {
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

inline bool Visitor::enter(PyObject* node, bool transform) {
    const ClassFacts* cf = memo_->known(Py_TYPE(node));
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

inline void Visitor::stop() {
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

}  // namespace qw::visiting
