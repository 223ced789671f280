// ICAO Doc 9303 Part 11 secure-messaging worked example (3DES session after BAC).

#include <gtest/gtest.h>

#include "Protocols/securemessaging.h"
#include "support/hex.h"

using gctest::hex;
using gctest::secureHex;
using gctest::unhex;

namespace {

GC_SecureMessaging::sm_params icaoSession(const char* ssc = "887022120C06C226") {
    GC_SecureMessaging::sm_params p;
    p.Kenc = secureHex("979EC13B1CBFE9DCD01AB0FED307EAE5");
    p.Kmac = secureHex("F1CB1F1FB5ADF208806B89DC579DC1F8");
    p.SSC = secureHex(ssc);
    p.algorithm = 1;
    return p;
}

// Published protected SELECT without DO97; these commands always carry DO97 (asking for
// everything) even without Le, which changes Lc and the MAC.
constexpr const char* kPublishedSelect = "0CA4020C158709016375432908C044F68E08BF8B92D635FF24F800";

// The example's three commands and answers in sequence, the counter running on; each answer read
// one counter step late fails its checksum and gives nothing.
TEST(SecureMessagingIcao, TheWorkedExample) {
    struct step {
        const char* command;
        const char* protectedCommand;
        const char* response;
        const char* plain;
    };
    // clang-format off
    const step steps[] = {
        {"00A4020C02011E", "0CA4020C188709016375432908C044F69701008E08615C72F5870B2B8600", "990290008E08FA855A5D4C50A8ED9000", "9000"},
        {"00B0000004", "0CB000000D9701048E08ED6705417E96BA5500", "8709019FF0EC34F9922651990290008E08AD55CC17140B2DED9000", "60145F019000"},
        {"00B0000412", "0CB000040D9701128E082EA28A70F3C7B53500", "871901FB9235F4E4037F2327DCC8964F1F9B8C30F42C8E2FFF224A990290008E08C8B2787EAEA07D749000", "04303130365F36063034303030305C0261759000"},
    };
    // clang-format on
    auto s = icaoSession();
    std::vector<unsigned char> out;
    for (const step& st : steps) {
        SCOPED_TRACE(st.command);
        ASSERT_EQ(GC_SecureMessaging::smProtectAPDU(&s, unhex(st.command), out), 0);
        EXPECT_EQ(hex(out), st.protectedCommand);
        EXPECT_NE(hex(out), kPublishedSelect);
        auto late = s;
        GC_SecureMessaging::increment_ssc(&late);
        EXPECT_EQ(GC_SecureMessaging::smFreeAPDU(&late, unhex(st.response), out), GC_SecureMessaging::kMacMismatch);
        EXPECT_TRUE(out.empty());
        ASSERT_EQ(GC_SecureMessaging::smFreeAPDU(&s, unhex(st.response), out), 0);
        EXPECT_EQ(hex(out), st.plain);
    }
    EXPECT_EQ(hex(s.SSC), "887022120C06C22C");
}

}  // namespace
