// The card core in process: personalisation, APDU forms, files, chaining, PINs, hooks.
#include <gtest/gtest.h>

#include <algorithm>

#include "cardsim.h"
#include "test_util.h"

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

const char* kSignatureAid = "A000000167455349474E";

}  // namespace

TEST(CardSimCore, PersonalisationLoadsForEveryPersonality) {
    for (Personality p : {Personality::Generic, Personality::Varnel1, Personality::Varnel2}) {
        CardConfig config;
        config.personality = p;
        CardSim card(config);
        EXPECT_TRUE(card.ok()) << personalityName(p) << ": " << card.error();
        EXPECT_EQ(card.atr(), defaultAtr(p));
        const Answer serial = send(card, "00CB7FFF08");
        EXPECT_EQ(serial.sw, 0x9000);
        EXPECT_EQ(serial.data, card.serialNumber());
        EXPECT_EQ(serial.data.size(), 8u);
        EXPECT_EQ(parsePersonality(personalityName(p)), p);
    }
    CardConfig another;
    another.serial = {0xC2, 0, 0, 0, 0, 0, 0, 0x02};
    CardSim other(another);
    EXPECT_EQ(send(other, "00CB7FFF08").data, another.serial);
    EXPECT_EQ(toHex(defaultAtr(Personality::Varnel1)), "3B8480014743504312");
    EXPECT_EQ(toHex(defaultAtr(Personality::Varnel2)), "3B898001024D4B4D574B534B5411");
    EXPECT_FALSE(parsePersonality("varnel3"));
}

TEST(CardSimCore, MissingPersonalisationAnswers6F00) {
    CardConfig config;
    config.dataDir = "/nonexistent";
    CardSim card(config);
    EXPECT_FALSE(card.ok());
    EXPECT_NE(card.error().find("/nonexistent"), std::string::npos);
    EXPECT_EQ(sw(card, "00A4000C023F00"), 0x6F00);
}

// The containers as the card controllers find them: PIN directories, object directories,
// content files allocated to 2048 bytes, public keys sharing their certificate's ID.
TEST(CardSimCore, ContainerLayoutOfBothGenerations) {
    struct Container {
        Personality personality;
        uint8_t pin;
        const char* label;
        Bytes directory;          // the PIN's directory below the application
        Bytes cio;                // object directory file, from the MF
        Bytes cert;               // certificate file, from the MF
        const char* certificate;  // personalisation DER, nullptr: empty container
        Bytes id;                 // ID of the key, its public key and its certificate
    };
    const Container containers[] = {
        {Personality::Varnel1,
         0x8A,
         "Authentication",
         {0xDF, 0x0A},
         {0x50, 0x15, 0x50, 0x81},
         {0x50, 0x15, 0x57, 0x81},
         "certs/v1_auth_p256.der",
         {0x45, 0x81}},
        {Personality::Varnel1,
         0x88,
         "Presence",
         {0xDF, 0x08},
         {0x50, 0x15, 0x50, 0x88},
         {0x50, 0x15, 0x57, 0x88},
         "certs/v1_presence_p521.der",
         {0x45, 0x88}},
        {Personality::Varnel1,
         0x8B,
         "Authorization",
         {0xDF, 0x0B},
         {0x50, 0x15, 0x50, 0x82},
         {0x50, 0x15, 0x57, 0x82},
         nullptr,
         {}},
        {Personality::Varnel1,
         0x8C,
         "Qualified",
         {0xDF, 0x0C},
         {0x50, 0x15, 0x50, 0x83},
         {0x50, 0x15, 0x57, 0x83},
         "certs/v1_qualified_rsa.der",
         {0x45, 0x83}},
        {Personality::Varnel2,
         0x01,
         "Authentication",
         {0xAD, 0xF1},
         {0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81},
         {0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81},
         "certs/v2_auth_bp256.der",
         {0x45, 0x01}},
        {Personality::Varnel2,
         0x0C,
         "Qualified",
         {0xAD, 0xFC},
         {0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83},
         {0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83},
         "certs/v2_qualified_rsa.der",
         {0x45, 0x0C}},
    };
    auto contains = [](const Bytes& hay, size_t from, size_t to, const Bytes& needle) {
        return std::search(hay.begin() + static_cast<long>(from), hay.begin() + static_cast<long>(to), needle.begin(),
                           needle.end()) != hay.begin() + static_cast<long>(to);
    };
    for (const Container& c : containers) {
        SCOPED_TRACE(c.label);
        CardSim card(plainConfig(c.personality));
        ASSERT_EQ(card.pin(c.pin)->label, c.label);
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        EXPECT_EQ(sw(card, "00A4010C02" + toHex(c.directory)), 0x9000);
        const Bytes cio = card.file(c.cio).value();
        const Bytes cert = card.file(c.cert).value();
        ASSERT_EQ(cio.size(), 3072u);
        ASSERT_EQ(cert.size(), 2048u);
        if (!c.certificate) {
            EXPECT_EQ(cio, Bytes(3072, 0));
            EXPECT_EQ(cert, Bytes(2048, 0));
            continue;
        }
        const Bytes der = test::dataFile(c.certificate).value();
        EXPECT_EQ(Bytes(cert.begin(), cert.begin() + static_cast<long>(der.size())), der);
        EXPECT_EQ(Bytes(cert.begin() + static_cast<long>(der.size()), cert.end()), Bytes(2048 - der.size(), 0));
        // the ID (04 02 id) in the private-key, public-key and certificate regions
        Bytes id = {0x04, 0x02};
        id.insert(id.end(), c.id.begin(), c.id.end());
        for (size_t region = 0; region < 3; ++region)
            EXPECT_TRUE(contains(cio, region * 1024, region * 1024 + 1024, id)) << region;
    }
    CardSim first(plainConfig(Personality::Varnel1));
    EXPECT_EQ(first.pins().size(), 5u);
    EXPECT_EQ(first.pin(0x94)->label, "PUK");
    // the travel-document list gives the document security object's length (over 127) as 81 xx
    const Bytes sod = first.file({0x1A, 0xDF, 0x01, 0x1D}).value();
    ASSERT_GE(sod.size(), 128u);
    ASSERT_LT(sod.size(), 256u);
    const Bytes list = first.file({0x1A, 0xDF, 0x53, 0x00}).value();
    EXPECT_TRUE(
        contains(list, 0, list.size(),
                 Bytes{0x04, 0x02, 0x01, 0x1D, 0x02, 0x01, 0x00, 0x80, 0x02, 0x81, static_cast<uint8_t>(sod.size())}));
}

TEST(CardSimCore, CardAccessMatchesTheOpensslFixture) {
    CardSim card;  // default: one PACEInfo, AES-128, brainpoolP256r1
    const auto fixture = test::dataFile("cardaccess_aes128_13.der");
    ASSERT_TRUE(fixture);
    EXPECT_EQ(card.file({0x01, 0x1C}), *fixture);
}

TEST(CardSimCore, MalformedAndUnsupportedCommands) {
    CardSim card(plainConfig(Personality::Varnel2));
    EXPECT_EQ(sw(card, "00A4"), 0x6700);                // no header
    EXPECT_EQ(sw(card, "00A4040C05A000"), 0x6700);      // Lc longer than the data
    EXPECT_EQ(sw(card, "00A4040C02A00000FF"), 0x6700);  // bytes after Le
    EXPECT_EQ(sw(card, "00B0000000000100FF"), 0x6700);  // extended Lc and a one-byte Le
    EXPECT_EQ(sw(card, "80E4000000"), 0x6E00);          // proprietary class, not one of its instructions
    EXPECT_EQ(sw(card, "A0A4000C023F00"), 0x6E00);
    EXPECT_EQ(sw(card, "00FE000000"), 0x6D00);
    EXPECT_EQ(sw(card, "10A4000C023F00"), 0x6884);  // chaining outside PACE
    EXPECT_EQ(sw(card, "0CA4000C023F00"), 0x6988);  // protected without a channel
    EXPECT_EQ(sw(card, "00CB7FFF04"), 0x6C08);
    EXPECT_EQ(sw(card, "00CB3FFF04"), 0x6A88);
}

TEST(CardSimCore, SelectFormsOfEachGeneration) {
    struct Case {
        Personality personality;
        const char* command;
        uint16_t sw;
        const char* dataPrefix;  // expected start of the answer data ("" for none)
    };
    const Case cases[] = {
        // generic ISO forms: MF without data, EF with FCI (P2 00)
        {Personality::Generic, "00A40000", 0x9000, ""},
        {Personality::Generic, "00A4000000", 0x9000, "6F"},
        {Personality::Generic, "00A40200022F0000", 0x9000, "6F"},
        {Personality::Generic, "00A4020C022F00", 0x9000, ""},
        {Personality::Generic, "00A4040C0CA000000063504B43532D3135", 0x9000, ""},
        // ChipDoc 2.0: MF 00 A4 00 0C, EF with FCP (P2 04), DF by P1 01
        {Personality::Varnel1, "00A4000C", 0x9000, ""},
        {Personality::Varnel1, "00A4020402011C00", 0x9000, "620E80020016"},
        {Personality::Varnel1, "00A4040C0AA000000167455349474E", 0x9000, ""},
        {Personality::Varnel1, "00A4010C02DF01", 0x6A82, ""},  // only below the application
        {Personality::Varnel1, "00A4040C07A0000002471001", 0x9000, ""},
        {Personality::Varnel1, "00A4040C0AA0000001674553494740", 0x6A82, ""},  // no destroy application
        // ChipDoc 3.0: MF by identifier, path from the MF (P1 08)
        {Personality::Varnel2, "00A4000C023F00", 0x9000, ""},
        {Personality::Varnel2, "00A40000023F0000", 0x9000, "6F"},
        {Personality::Varnel2, "00A40800085015ADF1DF01508100", 0x9000, "6F0E80020C00"},
        {Personality::Varnel2, "00A4020C025081", 0x6A82, ""},  // not below the MF
        {Personality::Varnel2, "00A4040C07A0000002471001", 0x9000, ""},
        {Personality::Varnel2, "00A4030C", 0x9000, ""},
        {Personality::Varnel2, "00A4040C02AAAA", 0x6A82, ""},
        {Personality::Varnel2, "00A40002023F00", 0x6A86, ""},  // next occurrence is not supported
        {Personality::Varnel2, "00A4050C023F00", 0x6A86, ""},
    };
    for (const Case& c : cases) {
        CardSim card(plainConfig(c.personality));
        const Answer a = send(card, c.command);
        EXPECT_EQ(a.sw, c.sw) << c.command;
        EXPECT_EQ(toHex(a.data).substr(0, std::string(c.dataPrefix).size()), c.dataPrefix) << c.command;
    }
    CardConfig withDestroyAid = plainConfig(Personality::Varnel1);
    withDestroyAid.destroyAidPresent = true;
    CardSim card(withDestroyAid);
    EXPECT_EQ(sw(card, "00A4040C0AA0000001674553494740"), 0x9000);
}

TEST(CardSimCore, SelectWalksDirectoriesOfTheSecondGeneration) {
    CardSim card(plainConfig(Personality::Varnel2));
    EXPECT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    EXPECT_EQ(sw(card, "00A4010C02ADFC"), 0x9000);
    EXPECT_EQ(sw(card, "00A4010C02DF0C"), 0x9000);
    const Answer cio = send(card, "00A40200025083 00");
    EXPECT_EQ(cio.sw, 0x9000);
    EXPECT_EQ(toHex(cio.data).substr(0, 12), "6F0E80020C00");
    EXPECT_EQ(sw(card, "00A4020C025783"), 0x9000);  // the certificate sits beside the CIO
    EXPECT_EQ(sw(card, "00A4020C025081"), 0x6A82);  // another container's CIO
    EXPECT_EQ(sw(card, "00A4000C02ADFC"), 0x9000);  // P1 00 also finds the parent
    // ChipDoc 3.0 selects its PIN directories with P1 02 as well, with or without FCI
    ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    EXPECT_EQ(sw(card, "00A4020C02ADF1"), 0x9000);
    EXPECT_EQ(sw(card, "00A4010C02DF01"), 0x9000);
    ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    const Answer fci = send(card, "00A4020002ADF200");
    EXPECT_EQ(fci.sw, 0x9000);
    EXPECT_EQ(toHex(fci.data), "6F0A8201388302ADF28A0105");  // a DF, active
    // the first generation does not
    CardSim first(plainConfig(Personality::Varnel1));
    ASSERT_EQ(sw(first, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    EXPECT_EQ(sw(first, "00A4020C02DF0C"), 0x6A82);
}

TEST(CardSimCore, ReadBinaryStatusWords) {
    CardSim card(plainConfig(Personality::Generic));
    EXPECT_EQ(sw(card, "00B0000010"), 0x6986);  // no current EF
    ASSERT_EQ(sw(card, "00A4020C022F00"), 0x9000);
    const Bytes dir = card.file({0x2F, 0x00}).value();
    const Answer all = send(card, "00B0000000");
    EXPECT_EQ(all.sw, 0x6282);  // end of file before 256 bytes
    EXPECT_EQ(all.data, dir);
    const Answer exact = send(card, "00B00000" + toHex({static_cast<uint8_t>(dir.size())}));
    EXPECT_EQ(exact.sw, 0x9000);
    EXPECT_EQ(exact.data, dir);
    const Answer tail = send(card, "00B00002" + toHex({static_cast<uint8_t>(dir.size())}));
    EXPECT_EQ(tail.sw, 0x6282);
    EXPECT_EQ(tail.data, Bytes(dir.begin() + 2, dir.end()));
    const Answer atEnd = send(card, "00B000" + toHex({static_cast<uint8_t>(dir.size())}) + "10");
    EXPECT_EQ(atEnd.sw, 0x6282);
    EXPECT_TRUE(atEnd.data.empty());
    EXPECT_EQ(sw(card, "00B000" + toHex({static_cast<uint8_t>(dir.size() + 1)}) + "10"), 0x6B00);
    EXPECT_EQ(sw(card, "00B00000"), 0x6700);  // no Le
    // short file identifier of EF.CardAccess (1C)
    const Answer sfi = send(card, "00B09C0000");
    EXPECT_EQ(sfi.data, card.file({0x01, 0x1C}).value());
    EXPECT_EQ(sw(card, "00B09D0000"), 0x6A82);
}

TEST(CardSimCore, SecureMessagingIsRequiredByBothGenerations) {
    for (Personality p : {Personality::Varnel1, Personality::Varnel2}) {
        CardConfig config;
        config.personality = p;
        CardSim card(config);
        // EF.CardAccess is readable in plain, everything of the applications is not.
        ASSERT_EQ(sw(card, "00A4020C02011C"), 0x9000);
        EXPECT_EQ(sw(card, "00B0000000"), 0x6282);
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C025032"), 0x9000);
        EXPECT_EQ(sw(card, "00B0000000"), 0x6982) << personalityName(p);
        EXPECT_EQ(sw(card, "00D6000001FF"), 0x6982);
        EXPECT_EQ(sw(card, p == Personality::Varnel1 ? "0020008A06313131313131" : "0020000106313131313131"), 0x6982);
    }
}

TEST(CardSimCore, UpdateBinary) {
    {
        CardSim card(plainConfig(Personality::Generic));
        ASSERT_EQ(sw(card, "00A4040C0CA000000063504B43532D3135"), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C024401"), 0x9000);
        const size_t size = card.file({0x50, 0x15, 0x44, 0x01})->size();
        EXPECT_EQ(sw(card, "00D6000202ABCD"), 0x9000);
        EXPECT_EQ(card.file({0x50, 0x15, 0x44, 0x01})->at(2), 0xAB);
        EXPECT_EQ(card.file({0x50, 0x15, 0x44, 0x01})->size(), size);
        // past the end: the generic card refuses and writes nothing
        const std::string last = toHex({static_cast<uint8_t>(size - 1)});
        EXPECT_EQ(sw(card, "00D600" + last + "021122"), 0x6A84);
        EXPECT_NE(card.file({0x50, 0x15, 0x44, 0x01})->back(), 0x11);
        EXPECT_EQ(sw(card, "00D600" + toHex({static_cast<uint8_t>(size + 1)}) + "0111"), 0x6B00);
        EXPECT_EQ(sw(card, "00A4020C022F00"), 0x6A82);  // EF.DIR is not in the application
        ASSERT_EQ(sw(card, "00A4000C023F00"), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C02011C"), 0x9000);
        EXPECT_EQ(sw(card, "00D6000001FF"), 0x6982);  // EF.CardAccess is read-only
    }
    {
        // ChipDoc writes what fits and answers 63 81
        CardSim card(plainConfig(Personality::Varnel1));
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C025083"), 0x9000);
        EXPECT_EQ(sw(card, "00D60BFF021122"), 0x6381);
        EXPECT_EQ(card.file({0x50, 0x15, 0x50, 0x83})->back(), 0x11);
        EXPECT_EQ(card.file({0x50, 0x15, 0x50, 0x83})->size(), 3072u);
    }
}

TEST(CardSimCore, LongAnswersAreChainedWithGetResponse) {
    CardSim card(plainConfig(Personality::Varnel2));
    ASSERT_EQ(sw(card, "00A40800085015ADF1DF015081"), 0x9000);
    const Bytes cio = card.file({0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81}).value();
    const Answer first = send(card, "00B00000000800");  // 2048 bytes asked, 1792 fit
    EXPECT_EQ(first.sw, 0x6100);
    EXPECT_EQ(first.data.size(), 1792u);
    const Answer part = send(card, "00C0000080");  // 128 of the 256 left
    EXPECT_EQ(part.sw, 0x6180);
    EXPECT_EQ(part.data.size(), 128u);
    const Answer rest = send(card, "00C0000000");
    EXPECT_EQ(rest.sw, 0x9000);
    Bytes all = first.data;
    all.insert(all.end(), part.data.begin(), part.data.end());
    all.insert(all.end(), rest.data.begin(), rest.data.end());
    EXPECT_EQ(all, Bytes(cio.begin(), cio.begin() + 2048));
    EXPECT_EQ(sw(card, "00C0000000"), 0x6985);  // nothing pending
    // any other command drops what was pending
    EXPECT_EQ(send(card, "00B00000000800").sw, 0x6100);
    EXPECT_EQ(sw(card, "00A4030C"), 0x9000);
    EXPECT_EQ(sw(card, "00C0000000"), 0x6985);
}

TEST(CardSimCore, LengthLimits) {
    {
        CardSim card(plainConfig(Personality::Generic));  // no extended length
        EXPECT_EQ(sw(card, "00A4020C022F00"), 0x9000);
        EXPECT_EQ(sw(card, "00B00000000100"), 0x6700);
    }
    {
        CardSim card(plainConfig(Personality::Varnel1));  // 512 bytes of command data
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        ASSERT_EQ(sw(card, "00A4020C025083"), 0x9000);
        EXPECT_EQ(sw(card, "00D6000000 0200" + std::string(1024, 'A')), 0x9000);
        EXPECT_EQ(sw(card, "00D6000000 0201" + std::string(1026, 'A')), 0x6700);
    }
    {
        CardSim card(plainConfig(Personality::Varnel2));
        card.setMaxCommandSize(10);
        EXPECT_EQ(sw(card, "00A4000C023F00"), 0x9000);            // 7 bytes
        EXPECT_EQ(sw(card, "00A4040C07A0000002471001"), 0x6700);  // 12 bytes
        card.setMaxCommandSize(0);
        EXPECT_EQ(sw(card, "00A4040C07A0000002471001"), 0x9000);
    }
}

// The generic card's hooks for the session's transport: a READ limit, short chains, an endless
// chain, and the scratch file.
TEST(CardSimCore, ReadLimitChainsAndScratchFileOfTheGenericCard) {
    CardSim card(plainConfig(Personality::Generic));
    ASSERT_EQ(sw(card, "00A4040C0CA000000063504B43532D3135"), 0x9000);
    ASSERT_EQ(sw(card, "00A4020C024F00"), 0x9000);
    const Bytes scratch = card.file({0x50, 0x15, 0x4F, 0x00}).value();
    EXPECT_EQ(scratch, Bytes(4096, 0x00));
    EXPECT_EQ(sw(card, "00D60FFF01AA"), 0x9000);  // writable up to its last byte
    EXPECT_EQ(card.file({0x50, 0x15, 0x4F, 0x00})->back(), 0xAA);

    card.setMaxReadSize(100);
    EXPECT_EQ(send(card, "00B0000064").data.size(), 100u);
    EXPECT_EQ(sw(card, "00B0000065"), 0x6700);
    card.setMaxReadSize(0);

    card.setChainAbove(100);
    const Answer first = send(card, "00B00F01FF");  // the last 255 bytes: 100, then 100, then 55
    EXPECT_EQ(first.sw, 0x619B);
    EXPECT_EQ(first.data.size(), 100u);
    const Answer second = send(card, "00C000009B");
    EXPECT_EQ(second.sw, 0x6137);
    EXPECT_EQ(second.data.size(), 100u);
    const Answer last = send(card, "00C0000037");
    EXPECT_EQ(last.sw, 0x9000);
    EXPECT_EQ(last.data.size(), 55u);
    EXPECT_EQ(last.data.back(), 0xAA);
    card.setChainAbove(0);

    card.setEndlessChain(true);
    EXPECT_EQ(send(card, "00B0000010").sw, 0x6101);
    for (int i = 0; i < 5; ++i) {
        const Answer more = send(card, "00C0000001");
        EXPECT_EQ(more.sw, 0x6101);
        EXPECT_EQ(more.data.size(), 1u);
    }
    card.setEndlessChain(false);
    EXPECT_EQ(send(card, "00B0000010").sw, 0x9000);
}

TEST(CardSimCore, VerifyCountsTriesAndBlocks) {
    CardSim card(plainConfig(Personality::Varnel1));
    ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    EXPECT_EQ(sw(card, "0020008A"), 0x63C3);  // state only
    EXPECT_EQ(sw(card, "0020008A06393939393939"), 0x63C2);
    EXPECT_EQ(card.pin(0x8A)->triesLeft, 2);
    EXPECT_EQ(sw(card, "0020008A06313131313131"), 0x9000);  // a right PIN restores the counter
    EXPECT_EQ(sw(card, "0020008A"), 0x9000);
    EXPECT_TRUE(card.pin(0x8A)->verified);
    EXPECT_EQ(sw(card, "0020FF8A00"), 0x9000);  // ChipDoc 2.0 / ISO logout
    EXPECT_EQ(sw(card, "0020008A"), 0x63C3);
    for (uint16_t expected : {0x63C2, 0x63C1, 0x63C0}) EXPECT_EQ(sw(card, "0020008A0439393939"), expected);
    EXPECT_EQ(sw(card, "0020008A06313131313131"), 0x6983);
    EXPECT_EQ(sw(card, "0020008A"), 0x6983);
    EXPECT_EQ(sw(card, "00200099"), 0x6A88);
    EXPECT_EQ(sw(card, "00200181"), 0x6A86);
}

TEST(CardSimCore, ChangeAndUnblockInTheFirstGenerationForm) {
    CardSim card(plainConfig(Personality::Varnel1));
    ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    // CHANGE REFERENCE DATA P1 00: old || new
    EXPECT_EQ(sw(card, "0024008A0C393939393939343434343434"), 0x63C2);
    EXPECT_EQ(sw(card, "0024008A0C313131313131343434343434"), 0x9000);
    EXPECT_EQ(card.pin(0x8A)->value, "444444");
    EXPECT_EQ(sw(card, "0024008A083434343434343535"), 0x6A80);  // new PIN too short
    // block it, then RESET RETRY COUNTER with the PUK and a new PIN (P1 00)
    for (int i = 0; i < 3; ++i) sw(card, "0020008A06393939393939");
    EXPECT_EQ(sw(card, "0020008A06343434343434"), 0x6983);
    EXPECT_EQ(sw(card, "002C008A0E3939393939393939363636363636"), 0x63C2);  // wrong PUK
    EXPECT_EQ(card.pin(0x94)->triesLeft, 2);
    EXPECT_EQ(sw(card, "002C008A0E3132333435363738363636363636"), 0x9000);
    EXPECT_EQ(card.pin(0x94)->triesLeft, 3);
    EXPECT_EQ(sw(card, "0020008A06363636363636"), 0x9000);
    // ChipDoc 2.0 form of the new-PIN-only unblock needs the PUK verified first
    EXPECT_EQ(sw(card, "002C028A06373737373737"), 0x6982);
    EXPECT_EQ(sw(card, "00200094083132333435363738"), 0x9000);
    EXPECT_EQ(sw(card, "002C028A06373737373737"), 0x9000);
    EXPECT_EQ(card.pin(0x8A)->value, "777777");
}

TEST(CardSimCore, SecondGenerationPinForms) {
    CardSim card(plainConfig(Personality::Varnel2));
    ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
    // CHANGE with the new PIN only (P1 01, reference | 80) needs the PIN verified
    EXPECT_EQ(sw(card, "0024018106353535353535"), 0x6982);
    EXPECT_EQ(sw(card, "0020000106313131313131"), 0x9000);
    EXPECT_EQ(sw(card, "0020000206323232323232"), 0x9000);
    EXPECT_EQ(sw(card, "0024018106353535353535"), 0x9000);
    EXPECT_EQ(card.pin(0x01)->value, "555555");
    EXPECT_EQ(sw(card, "00240181"), 0x6A80);  // no new PIN
    // logout by PUT DATA mask: bit 0 is reference 1; reference 2 stays verified
    EXPECT_EQ(sw(card, "00DA0119020001"), 0x9000);
    EXPECT_FALSE(card.pin(0x01)->verified);
    EXPECT_TRUE(card.pin(0x02)->verified);
    EXPECT_EQ(sw(card, "00DA0119020002"), 0x9000);
    EXPECT_FALSE(card.pin(0x02)->verified);
    EXPECT_EQ(sw(card, "00DA011903000102"), 0x6A80);  // the mask is two bytes
    EXPECT_EQ(sw(card, "00DA011A020001"), 0x6A88);
    // unblock: RESET RETRY COUNTER without data after the PUK
    for (int i = 0; i < 3; ++i) sw(card, "0020000106393939393939");
    EXPECT_EQ(sw(card, "00200001"), 0x6983);
    EXPECT_EQ(sw(card, "002C0381"), 0x6982);
    EXPECT_EQ(sw(card, "00200004083132333435363738"), 0x9000);
    EXPECT_EQ(sw(card, "002C0381"), 0x9000);
    EXPECT_EQ(sw(card, "00200001"), 0x63C3);
    // the reset lets the next CHANGE (new PIN only) set a value, once
    EXPECT_EQ(sw(card, "0024018106373737373737"), 0x9000);
    EXPECT_EQ(card.pin(0x01)->value, "777777");
    EXPECT_EQ(sw(card, "0024018106383838383838"), 0x6982);
    EXPECT_EQ(sw(card, "0020000106373737373737"), 0x9000);
}

TEST(CardSimCore, DeactivatedDirectoriesAndActivation) {
    {
        CardConfig config = plainConfig(Personality::Varnel2);
        config.deactivatedPins = {0x0C};
        CardSim card(config);
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        EXPECT_EQ(sw(card, "0020000C06333333333333"), 0x6283);
        EXPECT_EQ(sw(card, "00A4010C02ADFC"), 0x6283);  // selected, but deactivated
        EXPECT_EQ(sw(card, "00A4010C02DF0C"), 0x6283);
        // a file below it is selected too, with the bare warning for its control parameters
        EXPECT_EQ(card.transmit(fromHex("00A40204025083 00").value()), fromHex("6283").value());
        EXPECT_FALSE(card.pin(0x0C)->active);
        // ChipDoc 3.0 ACTIVATE names the directory in its data: here the one just selected
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        EXPECT_EQ(sw(card, "00A4020C02ADFC"), 0x6283);
        EXPECT_EQ(sw(card, "0044000002ADFC"), 0x9000);
        EXPECT_TRUE(card.pin(0x0C)->active);
        // the fresh PIN gets its value without the PUK: reset, then CHANGE with the new PIN
        EXPECT_EQ(sw(card, "002C038C"), 0x9000);
        EXPECT_EQ(sw(card, "0024018C06393939393939"), 0x9000);
        EXPECT_EQ(sw(card, "0020000C06393939393939"), 0x9000);
        EXPECT_FALSE(card.pin(0x04)->verified);
    }
    {
        // ACTIVATE of a child of the current DF
        CardConfig config = plainConfig(Personality::Varnel2);
        config.deactivatedPins = {0x02};
        CardSim card(config);
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        EXPECT_EQ(sw(card, "0044000002ADF2"), 0x9000);
        EXPECT_TRUE(card.pin(0x02)->active);
        EXPECT_EQ(sw(card, "0044000002ADF9"), 0x6A82);
    }
    {
        CardConfig config = plainConfig(Personality::Varnel1);
        config.deactivatedPins = {0x0C};
        CardSim card(config);
        ASSERT_EQ(sw(card, std::string("00A4040C0A") + kSignatureAid), 0x9000);
        EXPECT_EQ(sw(card, "00A4010C02DF0C"), 0x6283);
        EXPECT_EQ(sw(card, "00440000"), 0x9000);                // ChipDoc 2.0: the selected directory
        EXPECT_EQ(sw(card, "002C028C06393939393939"), 0x9000);  // a value without the PUK
        EXPECT_EQ(sw(card, "0020008C06393939393939"), 0x9000);
        EXPECT_EQ(sw(card, "002C028C06383838383838"), 0x6982);  // once only
        EXPECT_EQ(sw(card, "00A4010C02DF0C"), 0x6A82);          // DF0C is current now, not its own child
        ASSERT_EQ(sw(card, "00A4030C"), 0x9000);
        EXPECT_EQ(sw(card, "00A4010C02DF0C"), 0x9000);
        EXPECT_EQ(sw(card, "0044000002DF99"), 0x6A82);
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
