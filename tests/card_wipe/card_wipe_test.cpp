// The command builders take their PINs by value: every copy they were handed, on every path
// (success, a PIN too long, a value the card does not take), must be wiped before it is freed.
// Every block released through operator delete while a test is armed is scanned for a canary.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CardController/Card/card.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"
#include "Data/wipe.h"
#include "support/freed_memory_scan.h"

namespace {

using Bytes = std::vector<unsigned char>;
using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;

// The canary, preceded by `padding` bytes (a PIN of more than 255 bytes is refused).
Bytes secret(size_t padding = 0) {
    freedscan::makeCanary();
    Bytes v(padding, 0x5A);
    v.insert(v.end(), g_canary, g_canary + kCanaryLength);
    return v;
}

// One builder call: what it uses of `pin` and `newPin` is moved in, as the card controllers hand
// them over.
struct PinBuilder {
    const char* name;
    std::function<int(GC_Card&, Bytes& pin, Bytes& newPin, Bytes& apdu)> build;
    size_t padding = 0;
};

const PinBuilder kBuilders[] = {
    {.name = "verify",
     .build = [](GC_Card& c, Bytes& pin, Bytes&, Bytes& apdu) { return c.verifyPassword(0x81, std::move(pin), apdu); }},
    {.name = "change",
     .build = [](GC_Card& c, Bytes& pin, Bytes& newPin,
                 Bytes& apdu) { return c.changePassword(0x01, std::move(pin), std::move(newPin), apdu); }},
    {.name = "change to a new PIN only",
     .build = [](GC_Card& c, Bytes&, Bytes& newPin,
                 Bytes& apdu) { return c.changePassword(0x01, {}, std::move(newPin), apdu); }},
    {.name = "unblock with the new PIN",
     .build = [](GC_Card& c, Bytes& pin, Bytes&,
                 Bytes& apdu) { return c.unblockPassword(0x01, std::move(pin), apdu, true, {}); }},
    {.name = "unblock with code and new PIN",
     .build = [](GC_Card& c, Bytes& pin, Bytes& newPin,
                 Bytes& apdu) { return c.unblockPassword(0x01, std::move(pin), apdu, true, std::move(newPin)); }},
    {.name = "unblock without PIN",
     .build = [](GC_Card& c, Bytes& pin, Bytes& newPin,
                 Bytes& apdu) { return c.unblockPassword(0x01, std::move(pin), apdu, false, std::move(newPin)); }},
    // Refused before anything is built: the copies go all the same.
    {.name = "verify too long",
     .build = [](GC_Card& c, Bytes& pin, Bytes&, Bytes& apdu) { return c.verifyPassword(0x81, std::move(pin), apdu); },
     .padding = 300},
    {.name = "change too long",
     .build = [](GC_Card& c, Bytes& pin, Bytes& newPin,
                 Bytes& apdu) { return c.changePassword(0x01, std::move(pin), std::move(newPin), apdu); },
     .padding = 300},
    {.name = "unblock too long",
     .build = [](GC_Card& c, Bytes& pin, Bytes& newPin,
                 Bytes& apdu) { return c.unblockPassword(0x01, std::move(pin), apdu, true, std::move(newPin)); },
     .padding = 300},
};

struct CommandSet {
    const char* name;
    std::function<std::unique_ptr<GC_Card>()> make;
};

const CommandSet kCommandSets[] = {
    {"generic", [] { return std::make_unique<GC_Card>(); }},
    {"ChipDoc 2.0", [] { return std::make_unique<GC_CardChipdoc_2_0>(); }},
    {"ChipDoc 3.0", [] { return std::make_unique<GC_CardChipdoc_3_0>(); }},
};

}  // namespace

TEST(BuilderWiping, DetectorSeesAPlainVector) {
    Bytes pin = secret();
    Armed armed;
    { Bytes gone = std::move(pin); }
    EXPECT_GT(armed.leaks(), 0) << "the scan must catch an unwiped block, or the other tests prove nothing";
}

TEST(BuilderWiping, EveryPinCarryingBuilderOfEveryCommandSet) {
    for (const CommandSet& set : kCommandSets) {
        for (const PinBuilder& builder : kBuilders) {
            SCOPED_TRACE(std::string(set.name) + ": " + builder.name);
            auto card = set.make();
            Bytes pin = secret(builder.padding);
            Bytes newPin = secret(builder.padding);
            // The command carries the PIN to the card, and a value the call does not use stays
            // here: the test's own to wipe, outside the scan.
            Bytes apdu;
            GC_WipeGuard wipeOwn{&pin, &newPin, &apdu};
            {
                Armed armed;
                builder.build(*card, pin, newPin, apdu);
                EXPECT_EQ(armed.leaks(), 0);
            }
        }
    }
}
