#include "type_info.h"

#include "binding.h"
#include "state.h"

#include <cstring>
#include <memory>
#include <unordered_map>

namespace qw {

namespace {

void discard_error() {
    PyObject* exc = compat::take_exception();
    Py_XDECREF(exc);
}

// Releases the new references names_of returned, on every path.
struct NameList {
    std::vector<PyObject*> names;
    ~NameList() {
        for (PyObject* n : names) Py_DECREF(n);
    }
};

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
    NameList attributes{names_of(t, "_attributes")};
    for (PyObject* name : attributes.names) {
        const char* text = PyUnicode_AsUTF8(name);
        if (text)
            for (const auto& loc : LOCATIONS)
                if (std::strcmp(text, loc.name) == 0) info->location_flags |= loc.bit;
    }
    NameList fields{names_of(t, "_fields")};
    info->field_names.reserve(fields.names.size());
    for (PyObject* name : fields.names) {
        state.keep(name);
        info->field_names.push_back(name);
    }
    return info;
}

}  // namespace

std::vector<PyObject*> names_of(PyObject* type, const char* attr) {
    std::vector<PyObject*> names;
    PyObject* value = PyObject_GetAttrString(type, attr);
    if (!value) {
        discard_error();
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
            discard_error();
            continue;
        }
        PyObject* name = PyUnicode_FromStringAndSize(text, len);
        if (!name) {
            discard_error();
            continue;
        }
        PyUnicode_InternInPlace(&name);
        if (names.empty()) names.reserve(4);
        names.push_back(name);
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

}  // namespace qw
