// The Python faces of the structural hashes.
#include "hashing.h"

namespace qw {

namespace {

Strong signed_int(uint64_t h) {
    return Strong::own(PyLong_FromLongLong(static_cast<long long>(static_cast<int64_t>(h))));
}

}  // namespace

Strong subtree_hashes(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const HashMap map = hash_subtrees(root.as_ptr());
    Strong dict = Strong::own(PyDict_New());
    map.for_each([&](uintptr_t address, uint64_t h) {
        Strong key = Strong::own(PyLong_FromVoidPtr(reinterpret_cast<void*>(address)));
        Strong value = signed_int(h);
        check_status(PyDict_SetItem(dict.as_ptr(), key.as_ptr(), value.as_ptr()));
    });
    return dict;
}

Strong subtree_hash(const Args& a) {
    Strong root = Strong::borrowed(a[0]);
    const uint64_t h = hashed(hash_subtrees(root.as_ptr()), root.as_ptr());
    return signed_int(h);
}

}  // namespace qw
