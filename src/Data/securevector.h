#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

// A minimal growable array for secrets. Every block it allocates is zero-filled, and every
// block is wiped over its elements in use before it is released, so that freed memory holds
// none of its content. Growth is exact (no spare capacity), so nothing lingers in slack space.
template <typename T>
class SecureVector {
    static_assert(std::is_trivially_copyable_v<T>, "SecureVector holds plain bytes only");

public:
    SecureVector() = default;

    SecureVector(const T* data, size_t count) { appendRaw(data, count); }

    SecureVector(const SecureVector& other) {
        if (other.size_ == 0) return;
        block_ = allocate(other.size_);
        capacity_ = other.size_;
        std::memcpy(block_, other.block_, other.size_ * sizeof(T));
        size_ = other.size_;
    }

    SecureVector(SecureVector&& other) noexcept : block_(other.block_), size_(other.size_), capacity_(other.capacity_) {
        other.block_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
    }

    SecureVector& operator=(const SecureVector& other) {
        if (this == &other) return *this;
        SecureVector copy(other);
        swap(copy);
        return *this;
    }

    SecureVector& operator=(SecureVector&& other) noexcept {
        if (this == &other) return *this;
        release();
        swap(other);
        return *this;
    }

    ~SecureVector() { release(); }

    void push_back(const T& value) {
        if (size_ >= capacity_) grow(capacity_ + 1);
        block_[size_++] = value;
    }

    void append(const SecureVector& other) {
        // Copy first: the argument may be this very vector, whose block growth releases.
        if (&other == this) {
            SecureVector copy(other);
            appendRaw(copy.block_, copy.size_);
            return;
        }
        appendRaw(other.block_, other.size_);
    }

    void appendRaw(const T* data, size_t count) {
        if (count == 0) return;
        if (size_ + count > capacity_) grow(size_ + count);
        std::memcpy(block_ + size_, data, count * sizeof(T));
        size_ += count;
    }

    // Wipes and shortens by one element; the block is kept.
    void pop_back() {
        if (size_ == 0) return;
        block_[--size_] = T{};
    }

    // Wipes the whole block (its full capacity); the size is unchanged.
    void wipe() {
        if (block_ != nullptr) OPENSSL_cleanse(block_, capacity_ * sizeof(T));
    }

    // Wipes and releases the block.
    void clear() { release(); }

    T* data() { return block_; }
    const T* data() const { return block_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return block_[i]; }
    const T& operator[](size_t i) const { return block_[i]; }
    T* begin() { return block_; }
    T* end() { return block_ + size_; }
    const T* begin() const { return block_; }
    const T* end() const { return block_ + size_; }

    void swap(SecureVector& other) noexcept {
        std::swap(block_, other.block_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    static T* allocate(size_t count) {
        auto* block = static_cast<T*>(::operator new(count * sizeof(T)));
        std::memset(static_cast<void*>(block), 0, count * sizeof(T));
        return block;
    }

    void grow(size_t newCapacity) {
        T* fresh = allocate(newCapacity);
        if (size_ > 0) std::memcpy(fresh, block_, size_ * sizeof(T));
        if (block_ != nullptr) {
            OPENSSL_cleanse(block_, size_ * sizeof(T));
            ::operator delete(block_);
        }
        block_ = fresh;
        capacity_ = newCapacity;
    }

    void release() {
        if (block_ != nullptr) {
            // The whole block: pop_back leaves wiped elements behind, but be sure of the slack too.
            OPENSSL_cleanse(block_, capacity_ * sizeof(T));
            ::operator delete(block_);
        }
        block_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }

    T* block_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};
