#pragma once

#include <vector>

#include "Data/securevector.h"

// The library's byte-and-text buffer. Its content and its NUL-terminated text copy both live
// in SecureVectors, so every block is zero-filled when allocated and wiped before release.
// Text is stored without a terminating NUL.
class GC_Bytes {
public:
    GC_Bytes() = default;
    GC_Bytes(const std::vector<char>& bytes, unsigned long count);
    GC_Bytes(const std::vector<unsigned char>& bytes, unsigned long count);
    GC_Bytes(const SecureVector<char>& bytes, unsigned long count);
    GC_Bytes(const SecureVector<unsigned char>& bytes, unsigned long count);
    // printf-style; texts of 5000 bytes or more are cut to 4999.
    explicit GC_Bytes(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Copies and moves are deep: a moved-from buffer keeps its bytes until it is destroyed.
    GC_Bytes(const GC_Bytes& other);
    GC_Bytes(GC_Bytes&& other);
    GC_Bytes& operator=(const GC_Bytes& other);
    GC_Bytes& operator=(GC_Bytes&& other);
    ~GC_Bytes();

    // Counted forms: 0 (or a count above the size) takes every byte, except the
    // SecureVector<char> form, which takes exactly count bytes (at most its size).
    void append(const std::vector<char>& bytes, unsigned long count);
    void append(const std::vector<unsigned char>& bytes, unsigned long count);
    void append(const SecureVector<char>& bytes, unsigned long count);
    void append(const SecureVector<unsigned char>& bytes, unsigned long count);
    // Exactly count bytes from the pointer.
    void append(const char* bytes, unsigned long count);
    void append(const unsigned char& byte);
    void append(GC_Bytes other);
    void push_back(unsigned char byte);
    void appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    SecureVector<unsigned char> data() const { return content_; }
    std::vector<unsigned char> dataVector() const;
    const unsigned char* begin() const { return content_.begin(); }
    const unsigned char* end() const { return content_.end(); }
    // NUL-terminated copy of the content; valid until the next c_str, assignment or destruction.
    const char* c_str();
    int length() const;
    int size() const;
    bool empty() const { return content_.empty(); }

    int find(const char* needle) const;
    int find_last_of(unsigned char byte) const;
    GC_Bytes substr(long long pos, long long len) const;
    GC_Bytes subTo(unsigned long from, unsigned long to) const;
    GC_Bytes rstrip() const;
    GC_Bytes toHex(bool spaces, bool upper) const;
    GC_Bytes toPlainText() const;

    bool operator==(const GC_Bytes& other) const;

    // Zeroes the whole block; the size is unchanged.
    void fill0();
    void pop_back();

private:
    void appendSecure(const SecureVector<unsigned char>& bytes);

    SecureVector<unsigned char> content_;
    SecureVector<unsigned char> text_;
};
