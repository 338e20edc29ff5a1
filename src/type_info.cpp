#include "type_info.h"

#include "binding.h"
#include "state.h"

#include <cstring>
#include <memory>
#include <unordered_map>

namespace qw {

namespace {

std::unique_ptr<TypeInfo> build_type_info(ModuleState& state, PyTypeObject* type) {
    auto info = std::make_unique<TypeInfo>();
    PyObject* t = reinterpret_cast<PyObject*>(type);
    state.keep(t);
    info->type_object = t;
    static constexpr struct {
        const char* name;
        uint8_t bit;
    } LOCATIONS[] = {{"lineno", LOC_LINENO},
                     {"col_offset", LOC_COL_OFFSET},
                     {"end_lineno", LOC_END_LINENO},
                     {"end_col_offset", LOC_END_COL_OFFSET}};
    for (Strong& name : names_of(t, "_attributes")) {
        const char* text = PyUnicode_AsUTF8(name.as_ptr());
        if (!text) {
            clear_ordinary_error();
            continue;
        }
        for (const auto& loc : LOCATIONS)
            if (std::strcmp(text, loc.name) == 0) info->location_flags |= loc.bit;
    }
    for (Strong& name : names_of(t, "_fields")) {
        state.keep(name.as_ptr());
        info->field_names.push_back(name.as_ptr());
    }
    return info;
}

}  // namespace

std::vector<Strong> names_of(PyObject* type, const char* attr) {
    std::vector<Strong> names;
    PyObject* value = get_attr_interned(type, attr);
    if (!value) {
        clear_ordinary_error();
        return names;
    }
    Strong held = Strong::own(value);
    if (!PyTuple_Check(value)) return names;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        PyObject* item = PyTuple_GET_ITEM(value, i);
        if (!PyUnicode_Check(item)) continue;
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &len);
        if (!text) {
            clear_ordinary_error();
            continue;
        }
        PyObject* name = check(PyUnicode_FromStringAndSize(text, len));
        PyUnicode_InternInPlace(&name);
        Strong owned = Strong::own(name);
        if (names.empty()) names.reserve(4);
        names.push_back(std::move(owned));
    }
    return names;
}

const TypeInfo& type_info(PyTypeObject* type) {
    ModuleState& state = current_state();
    TypeInfoMap& map = state.thread_caches().type_info;
    const auto key = reinterpret_cast<uintptr_t>(type);
    if (auto it = map.find(key); it != map.end()) return *it->second;
    // Built with no iterator held: the lookups may run Python code that asks
    // for type information again. The first record inserted wins.
    std::unique_ptr<TypeInfo> fresh = build_type_info(state, type);
    auto [it, inserted] = map.emplace(key, std::move(fresh));
    return *it->second;
}

const TypeInfo* built_type_info(PyTypeObject* type) {
    const TypeInfoMap& map = current_state().thread_caches().type_info;
    const auto it = map.find(reinterpret_cast<uintptr_t>(type));
    return it == map.end() ? nullptr : it->second.get();
}

}  // namespace qw
