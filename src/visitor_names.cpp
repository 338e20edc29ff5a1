#include "visitor_names.h"

namespace qw::visiting {

PyObject* const* make_words(ModuleState& state) {
    for (size_t w = 0; w < WORD_COUNT; ++w) {
        // Looked up again each time: interning may run a collection, and
        // code that makes the thread's caches anew.
        if (state.thread_caches().visitor_words[w]) continue;
        Strong s = Strong::own(PyUnicode_InternFromString(WORD_TEXT[w]));
        state.keep(s.as_ptr());
        state.thread_caches().visitor_words[w] = s.as_ptr();
    }
    return state.thread_caches().visitor_words;
}

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

}  // namespace qw::visiting
