#pragma once

// Replaces the global operator new and delete so that, while a test has armed the scan, every
// block released through operator delete is searched for a canary: buffers that held a secret
// must leave none of it in freed memory.
//
// Include this header in exactly one source file of a test program of its own (the replacement
// operators may exist once per program, and they must never reach the shared unit-test program).
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace freedscan {

inline constexpr size_t kCanaryLength = 12;
inline unsigned char g_canary[kCanaryLength];
inline std::atomic<bool> g_armed{false};
inline std::atomic<int> g_leaks{0};

// Made at run time so that no literal holds it; printable so that it also fits in a label.
inline void makeCanary() {
    for (size_t i = 0; i < kCanaryLength; ++i) g_canary[i] = static_cast<unsigned char>('A' + (i * 7) % 26);
}

// Kept out of line: inlined into a delete of a known small block, GCC would warn about the scan.
__attribute__((noinline)) inline void inspect(void* block) {
    if (block == nullptr || !g_armed.load()) return;
    const size_t size = malloc_usable_size(block);
    if (size >= kCanaryLength && memmem(block, size, g_canary, kCanaryLength) != nullptr) ++g_leaks;
}

// The scan is armed for the life of the object. Build what holds the canary before arming when
// only its release is under test: building may free temporaries that legitimately held it.
class Armed {
public:
    Armed() {
        makeCanary();
        g_leaks = 0;
        g_armed = true;
    }
    ~Armed() { g_armed = false; }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
    int leaks() const { return g_leaks.load(); }
};

}  // namespace freedscan

// Out of line as well: GCC (with the sanitizers) would otherwise see malloc inlined into a new
// and free into the matching delete, and call them mismatched.
__attribute__((noinline)) void* operator new(size_t size) {
    if (void* p = malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
// The non-throwing forms too (the logger takes its line buffers so): each must pair with the
// replaced delete.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    freedscan::inspect(p);
    free(p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, size_t) noexcept {
    operator delete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    operator delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    operator delete(p);
}
