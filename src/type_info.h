// Per-thread knowledge of node classes for the typed traversals: field names
// (interned, in _fields order) and which location attributes a class declares.
#pragma once

#include "strong.h"

#include <cstdint>
#include <vector>

namespace qw {

enum LocationFlag : uint8_t {
    LOC_LINENO = 0x01,
    LOC_COL_OFFSET = 0x02,
    LOC_END_LINENO = 0x04,
    LOC_END_COL_OFFSET = 0x08,
};

// Borrowed pointers only: the module state keeps the type and the names
// alive for as long as the record can be used, so a record is plain memory
// that a thread frees at exit without the interpreter lock.
struct TypeInfo {
    PyObject* type_object = nullptr;
    std::vector<PyObject*> field_names;  // interned str
    uint8_t location_flags = 0;

    TypeInfo() = default;
    TypeInfo(const TypeInfo&) = delete;
    TypeInfo& operator=(const TypeInfo&) = delete;
};

// The hash of every map keyed by an object address.
struct PointerHasher {
    size_t operator()(uintptr_t address) const noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(address) >> 4) * 0x7F4A7C15ull);
    }
};

// The record of `type` (a node's exact type) for this thread and the running
// interpreter; built on first use and never changed. What cannot be read is
// left out; only an error that is not an ordinary one (KeyboardInterrupt,
// MemoryError) is raised, and then nothing is recorded. The address stays
// valid until the thread ends or the module state is cleared.
const TypeInfo& type_info(PyTypeObject* type);

// The record of `type` when this thread has built it already, else null.
// Finding it runs no Python code.
const TypeInfo* built_type_info(PyTypeObject* type);

// The str items of `type.<attr>` when it is a tuple, as interned strings.
std::vector<Strong> names_of(PyObject* type, const char* attr);

}  // namespace qw
