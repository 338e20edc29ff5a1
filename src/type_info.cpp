#include "type_info.h"

#include "binding.h"

#include <cstring>
#include <memory>
#include <unordered_map>

namespace qw {

namespace {

using TypeInfoMap = std::unordered_map<uintptr_t, std::unique_ptr<TypeInfo>, PointerHasher>;
thread_local TypeInfoMap TYPE_INFO;

void discard_error() {
    PyObject* exc = compat::take_exception();
    Py_XDECREF(exc);
}

std::unique_ptr<TypeInfo> build_type_info(PyTypeObject* type) {
    auto info = std::make_unique<TypeInfo>();
    PyObject* t = reinterpret_cast<PyObject*>(type);
    info->type_object = Py_NewRef(t);
    static constexpr struct {
        const char* name;
        uint8_t bit;
    } LOCATIONS[] = {{"lineno", LOC_LINENO},
                     {"col_offset", LOC_COL_OFFSET},
                     {"end_lineno", LOC_END_LINENO},
                     {"end_col_offset", LOC_END_COL_OFFSET}};
    for (PyObject* name : names_of(t, "_attributes")) {
        const char* text = PyUnicode_AsUTF8(name);
        if (text)
            for (const auto& loc : LOCATIONS)
                if (std::strcmp(text, loc.name) == 0) info->location_flags |= loc.bit;
        Py_DECREF(name);
    }
    info->field_names = names_of(t, "_fields");
    return info;
}

}  // namespace

TypeInfo::~TypeInfo() {
    for (PyObject* name : field_names) release_or_defer(name);
    release_or_defer(type_object);
}

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
    TypeInfoMap& map = TYPE_INFO;
    const auto key = reinterpret_cast<uintptr_t>(type);
    if (auto it = map.find(key); it != map.end()) return *it->second;
    // Built with no iterator held: the lookups may run Python code that asks
    // for type information again. The first record inserted wins.
    std::unique_ptr<TypeInfo> fresh = build_type_info(type);
    auto [it, inserted] = map.emplace(key, std::move(fresh));
    return *it->second;
}

}  // namespace qw
