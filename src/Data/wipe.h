#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "Data/securevector.h"

// The one home for wiping secrets that live outside SecureVector and GC_Bytes: where an interface
// fixes a std::vector or std::string (a PIN handed by value, a cipher helper's output), these make
// sure no copy of the secret survives in freed memory.

// Overwrites the whole block of a vector, its spare capacity included (a vector that shrank keeps
// the old bytes there), and leaves the size unchanged.
inline void gc_wipe(std::vector<unsigned char>& bytes) {
    if (bytes.capacity() == 0) return;
    const size_t size = bytes.size();
    bytes.resize(bytes.capacity());
    OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.resize(size);
}

// Overwrites a block of memory (a fixed buffer, or the part of one that was used).
inline void gc_wipe(void* bytes, size_t count) {
    OPENSSL_cleanse(bytes, count);
}

// Overwrites the characters of a string and its spare capacity.
inline void gc_wipe(std::string& text) {
    if (text.capacity() == 0) return;
    const size_t size = text.size();
    text.resize(text.capacity());
    OPENSSL_cleanse(text.data(), text.size());
    text.resize(size);
}

// Overwrites every tag and value of a parsed tree (nodes with tag, value and children, such as
// GC_ASN1::item), the spare capacity of each included; the tree keeps its shape.
template <typename Node>
requires requires(Node& node) {
    node.tag;
    node.value;
    node.children;
}
void gc_wipe(std::vector<Node>& nodes) {
    for (Node& node : nodes) {
        gc_wipe(node.children);
        gc_wipe(node.tag);
        gc_wipe(node.value);
    }
}

// Wipes any number of byte vectors when the scope ends, whatever path is taken. A vector that was
// moved on is empty by then and costs nothing.
class GC_WipeGuard {
public:
    GC_WipeGuard(std::initializer_list<std::vector<unsigned char>*> vectors) : vectors_(vectors) {}
    ~GC_WipeGuard() {
        for (auto* v : vectors_) {
            if (v != nullptr) gc_wipe(*v);
        }
    }
    GC_WipeGuard(const GC_WipeGuard&) = delete;
    GC_WipeGuard& operator=(const GC_WipeGuard&) = delete;

private:
    std::vector<std::vector<unsigned char>*> vectors_;
};

// A std::vector scratch buffer for interfaces that take std::vector, wiped when it goes out of
// scope. Its capacity is reserved up front so that filling it never reallocates and leaves no
// unwiped copy behind.
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
        gc_wipe(v);
        v.clear();
    }

    SecureVector<unsigned char> secure() const { return SecureVector<unsigned char>(v.data(), v.size()); }

    std::vector<unsigned char> v;
};

// A fixed-size stack buffer wiped when it goes out of scope (key halves, intermediate blocks).
template <size_t N>
struct GC_WipedArray {
    unsigned char b[N] = {};
    ~GC_WipedArray() { OPENSSL_cleanse(b, N); }
    static constexpr size_t size() { return N; }
};
