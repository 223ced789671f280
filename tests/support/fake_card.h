#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/ctk_memory.h"

namespace gctest {

// A card answering in process: every command APDU is recorded and answered by `answer`
// (by default 90 00).
class FakeCard : public ctk::mem::Card {
public:
    using Answer = std::function<std::vector<unsigned char>(const std::vector<unsigned char>&)>;

    explicit FakeCard(std::vector<unsigned char> atr, Answer answer = nullptr)
        : atr_(std::move(atr)), answer_(std::move(answer)) {}

    std::vector<unsigned char> atr() override { return atr_; }

    std::vector<unsigned char> transmit(const std::vector<unsigned char>& apdu) override {
        std::lock_guard lock(mutex_);
        commands_.push_back(apdu);
        return answer_ ? answer_(apdu) : std::vector<unsigned char>{0x90, 0x00};
    }

    void reset() override {
        std::lock_guard lock(mutex_);
        ++resets_;
    }

    std::vector<std::vector<unsigned char>> commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    int resets() {
        std::lock_guard lock(mutex_);
        return resets_;
    }

private:
    std::vector<unsigned char> atr_;
    Answer answer_;
    std::mutex mutex_;
    std::vector<std::vector<unsigned char>> commands_;
    int resets_ = 0;
};

// The exact ATRs of the two supported card generations, as the card makers publish them.
inline const std::vector<unsigned char> kVarnel10Atr{0x3B, 0x84, 0x80, 0x01, 0x47, 0x43, 0x50, 0x43, 0x12};
inline const std::vector<unsigned char> kVarnel20Atr{0x3B, 0x89, 0x80, 0x01, 0x02, 0x4D, 0x4B,
                                                     0x4D, 0x57, 0x4B, 0x53, 0x4B, 0x54, 0x11};

}  // namespace gctest
