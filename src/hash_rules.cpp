#include "hash_rules.h"

#include "hashing.h"

#include <cstring>

namespace qw {

namespace {

inline uint64_t load_le64(const unsigned char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// A str by its UTF-8 bytes (lone surrogates encoded as they are).
uint64_t str_hash(PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s))
        return bytes_hash(static_cast<const unsigned char*>(PyUnicode_DATA(s)),
                          static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
    Strong utf8 = Strong::own(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    return bytes_hash(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(utf8.as_ptr())),
                      static_cast<size_t>(PyBytes_GET_SIZE(utf8.as_ptr())));
}

// A class by its module and qualified name; a name that is not a str counts
// by its repr.
uint64_t name_part(PyObject* value) {
    if (PyUnicode_Check(value)) return str_hash(value);
    Strong r = Strong::own(PyObject_Repr(value));
    return str_hash(r.as_ptr());
}

uint64_t class_name_hash(PyTypeObject* type, PyObject* module_name) {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    Strong module = Strong::own(PyObject_GetAttr(t, module_name));
    Strong qualname = Strong::own(PyType_GetQualName(type));
    return mix(name_part(module.as_ptr()), name_part(qualname.as_ptr()));
}

// The fields the grammar types as identifiers, and the one str field that
// repeats them (an interpolation's source text), by class of the ast module.
constexpr const char* IDENTIFIER_FIELDS[][2] = {
    {"FunctionDef", "name"}, {"AsyncFunctionDef", "name"}, {"ClassDef", "name"},
    {"ImportFrom", "module"}, {"alias", "name"},           {"alias", "asname"},
    {"Global", "names"},      {"Nonlocal", "names"},       {"Attribute", "attr"},
    {"Name", "id"},           {"ExceptHandler", "name"},   {"arg", "arg"},
    {"keyword", "arg"},       {"MatchMapping", "rest"},    {"MatchClass", "kwd_attrs"},
    {"MatchStar", "name"},    {"MatchAs", "name"},         {"TypeVar", "name"},
    {"ParamSpec", "name"},    {"TypeVarTuple", "name"},    {"Interpolation", "str"},
};
// The fields the grammar types as constants.
constexpr const char* CONSTANT_FIELDS[][2] = {{"Constant", "value"}, {"MatchSingleton", "value"}};

bool name_is(PyObject* name, const char* text) {
    const char* s = PyUnicode_AsUTF8(name);
    if (!s) throw_py();
    return std::strcmp(s, text) == 0;
}

}  // namespace

bool hashes_as_dumped(PyObject* value) noexcept {
    if (value == Py_None || value == Py_Ellipsis) return true;
    PyTypeObject* t = Py_TYPE(value);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBytes_Type || t == &PyBool_Type;
}

uint64_t bytes_hash(const unsigned char* data, size_t size) noexcept {
    uint64_t h = mix(0x13198A2E03707344ull, size);
    for (; size >= 8; data += 8, size -= 8) h = mix(h, load_le64(data));
    if (size) {
        uint64_t tail = 0;
        for (size_t i = 0; i < size; ++i) tail |= static_cast<uint64_t>(data[i]) << (8 * i);
        h = mix(h, tail);
    }
    return avalanche(h);
}

HashRules::Record& HashRules::record(PyTypeObject* type) {
    Slot& s = memo_[(reinterpret_cast<uintptr_t>(type) >> 4) & 31];
    if (s.type == type) return *s.record;
    const auto key = reinterpret_cast<uintptr_t>(type);
    auto it = records_.find(key);
    if (it == records_.end()) {
        Record fresh;
        fresh.type = Strong::borrowed(reinterpret_cast<PyObject*>(type));
        // Interned, as the interpreter's own name is: found in its caches.
        if (!module_name_) module_name_ = Strong::own(PyUnicode_InternFromString("__module__"));
        fresh.seed = mix(0, class_name_hash(type, module_name_.as_ptr()));
        it = records_.try_emplace(key, std::move(fresh)).first;
    }
    s = {type, &it->second};
    return it->second;
}

const std::vector<HashRules::Standard>& HashRules::standard_classes() {
    if (standard_known_) return standard_;
    // Read from sys.modules: the walk has imported it already, and a full
    // import per call would run the import machinery every time.
    Strong name = Strong::own(PyUnicode_FromString("ast"));
    PyObject* found = PyImport_GetModule(name.as_ptr());
    if (!found && PyErr_Occurred()) throw_py();
    Strong ast = found ? Strong::own(found) : Strong::own(PyImport_Import(name.as_ptr()));
    // The module's own dictionary: plain lookups, no attribute machinery.
    PyObject* names = PyModule_GetDict(ast.as_ptr());
    if (!names) throw_py();
    Strong held = Strong::borrowed(names);
    auto add = [&](const auto& table, FieldRule rule) {
        for (const auto& row : table) {
            Strong key = Strong::own(PyUnicode_FromString(row[0]));
            PyObject* cls = PyDict_GetItemWithError(names, key.as_ptr());
            if (!cls && PyErr_Occurred()) throw_py();
            // Absent: a class this version does not have. Not a class: not ours.
            if (cls && PyType_Check(cls)) standard_.push_back({Strong::borrowed(cls), row[1], rule});
        }
    };
    add(IDENTIFIER_FIELDS, IDENTIFIER);
    if (mode_ == HashMode::Shape) add(CONSTANT_FIELDS, CONSTANT);
    standard_known_ = true;
    return standard_;
}

uint64_t HashRules::class_rules(PyTypeObject* type, const TypeInfo& info, std::vector<FieldRule>& wide) {
    const std::vector<Standard>& standard = standard_classes();
    // The first class of the MRO that the table knows: the class itself, or
    // the standard class a user's subclass derives from.
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return 0;
    Strong held = Strong::borrowed(mro);
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && !found; ++i)
        for (const Standard& s : standard)
            if (s.cls.as_ptr() == PyTuple_GET_ITEM(mro, i)) found = s.cls.as_ptr();
    if (!found) return 0;
    uint64_t rules = 0;
    const size_t n = info.field_names.size();
    std::vector<FieldRule> every(n, KEEP);
    for (size_t j = 0; j < n; ++j)
        for (const Standard& s : standard)
            if (s.cls.as_ptr() == found && name_is(info.field_names[j], s.field)) every[j] = s.rule;
    for (size_t j = 0; j < n && j < 32; ++j) rules |= uint64_t{every[j]} << (2 * j);
    if (n > 32) wide = std::move(every);
    return rules;
}

uint64_t HashRules::stable_node_seed(PyTypeObject* type, const TypeInfo& info, uint64_t& rules) {
    Record& r = record(type);
    if (!r.rules_known) {
        r.rules = mode_ == HashMode::Stable ? 0 : class_rules(type, info, r.wide);
        r.rules_known = true;
    }
    rules = r.rules;
    return r.seed;
}

namespace {

// The stable value of an exact bytes, a bool, None or Ellipsis, which both
// stable leaf hashes read alike; false for anything else.
bool fixed_leaf_value(PyObject* x, uint64_t& v) noexcept {
    if (Py_IS_TYPE(x, &PyBytes_Type)) {
        v = bytes_hash(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(x)),
                       static_cast<size_t>(PyBytes_GET_SIZE(x)));
    } else if (x == Py_True || x == Py_False) {
        v = x == Py_True;
    } else if (x == Py_None || x == Py_Ellipsis) {
        v = 0;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool HashRules::stable_quiet_leaf(PyObject* x, uint64_t& h) noexcept {
    const Record* r = known(Py_TYPE(x));
    if (!r) return false;
    uint64_t v;
    if (Py_IS_TYPE(x, &PyUnicode_Type)) {
        if (!PyUnicode_IS_COMPACT_ASCII(x)) return false;
        v = bytes_hash(static_cast<const unsigned char*>(PyUnicode_DATA(x)), static_cast<size_t>(PyUnicode_GET_LENGTH(x)));
    } else if (Py_IS_TYPE(x, &PyLong_Type)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow || (i == -1 && PyErr_Occurred())) return false;
        v = static_cast<uint64_t>(i);
    } else if (!fixed_leaf_value(x, v)) {
        return false;
    }
    h = mix(r->seed, v);
    return true;
}

uint64_t HashRules::stable_leaf(PyObject* x) {
    const uint64_t seed = record(Py_TYPE(x)).seed;
    uint64_t v;
    if (Py_IS_TYPE(x, &PyUnicode_Type)) {
        v = str_hash(x);
    } else if (Py_IS_TYPE(x, &PyLong_Type)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (i == -1 && PyErr_Occurred()) throw_py();
        if (overflow) {
            Strong digits = Strong::own(PyNumber_ToBase(x, 16));
            v = ~str_hash(digits.as_ptr());
        } else {
            v = static_cast<uint64_t>(i);
        }
    } else if (!fixed_leaf_value(x, v)) {
        release_waiting();  // as for a process hash's repr
        Strong r = Strong::own(PyObject_Repr(x));
        v = str_hash(r.as_ptr());
    }
    return mix(seed, v);
}

}  // namespace qw
