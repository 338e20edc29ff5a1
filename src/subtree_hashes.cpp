// The Python faces of the structural hashes.
#include "hashing.h"


namespace qw {

namespace {

Strong signed_int(uint64_t h) {
    return Strong::own(PyLong_FromLongLong(static_cast<long long>(static_cast<int64_t>(h))));
}

// (hash, size)
Strong digest_tuple(const Digest& d) {
    Strong hash = signed_int(d.hash);
    Strong size = Strong::own(PyLong_FromUnsignedLongLong(d.size));
    Strong tuple = Strong::own(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.as_ptr(), 0, hash.release());
    PyTuple_SET_ITEM(tuple.as_ptr(), 1, size.release());
    return tuple;
}

HashMode mode_of(PyObject* mode) {
    if (mode == Py_None) return HashMode::Process;
    if (!PyUnicode_Check(mode)) throw_type_mismatch(mode, "str");
    static constexpr struct {
        const char* name;
        HashMode mode;
    } MODES[] = {{"process", HashMode::Process},
                 {"stable", HashMode::Stable},
                 {"renamed", HashMode::Names},
                 {"shape", HashMode::Shape}};
    // Compared as text, so "stable\0x" or a lone surrogate is just no mode.
    for (const auto& m : MODES)
        if (PyUnicode_CompareWithASCIIString(mode, m.name) == 0) return m.mode;
    PyErr_Format(PyExc_ValueError, "mode must be 'process', 'stable', 'renamed' or 'shape', not %R", mode);
    throw_py();
}

template <class Value>
Strong hashed_to_dict(const Hashed& h, Value&& value) {
    Strong dict = Strong::own(PyDict_New());
    for (const Hashed::Row& row : h.rows) {
        Strong key = Strong::own(PyLong_FromVoidPtr(row.node.as_ptr()));
        Strong v = value(row.digest);
        check_status(PyDict_SetItem(dict.as_ptr(), key.as_ptr(), v.as_ptr()));
    }
    return dict;
}

// The root is the pass's first node.
Digest root_digest(const Hashed& h) {
    if (h.rows.empty() || h.rows[0].digest.size == 0) throw InternalFailure("the root was not hashed");
    return h.rows[0].digest;
}

}  // namespace

Strong subtree_hashes(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const Hashed h = hash_subtrees(root.as_ptr());
    return hashed_to_dict(h, [](const Digest& d) { return signed_int(d.hash); });
}

Strong subtree_hash(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    return signed_int(root_digest(hash_subtrees(root.as_ptr())).hash);
}

Strong subtree_digests(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const HashMode mode = reading_argument(a, 1, [&] { return mode_of(a[1]); });
    const Hashed h = hash_subtrees(root.as_ptr(), mode);
    return hashed_to_dict(h, digest_tuple);
}

Strong subtree_digest(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const HashMode mode = reading_argument(a, 1, [&] { return mode_of(a[1]); });
    return digest_tuple(root_digest(hash_subtrees(root.as_ptr(), mode)));
}

}  // namespace qw
