// Reads a node's instance dictionary straight from interpreter memory. Valid
// only while the calling thread holds the interpreter lock and runs no Python
// code between reading a pointer and using it.
#pragma once

#include "strong.h"

namespace qw {

// The object's instance dictionary (borrowed), or null when its type keeps
// none at a fixed offset or none was ever created.
inline PyObject* get_instance_dict_fast(PyObject* o) noexcept {
    const Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

struct DictEntry {
    PyObject* key;
    PyObject* value;
};

inline const compat::DictKeys* keys_of(PyObject* dict) noexcept {
    return reinterpret_cast<const compat::DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// Address of entry slot 0: the entry array follows the index array.
inline const DictEntry* entries_ptr(const compat::DictKeys* keys) noexcept {
    return reinterpret_cast<const DictEntry*>(keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
}

// The entry slots of a combined table whose keys are all str, in insertion
// order (deleted slots have null key and value). Any other table (general
// keys, whose entries are three words; split, whose values live elsewhere)
// gives `ok == false` and must be read through the API instead.
struct EntryView {
    const DictEntry* entries = nullptr;
    Py_ssize_t count = 0;
    bool ok = false;
};

inline EntryView unicode_entries(PyObject* dict) noexcept {
    const auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (d->ma_values != nullptr) return {};
    const compat::DictKeys* keys = keys_of(dict);
    if (keys->dk_kind != compat::DICT_KEYS_UNICODE) return {};
    return {entries_ptr(keys), keys->dk_nentries, true};
}

// The value of the entry whose key is the very object `name`, looked for
// first at position `expected` (where nodes built by the parser keep it);
// null when no key is that object. A dictionary has one entry at most for a
// key object, so this is what a lookup of `name` would return.
inline PyObject* find_in_place(const EntryView& view, size_t expected, PyObject* name) noexcept {
    const auto at = static_cast<Py_ssize_t>(expected);
    if (at < view.count && view.entries[at].key == name) [[likely]]
        return view.entries[at].value;
    for (Py_ssize_t i = 0; i < view.count; ++i)
        if (view.entries[i].key == name) return view.entries[i].value;
    return nullptr;
}

// The value under the exact str `name` in a small combined table of str
// keys, or null when it has none, looked for by identity or by hash and
// text in every entry: a miss, the common answer for the names looked
// for this way, costs a few loads per entry, where the API would hash and
// probe. Every key is an exact str, so no Python code runs.
inline PyObject* scan_unicode(const EntryView& view, PyObject* name) noexcept {
    const Py_hash_t hash = compat::str_hash(name);
    for (Py_ssize_t i = 0; i < view.count; ++i) {
        PyObject* key = view.entries[i].key;
        if (key == name) return view.entries[i].value;
        if (key && compat::str_hash(key) == hash && PyUnicode_Compare(key, name) == 0) return view.entries[i].value;
    }
    return nullptr;
}

// PyDict_GetItemWithError for an interned name, found by identity first.
// Nodes built by the parser store their fields in _fields order and then
// their locations, so the name is usually the key of entry `expected`, or
// of another entry of a small table; a key that is the very name object
// is the dictionary's one entry for it, so its value is what a lookup
// returns. Otherwise (an equal str that is not the interned one, or a
// table that cannot be read by layout) the dictionary API decides. The
// entry table is read afresh each time: Python code may have resized it.
inline PyObject* lookup_field(PyObject* dict, size_t expected, PyObject* name) {
    const EntryView view = unicode_entries(dict);
    if (view.ok) {
        if (PyObject* v = find_in_place(view, expected, name)) return v;
        if (view.count <= 16 && PyUnicode_CheckExact(name)) return scan_unicode(view, name);
    }
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw_py();
    return v;
}

}  // namespace qw
