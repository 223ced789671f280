#pragma once

#include <openssl/crypto.h>

#include <vector>

namespace gc_reader {

// Wipes a byte vector when the scope ends, whatever path is taken: the back-ends' copies of
// commands (a plain VERIFY carries the PIN), PIN structures and PACE passwords. A vector that
// was moved on is empty by then and left alone.
class WipeOnExit {
public:
    explicit WipeOnExit(std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    ~WipeOnExit() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::vector<unsigned char>& bytes_;
};

}  // namespace gc_reader
