#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <vector>

#include "Data/securevector.h"

// A std::vector scratch buffer for the cipher helpers' std::vector interfaces that is wiped when
// it goes out of scope. Its capacity is reserved up front so that filling it never reallocates
// and leaves no unwiped copy behind.
class GC_WipedBuffer {
public:
    explicit GC_WipedBuffer(size_t capacity = 0) { v.reserve(capacity); }
    GC_WipedBuffer(const unsigned char* bytes, size_t count, size_t capacity = 0) {
        v.reserve(capacity > count ? capacity : count);
        v.assign(bytes, bytes + count);
    }
    explicit GC_WipedBuffer(const SecureVector<unsigned char>& bytes, size_t capacity = 0)
        : GC_WipedBuffer(bytes.data(), bytes.size(), capacity) {}
    ~GC_WipedBuffer() { wipe(); }

    GC_WipedBuffer(const GC_WipedBuffer&) = delete;
    GC_WipedBuffer& operator=(const GC_WipedBuffer&) = delete;

    // Wipes the whole reserved block and empties the vector.
    void wipe() {
        if (v.capacity() > 0) {
            v.resize(v.capacity());
            OPENSSL_cleanse(v.data(), v.size());
        }
        v.clear();
    }

    SecureVector<unsigned char> secure() const { return SecureVector<unsigned char>(v.data(), v.size()); }

    std::vector<unsigned char> v;
};
