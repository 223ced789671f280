// The PIN of the platform's PIN operation leaves nothing in freed memory: neither the block a
// replaced PIN lived in nor the operation itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/ctk_token.h"
#include "support/freed_memory_scan.h"

namespace {

using freedscan::Armed;

// The canary, followed by enough digits to live in a heap block of its own (and not inside the
// string object), or short enough to live inside it.
std::string pinWithCanary(size_t padding) {
    freedscan::makeCanary();
    return std::string(reinterpret_cast<const char*>(freedscan::g_canary), freedscan::kCanaryLength) +
           std::string(padding, '7');
}

TEST(PinOperationWipe, ReplacedAndReleasedPinsLeaveNoTrace) {
    for (size_t padding : {size_t{0}, size_t{20}}) {
        SCOPED_TRACE(padding);
        const std::string pin = pinWithCanary(padding);
        auto operation = std::make_shared<ctk::TokenSmartCardPINAuthOperation>();
        Armed armed;
        operation->setPIN(pin);
        EXPECT_EQ(operation->PIN(), pin);
        operation->setPIN(std::string(64, '1'));  // longer: the PIN moves to a new block
        operation->setPIN(pin);
        operation.reset();
        EXPECT_EQ(armed.leaks(), 0);
    }
}

}  // namespace
