#pragma once

// Replaces the global operator new and delete so that, while a test has armed the scan, every
// block released through operator delete is searched for a canary: buffers that held a secret
// must leave none of it in freed memory. For secrets known only at the end (the session keys a
// PACE run derives), a Quarantine keeps the released blocks instead, to be searched afterwards.
//
// Every block these operators hand out starts zeroed, so that a block the scan looks at holds only
// what was written into it, never what an earlier owner of the memory left there (another party
// that freed it unwiped on the same thread). With GC_SCAN_TRACES=1 in the environment, a
// quarantine tells where each block it found was allocated and freed (it costs a backtrace per
// allocation and release, and their memory).
//
// Include this header in exactly one source file of a test program of its own (the replacement
// operators may exist once per program, and they must never reach the shared unit-test program).
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>

namespace freedscan {

inline constexpr size_t kCanaryLength = 12;
inline unsigned char g_canary[kCanaryLength];
inline std::atomic<bool> g_armed{false};
inline std::atomic<int> g_leaks{0};

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

// Whether the bytes stand in the memory. With `digits` (a PIN, a CAN), not where they are part of a
// run of 16 or more hex digits: a long hex dump spells any six digits now and then. Bytes that are
// not all hex digits cannot be part of such a run, and are found wherever they stand.
inline bool standsIn(const void* memory, size_t size, const void* bytes, size_t length, bool digits) {
    const unsigned char* const wanted = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; digits && i < length; ++i) digits = isxdigit(wanted[i]) != 0;
    const char* const start = static_cast<const char*>(memory);
    const char* const end = start + size;
    for (const char* at = start; length > 0; ++at) {
        at = static_cast<const char*>(memmem(at, static_cast<size_t>(end - at), bytes, length));
        if (at == nullptr) return false;
        const char* from = at;
        const char* to = at + length;
        while (from > start && isxdigit(static_cast<unsigned char>(from[-1]))) --from;
        while (to < end && isxdigit(static_cast<unsigned char>(*to))) ++to;
        if (!digits || to - from < 16) return true;
    }
    return false;
}

// The forms a secret takes in memory: its bytes; hex of either case, the bytes side by side or
// parted by a blank or a colon; and base64 in each of the three alignments a secret can have in an
// encoded text, as the characters its bytes alone decide (8, 7 and 7 of them for six bytes).
//
// Chance alone: the token's road frees some 1.3 GB, 2.6 MB of it in runs of base64 characters and
// 350 MB in hex dumps, so a base64 form (42 bits and more) or a hex one (48 bits and more) meets
// one by chance about once in a million runs. A base64 form of hex digits only (about one 6-byte
// secret in a thousand has one) would meet the dumps far more often: like the digits of a PIN, it
// does not count inside a run of 16 hex digits or more.
//
// Built without the heap, so that the scan inside operator delete can use it; a secret longer than
// kMaxSecret counts by its start.
struct Forms {
    static constexpr size_t kMaxSecret = 64;
    static constexpr size_t kCount = 10;
    static constexpr size_t kFirstBase64 = 7;
    static constexpr const char* kNames[kCount] = {"raw", "hex", "hex", "hex", "HEX", "HEX", "HEX",
                                                   "base64", "base64", "base64"};
    unsigned char text[kCount][3 * kMaxSecret] = {};
    size_t length[kCount] = {};

    Forms() = default;
    Forms(const void* secret, size_t size) {
        const unsigned char* const s = static_cast<const unsigned char*>(secret);
        const size_t n = size < kMaxSecret ? size : kMaxSecret;
        memcpy(text[0], s, n);
        length[0] = n;
        size_t form = 1;
        for (const char* digits : {"0123456789abcdef", "0123456789ABCDEF"}) {
            for (const char separator : {'\0', ' ', ':'}) {
                size_t at = 0;
                for (size_t i = 0; i < n; ++i) {
                    if (i > 0 && separator != '\0') text[form][at++] = static_cast<unsigned char>(separator);
                    text[form][at++] = static_cast<unsigned char>(digits[s[i] >> 4]);
                    text[form][at++] = static_cast<unsigned char>(digits[s[i] & 0x0F]);
                }
                length[form++] = at;
            }
        }
        static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t before = 0; before < 3; ++before) {  // bytes of its group of three before the secret
            // Character c stands for bits 6c to 6c + 5 of the encoded bytes; the secret's start at bit 8 * before.
            size_t at = 0;
            for (size_t c = (8 * before + 5) / 6; c < 8 * (before + n) / 6; ++c) {
                unsigned value = 0;
                for (size_t bit = 6 * c; bit < 6 * c + 6; ++bit) value = value << 1 | (s[bit / 8 - before] >> (7 - bit % 8) & 1);
                text[form][at++] = static_cast<unsigned char>(kAlphabet[value]);
            }
            length[form++] = at;
        }
    }

    // The name of the first form that stands in the memory, or nullptr. `digits` as for standsIn,
    // for the bytes themselves.
    const char* in(const void* memory, size_t size, bool digits = false) const {
        for (size_t i = 0; i < kCount; ++i)
            if (standsIn(memory, size, text[i], length[i], (i == 0 && digits) || i >= kFirstBase64)) return kNames[i];
        return nullptr;
    }
};

// The calls that led to an allocation or a release, innermost first.
struct Trace {
    void* frames[16];
    int depth = 0;
    __attribute__((noinline)) void take() { depth = backtrace(frames, 16); }
    // One line per call, by name where the program exports it (ENABLE_EXPORTS).
    std::string text() const {
        std::string lines;
        for (int i = 2; i < depth; ++i) {  // without the scan's own two calls
            Dl_info info{};
            if (dladdr(frames[i], &info) == 0) info = Dl_info{};
            char offset[32] = "";
            if (info.dli_sname == nullptr && info.dli_fbase != nullptr)
                snprintf(offset, sizeof offset, "+%#zx",
                         static_cast<size_t>(static_cast<char*>(frames[i]) - static_cast<char*>(info.dli_fbase)));
            char* name = info.dli_sname ? abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, nullptr) : nullptr;
            const char* shown = name ? name : info.dli_sname ? info.dli_sname : info.dli_fname ? info.dli_fname : "?";
            lines += std::string("    ") + shown + offset + "\n";
            free(name);
        }
        return lines;
    }
};

// Grows with realloc, never through operator new.
template <typename T>
struct RawList {
    T* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    bool push(const T& item) {
        if (count == capacity) {
            const size_t grown = capacity == 0 ? 4096 : capacity * 2;
            void* moved = realloc(items, grown * sizeof(T));
            if (moved == nullptr) return false;
            items = static_cast<T*>(moved);
            capacity = grown;
        }
        items[count++] = item;
        return true;
    }
};

// The blocks a quarantine keeps and, with traces on, where the blocks that threads not paused
// allocate or release while it is open come from and go (newest last). Static and reached only
// under its lock: a thread that frees while the quarantine ends (a card's queue ends its session
// on its own thread, whenever it gets to it) either hands its block over before the list is taken
// or frees it as usual, and never meets a list that is gone.
struct QuarantineList {
    std::mutex mutex;
    bool open = false;
    RawList<void*> kept;
    struct Event {
        void* block;
        bool freed;
        Trace trace;
    };
    RawList<Event> events;
};
inline constinit QuarantineList g_quarantineList{};
inline std::atomic<bool> g_quarantineOpen{false};  // a quick look, without the lock
inline std::atomic<bool> g_traces{false};

// Keeps every block released while it lives (by threads not paused), unfreed and untouched, and
// searches them when asked; frees them when it goes. Blocks released later than a search are not
// searched. One at a time.
class Quarantine {
public:
    Quarantine() {
        const char* traces = getenv("GC_SCAN_TRACES");
        g_traces = traces != nullptr && strcmp(traces, "1") == 0;
        if (g_traces) Trace().take();  // the first one loads the unwinder: not inside an allocation
        std::lock_guard lock(g_quarantineList.mutex);
        g_quarantineList.open = true;
        g_quarantineOpen = true;
    }
    ~Quarantine() {
        RawList<void*> kept;
        RawList<QuarantineList::Event> events;
        {
            std::lock_guard lock(g_quarantineList.mutex);
            g_quarantineList.open = false;
            g_quarantineOpen = false;
            std::swap(kept, g_quarantineList.kept);
            std::swap(events, g_quarantineList.events);
        }
        for (size_t i = 0; i < kept.count; ++i) free(kept.items[i]);
        free(kept.items);
        free(events.items);
    }
    Quarantine(const Quarantine&) = delete;
    Quarantine& operator=(const Quarantine&) = delete;

    // Takes the block; false when no quarantine is open or the list cannot grow (the caller
    // frees it then).
    static bool keep(void* block) {
        QuarantineList::Event event{block, true, {}};
        if (g_traces) event.trace.take();
        std::lock_guard lock(g_quarantineList.mutex);
        if (!g_quarantineList.open || !g_quarantineList.kept.push(block)) return false;
        if (g_traces) g_quarantineList.events.push(event);
        return true;
    }
    // Notes where a block handed out while the quarantine is open comes from.
    static void allocated(void* block) {
        if (!g_traces.load() || !g_quarantineOpen.load() || t_paused > 0) return;
        QuarantineList::Event event{block, false, {}};
        event.trace.take();
        std::lock_guard lock(g_quarantineList.mutex);
        if (g_quarantineList.open) g_quarantineList.events.push(event);
    }
    // How many kept blocks hold the bytes in one of their forms (see Forms).
    size_t holding(const void* bytes, size_t length, bool digits = false) {
        const Forms forms(bytes, length);
        std::lock_guard lock(g_quarantineList.mutex);
        size_t found = 0;
        for (size_t i = 0; i < g_quarantineList.kept.count; ++i)
            found += formIn(g_quarantineList.kept.items[i], forms, digits) != nullptr ? 1 : 0;
        return found;
    }
    // Each kept block that holds the bytes: its size, where it was allocated and where freed (its
    // newest events). From a paused thread: it allocates under the lock.
    std::string where(const void* bytes, size_t length, bool digits = false) {
        if (!g_traces) return "(GC_SCAN_TRACES=1 tells where each block was allocated and freed)\n";
        const Forms forms(bytes, length);
        std::lock_guard lock(g_quarantineList.mutex);
        std::string text;
        for (size_t i = 0; i < g_quarantineList.kept.count; ++i) {
            void* block = g_quarantineList.kept.items[i];
            const char* form = formIn(block, forms, digits);
            if (form == nullptr) continue;
            text += "a block of " + std::to_string(malloc_usable_size(block)) + " bytes (" + form + ")";
            std::string told[2];  // allocated, freed
            for (size_t at = g_quarantineList.events.count; at-- > 0;) {
                const QuarantineList::Event& event = g_quarantineList.events.items[at];
                if (event.block == block && told[event.freed].empty()) told[event.freed] = event.trace.text();
            }
            text += ", allocated " +
                    (told[0].empty() ? "before the quarantine or by a paused thread\n" : "at\n" + told[0]) +
                    "freed at\n" + told[1];
        }
        return text;
    }
    size_t kept() {
        std::lock_guard lock(g_quarantineList.mutex);
        return g_quarantineList.kept.count;
    }

private:
    static const char* formIn(void* block, const Forms& forms, bool digits) {
        return forms.in(block, malloc_usable_size(block), digits);
    }
};

// A block from malloc, zeroed over all of it.
inline void* freshBlock(size_t size) {
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    memset(block, 0, malloc_usable_size(block));
    Quarantine::allocated(block);
    return block;
}

// Whether a quarantine took the block.
__attribute__((noinline)) inline bool quarantined(void* block) {
    return block != nullptr && t_paused == 0 && g_quarantineOpen.load() && Quarantine::keep(block);
}

inline Forms g_canaryForms;

// Made at run time so that no literal holds it; printable so that it also fits in a label.
inline void makeCanary() {
    for (size_t i = 0; i < kCanaryLength; ++i) g_canary[i] = static_cast<unsigned char>('A' + (i * 7) % 26);
    g_canaryForms = Forms(g_canary, kCanaryLength);
}

// Kept out of line: inlined into a delete of a known small block, GCC would warn about the scan.
__attribute__((noinline)) inline void inspect(void* block) {
    if (block == nullptr || !g_armed.load() || t_paused > 0) return;
    const size_t size = malloc_usable_size(block);
    if (g_canaryForms.in(block, size) != nullptr) ++g_leaks;
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
    if (void* p = freedscan::freshBlock(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
// The non-throwing forms too (the logger takes its line buffers so): each must pair with the
// replaced delete.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return freedscan::freshBlock(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return freedscan::freshBlock(size);
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
