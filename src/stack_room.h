// How much of the running thread's C stack is left, from the thread's real
// bounds rather than a count: threads may be made with any stack size.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace qw {

// Where the calling frame stands on its stack: the frame's own address,
// as a local's may be elsewhere (AddressSanitizer keeps locals in frames
// of its own on the heap, to catch their use after a return).
inline uintptr_t stack_here() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#else
    volatile char probe = 0;
    return reinterpret_cast<uintptr_t>(&probe);
#endif
}

// Bytes between the calling frame and the low end of the thread's stack
// (the stack grows down on every platform built for); SIZE_MAX where the
// platform does not tell, or where the frame is on another stack (a
// coroutine library's, say), whose bounds nobody tells. The bounds are
// looked up once per thread, into `low` and `high` (the thread's: low 1
// means not looked up yet, 0 unknown).
inline size_t stack_room(uintptr_t& low, uintptr_t& high) noexcept {
    if (low == 1) [[unlikely]] {
        low = 0;
#if defined(__APPLE__)
        pthread_t self = pthread_self();
        high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
        low = high - pthread_get_stacksize_np(self);
#elif defined(_WIN32)
        ULONG_PTR lo = 0, hi = 0;
        GetCurrentThreadStackLimits(&lo, &hi);
        low = lo;
        high = hi;
#elif defined(__GLIBC__) || defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                low = reinterpret_cast<uintptr_t>(addr);
                high = low + size;
            }
            pthread_attr_destroy(&attr);
        }
#endif
    }
    const uintptr_t here = stack_here();
    // A frame out of the bounds is on another stack: below the low end
    // lies the guard page, which no frame of this stack gets past.
    if (low == 0 || here <= low || here >= high) return SIZE_MAX;
    return here - low;
}

}  // namespace qw
