#pragma once

// Extends the freed-memory scan of freed_memory_scan.h to OpenSSL's own blocks: its allocator is
// replaced, before anything is allocated, by one that hands every block released (or moved by a
// realloc) to the same scan. A context that held a key and was freed without wiping shows up.
//
// Include right after support/freed_memory_scan.h, in the same one source file of a test program
// of its own.
#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace freedscan {

inline bool g_opensslHooked = false;
inline std::atomic<int> g_opensslFrees{0};  // OpenSSL blocks released while armed

inline void* opensslMalloc(size_t size, const char*, int) {
    return freshBlock(size);
}

// Always a new block, zeroed beyond what is copied, so that the old one passes the scan on its way
// out.
inline void* opensslRealloc(void* block, size_t size, const char*, int) {
    if (block == nullptr) return freshBlock(size);
    void* fresh = freshBlock(size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, block, std::min(size, malloc_usable_size(block)));
    if (quarantined(block)) return fresh;
    inspect(block);
    free(block);
    return fresh;
}

inline void opensslFree(void* block, const char*, int) {
    if (block != nullptr && g_armed.load()) ++g_opensslFrees;
    if (quarantined(block)) return;
    inspect(block);
    free(block);
}

// Before main and before any other constructor of the program: OpenSSL refuses new allocator
// functions once it has allocated anything.
__attribute__((constructor(101))) inline void hookOpenSsl() {
    g_opensslHooked = CRYPTO_set_mem_functions(opensslMalloc, opensslRealloc, opensslFree) == 1;
}

}  // namespace freedscan
