// The card core in process: what it refuses, its fault hooks and its command log. A card more
// lenient than the real ones, or a hook that does nothing, would let faults of the driver pass
// the product's tests; the rest of the card is checked by those tests through the driver.
#include <gtest/gtest.h>

#include <sstream>

#include "cardsim.h"

using namespace cardsim;

namespace {

struct Answer {
    Bytes data;
    uint16_t sw = 0;
};

Answer send(CardSim& card, const std::string& hex) {
    const auto command = fromHex(hex);
    EXPECT_TRUE(command) << hex;
    const Bytes r = card.transmit(command.value_or(Bytes{}));
    if (r.size() < 2) return {r, 0};
    return {Bytes(r.begin(), r.end() - 2), static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back())};
}

uint16_t sw(CardSim& card, const std::string& hex) {
    return send(card, hex).sw;
}

CardConfig plainConfig(Personality p) {
    CardConfig c;
    c.personality = p;
    c.requireSecureMessaging = false;
    return c;
}

}  // namespace

// Each command after the commands that bring the card there (each answered 90 00 or a warning:
// 61 xx, 62 xx, 63 xx).
TEST(CardSimCore, MalformedAndUnsupportedCommands) {
    constexpr Personality G = Personality::Generic, V1 = Personality::Varnel1, V2 = Personality::Varnel2;
    const std::string app = "00A4040C0AA000000167455349474E,";  // the signature application
    const std::string pkcs15 = "00A4040C0CA000000063504B43532D3135,";
    struct Case {
        Personality personality;
        uint8_t deactivated;  // a PIN whose directory starts deactivated (0: none)
        std::string before;   // commands, each followed by a comma
        std::string command;
        uint16_t sw;
    };
    // clang-format off
    const Case cases[] = {
        {V2, 0, "", "00A4", 0x6700},                 // no header
        {V2, 0, "", "00A4040C05A000", 0x6700},       // Lc longer than the data
        {V2, 0, "", "00A4040C02A00000FF", 0x6700},   // bytes after Le
        {V2, 0, "", "00B0000000000100FF", 0x6700},   // extended Lc and a one-byte Le
        {V2, 0, "", "80E4000000", 0x6E00},           // proprietary class, not one of its instructions
        {V2, 0, "", "A0A4000C023F00", 0x6E00},
        {V2, 0, "", "00FE000000", 0x6D00},
        {V2, 0, "", "10A4000C023F00", 0x6884},       // chaining outside PACE
        {V2, 0, "", "0CA4000C023F00", 0x6988},       // protected without a channel
        {V2, 0, "", "00CB7FFF04", 0x6C08},
        {V2, 0, "", "00CB3FFF04", 0x6A88},
        {G, 0, "00A4020C022F00,", "00B00000000100", 0x6700},                                   // no extended length
        {V1, 0, app + "00A4020C025083,00D6000000 0200" + std::string(1024, 'A') + ",", "00D6000000 0201" + std::string(1026, 'A'), 0x6700},  // 512 bytes of data at most
        {V1, 0, "", "00A4010C02DF01", 0x6A82},                                                 // a PIN directory is below the application
        {V1, 0, app, "00A4020C02DF0C", 0x6A82},                                                // the first generation selects no DF with P1 02
        {V2, 0, "", "00A4020C025081", 0x6A82},                                                 // not below the MF
        {V2, 0, app + "00A4010C02ADFC,00A4010C02DF0C,", "00A4020C025081", 0x6A82},             // another container's file
        {G, 0, pkcs15, "00A4020C022F00", 0x6A82},                                              // EF.DIR is not in the application
        {V2, 0, "", "00A40002023F00", 0x6A86},                                                 // next occurrence
        {V2, 0, "", "00A4050C023F00", 0x6A86},
        {G, 0, "", "00B0000010", 0x6986},                                                      // no current EF
        {G, 0, "00A4020C022F00,", "00B07F0010", 0x6B00},                                       // beyond the end
        {G, 0, "00A4020C022F00,", "00B00000", 0x6700},                                         // no Le
        {G, 0, "", "00B09D0000", 0x6A82},                                                      // no such short file identifier
        {V2, 0, "", "00C0000000", 0x6985},                                                     // nothing to get
        {V2, 0, "00A40800085015ADF1DF015081,00B00000000800,00A4030C,", "00C0000000", 0x6985},  // another command ended the chain
        {V1, 0, "", "00200099", 0x6A88},                                                       // no such PIN
        {V1, 0, "", "0020008A", 0x6A88},                                                       // a PIN specific to its application (b8 1), outside it
        {V1, 0, "", "00200181", 0x6A86},
        {V1, 0, app + "00A4010C02DF0A,", "002C028A06373737373737", 0x6982},                    // unblock: the PUK not verified
        {V2, 0, app + "00A4020C02ADF1,", "0024018106353535353535", 0x6982},                    // change to a new PIN alone: the PIN not verified
        {V2, 0, app + "00A4020C02ADF1,", "002C0381", 0x6982},                                  // reset retry counter: the PUK not verified
        {V2, 0, app + "00A4020C02ADF1,00200004083132333435363738,002C0381,0024018106373737373737,", "0024018106383838383838", 0x6982},  // the reset lets one change through
        {V1, 0x0C, app + "00A4010C02DF0C,00440000,002C028C06393939393939,", "002C028C06383838383838", 0x6982},  // so does activation
        {V2, 0, app, "0044000002ADF9", 0x6A82},                                                // activate: no such directory
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before.substr(0, 60) + " | " + c.command.substr(0, 40));
        CardConfig config = plainConfig(c.personality);
        if (c.deactivated) config.deactivatedPins = {c.deactivated};
        CardSim card(config);
        std::stringstream steps(c.before);
        for (std::string step; std::getline(steps, step, ',');) {
            const uint16_t s = sw(card, step);
            ASSERT_TRUE(s == 0x9000 || (s >> 8 >= 0x61 && s >> 8 <= 0x63))
                << step.substr(0, 40) << ": " << std::hex << s;
        }
        EXPECT_EQ(sw(card, c.command), c.sw);
    }
}

TEST(CardSimCore, SecureMessagingIsRequiredByBothGenerations) {
    for (Personality p : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(personalityName(p));
        CardConfig config;
        config.personality = p;
        CardSim card(config);
        ASSERT_EQ(sw(card, "00A4040C0AA000000167455349474E"), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C025032"), 0x9000);
        EXPECT_EQ(sw(card, "00B0000000"), 0x6982);
        EXPECT_EQ(sw(card, "00D6000001FF"), 0x6982);
        // the PIN's directory
        ASSERT_EQ(sw(card, p == Personality::Varnel1 ? "00A4010C02DF0A" : "00A4010C02ADF1"), 0x9000);
        EXPECT_EQ(sw(card, p == Personality::Varnel1 ? "0020008A06313131313131" : "0020000106313131313131"), 0x6982);
    }
}

TEST(CardSimCore, FaultHooks) {
    CardSim card(plainConfig(Personality::Generic));
    ASSERT_EQ(sw(card, "00A4020C02011C"), 0x9000);
    const Bytes content = card.file({0x01, 0x1C}).value();

    card.flipResponseByte();  // last byte before the status word
    Answer a = send(card, "00B0000000");
    ASSERT_EQ(a.data.size(), content.size());
    EXPECT_EQ(a.data.back(), content.back() ^ 0xFF);
    EXPECT_EQ(send(card, "00B0000000").data, content);  // once only

    card.truncateResponse(0);  // never empty: one byte stays
    EXPECT_EQ(card.transmit(*fromHex("00B0000000")).size(), 1u);
    card.truncateResponse(3);
    EXPECT_EQ(card.transmit(*fromHex("00B0000000")), Bytes(content.begin(), content.begin() + 3));

    card.cutAnswer({0xB0, -1, -1}, 2);
    EXPECT_EQ(sw(card, "00A4020C02011C"), 0x9000);  // not matching
    a = send(card, "00B0000000");
    EXPECT_EQ(a.data, Bytes(content.begin(), content.end() - 2));
    EXPECT_EQ(send(card, "00B0000000").data, content);  // once only

    card.answerStatus({0xB0, -1, -1}, 0x6581, 2);
    EXPECT_EQ(sw(card, "00A4020C02011C"), 0x9000);  // not matching
    EXPECT_EQ(sw(card, "00B0000000"), 0x6581);
    EXPECT_EQ(sw(card, "00B0000000"), 0x6581);
    EXPECT_EQ(sw(card, "00B0000000"), 0x6282);

    card.resetOnNextCommand();
    EXPECT_TRUE(card.transmit(*fromHex("00B0000000")).empty());
    EXPECT_EQ(card.takeEvent(), Event::Reset);
    EXPECT_EQ(card.takeEvent(), Event::None);
    EXPECT_EQ(sw(card, "00B0000000"), 0x6986);  // the selection went with the reset

    card.removeOnNextCommand(1);  // one more answer first
    EXPECT_EQ(sw(card, "00A4000C"), 0x9000);
    EXPECT_TRUE(card.transmit(*fromHex("00A4000C")).empty());
    EXPECT_EQ(card.takeEvent(), Event::Removed);
}

TEST(CardSimCore, CommandLogAndPowerEvents) {
    CardSim card(plainConfig(Personality::Generic));
    send(card, "00A4000C");
    card.powerOff();
    EXPECT_EQ(sw(card, "00A4000C"), 0x6F00);  // unpowered
    card.powerOn();
    card.reset();
    send(card, "00CB7FFF08");
    const auto log = card.log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].kind, LogEntry::Kind::Command);
    EXPECT_EQ(toHex(log[0].command), "00A4000C");
    EXPECT_EQ(toHex(log[0].response), "9000");
    EXPECT_FALSE(log[0].secure);
    EXPECT_EQ(log[1].kind, LogEntry::Kind::PowerOff);
    EXPECT_EQ(log[3].kind, LogEntry::Kind::PowerOn);
    EXPECT_EQ(log[4].kind, LogEntry::Kind::Reset);
    EXPECT_EQ(log[5].plainResponse.size(), 10u);
    card.clearLog();
    EXPECT_TRUE(card.log().empty());
}
