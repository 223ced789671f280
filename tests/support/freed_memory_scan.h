#pragma once

// Replaces the global operator new and delete so that, while a test has armed the scan, every
// block released through operator delete is searched for a canary: buffers that held a secret
// must leave none of it in freed memory. For secrets known only at the end (the session keys a
// PACE run derives), a Quarantine keeps the released blocks instead, to be searched afterwards.
//
// Include this header in exactly one source file of a test program of its own (the replacement
// operators may exist once per program, and they must never reach the shared unit-test program).
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace freedscan {

inline constexpr size_t kCanaryLength = 12;
inline unsigned char g_canary[kCanaryLength];
inline std::atomic<bool> g_armed{false};
inline std::atomic<int> g_leaks{0};

// Made at run time so that no literal holds it; printable so that it also fits in a label.
inline void makeCanary() {
    for (size_t i = 0; i < kCanaryLength; ++i) g_canary[i] = static_cast<unsigned char>('A' + (i * 7) % 26);
}

// Blocks released by a thread while it holds a Paused are another party's memory (the simulated
// card's, the test companion's, the notification transport's): never looked at, never kept.
inline thread_local int t_paused = 0;
class Paused {
public:
    Paused() { ++t_paused; }
    ~Paused() { --t_paused; }
    Paused(const Paused&) = delete;
    Paused& operator=(const Paused&) = delete;
};

// The blocks a quarantine keeps. Static and reached only under its lock: a thread that frees
// while the quarantine ends (a card's queue ends its session on its own thread, whenever it gets
// to it) either hands its block over before the list is taken or frees it as usual, and never
// meets a list that is gone. Grows with realloc, never through operator new.
struct QuarantineList {
    std::mutex mutex;
    bool open = false;
    void** blocks = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};
inline constinit QuarantineList g_quarantineList{};
inline std::atomic<bool> g_quarantineOpen{false};  // a quick look, without the lock

// Keeps every block released while it lives (by threads not paused), unfreed and untouched, and
// searches them when asked; frees them when it goes. Blocks released later than a search are not
// searched. One at a time.
class Quarantine {
public:
    Quarantine() {
        std::lock_guard lock(g_quarantineList.mutex);
        g_quarantineList.open = true;
        g_quarantineOpen = true;
    }
    ~Quarantine() {
        void** blocks;
        size_t count;
        {
            std::lock_guard lock(g_quarantineList.mutex);
            g_quarantineList.open = false;
            g_quarantineOpen = false;
            blocks = std::exchange(g_quarantineList.blocks, nullptr);
            count = std::exchange(g_quarantineList.count, 0);
            g_quarantineList.capacity = 0;
        }
        for (size_t i = 0; i < count; ++i) free(blocks[i]);
        free(blocks);
    }
    Quarantine(const Quarantine&) = delete;
    Quarantine& operator=(const Quarantine&) = delete;

    // Takes the block; false when no quarantine is open or the list cannot grow (the caller
    // frees it then).
    static bool keep(void* block) {
        QuarantineList& list = g_quarantineList;
        std::lock_guard lock(list.mutex);
        if (!list.open) return false;
        if (list.count == list.capacity) {
            const size_t grown = list.capacity == 0 ? 4096 : list.capacity * 2;
            void* blocks = realloc(list.blocks, grown * sizeof(void*));
            if (blocks == nullptr) return false;
            list.blocks = static_cast<void**>(blocks);
            list.capacity = grown;
        }
        list.blocks[list.count++] = block;
        return true;
    }
    // How many kept blocks hold the bytes.
    size_t holding(const void* bytes, size_t length) {
        QuarantineList& list = g_quarantineList;
        std::lock_guard lock(list.mutex);
        size_t found = 0;
        for (size_t i = 0; i < list.count; ++i) {
            const size_t size = malloc_usable_size(list.blocks[i]);
            if (length > 0 && size >= length && memmem(list.blocks[i], size, bytes, length) != nullptr) ++found;
        }
        return found;
    }
    size_t kept() {
        std::lock_guard lock(g_quarantineList.mutex);
        return g_quarantineList.count;
    }
};

// Whether a quarantine took the block.
__attribute__((noinline)) inline bool quarantined(void* block) {
    return block != nullptr && t_paused == 0 && g_quarantineOpen.load() && Quarantine::keep(block);
}

// Kept out of line: inlined into a delete of a known small block, GCC would warn about the scan.
__attribute__((noinline)) inline void inspect(void* block) {
    if (block == nullptr || !g_armed.load() || t_paused > 0) return;
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
    if (freedscan::quarantined(p)) return;
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
