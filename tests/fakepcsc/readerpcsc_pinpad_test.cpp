// Reader features and PIN entry on a pinpad reader: the fake PC/SC library plays the reader
// (part 10 structures read with pcsc-lite's own declarations), the simulated card checks the PINs.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fake_reader_util.h"

namespace {

using namespace fakepcsc_test;
using Entry = fakepcsc::KeypadEntry;

const Bytes kDisplay{0x04, 0x02, 0x02, 0x00};  // wLcdLayout 0x0204

Bytes tlvSize(const Bytes& value) {
    Bytes out{0x0A, static_cast<unsigned char>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes command(Bytes header, size_t dataLength, unsigned char fill = 0xFF) {
    header.push_back(static_cast<unsigned char>(dataLength));
    header.insert(header.end(), dataLength, fill);
    return header;
}

// ---------------------------------------------------------------- feature detection

class ReaderFeatures : public FakeReaderTest {};

TEST_F(ReaderFeatures, Table) {
    const Bytes pace = fakepcsc::featureList({fakepcsc::kExecutePace});
    const Bytes withTlv = fakepcsc::featureList({fakepcsc::kExecutePace, fakepcsc::kGetTlvProperties});
    const Bytes withProperties = fakepcsc::featureList({fakepcsc::kExecutePace, fakepcsc::kIfdPinProperties});
    Bytes badEntry = fakepcsc::featureList({fakepcsc::kVerifyPinDirect, fakepcsc::kExecutePace});
    badEntry[1] = 2;  // a control code of two bytes is no control code
    struct Case {
        const char* what;
        std::optional<Bytes> features;
        std::optional<Bytes> properties;
        std::optional<Bytes> tlv;
        bool claimLonger;
        bool pinpad;
        bool display;
        long long size;  // 0: unchanged
        bool extended;
        bool verifyCode;
    };
    const auto none = std::nullopt;
    const Bytes display8 = concat(kDisplay, {0, 0, 0, 0}), display5 = concat(kDisplay, {0});
    const Bytes sizeBehind = concat({0x01, 0x02, 0x04, 0x02, 0x06, 0x01, 0x04}, tlvSize({0x00, 2, 0, 0}));
    // clang-format off
    const std::vector<Case> cases{
        {"13 bytes refused as a whole",   concat(pace, {0x20}), none,         none,                          false, false, false, 0,     false, false},
        {"request fails",                 none,                 none,         none,                          false, false, false, 0,     false, false},
        {"answer longer than the buffer", pace,                 none,         none,                          true,  false, false, 0,     false, false},
        {"PACE only",                     pace,                 none,         none,                          false, true,  false, 0,     false, false},
        {"malformed entry skipped",       badEntry,             none,         none,                          false, true,  false, 0,     false, false},
        {"all PIN features",              kPinpadFeatures,      Bytes(4, 0),  none,                          false, true,  false, 0,     false, true},
        {"display 0x0204",                withProperties,       kDisplay,     none,                          false, true,  true,  0,     false, false},
        {"8-byte properties",             withProperties,       display8,     none,                          false, true,  true,  0,     false, false},
        {"5-byte properties",             withProperties,       display5,     none,                          false, true,  false, 0,     false, false},
        {"size 200 refused",              withTlv,              none,         tlvSize({0xC8, 0, 0, 0}),      false, true,  false, 0,     false, false},
        {"size 201",                      withTlv,              none,         tlvSize({0xC9, 0, 0, 0}),      false, true,  false, 201,   false, false},
        {"size 257 extended",             withTlv,              none,         tlvSize({0x01, 1, 0, 0}),      false, true,  false, 257,   true,  false},
        {"size 65536",                    withTlv,              none,         tlvSize({0, 0, 1, 0}),         false, true,  false, 65536, true,  false},
        {"size 65537 refused",            withTlv,              none,         tlvSize({1, 0, 1, 0}),         false, true,  false, 0,     false, false},
        {"size of two bytes",             withTlv,              none,         tlvSize({0x00, 0x04}),         false, true,  false, 1024,  true,  false},
        {"size of five bytes refused",    withTlv,              none,         tlvSize({0x00, 1, 0, 0, 0}),   false, true,  false, 0,     false, false},
        {"size behind other properties",  withTlv,              none,         sizeBehind,                    false, true,  false, 512,   true,  false},
        {"no size property",              withTlv,              none,         Bytes{0x01, 0x02, 0x04, 0x02}, false, true,  false, 0,     false, false},
        {"size running past the answer",  withTlv,              none,         Bytes{0x0A, 0x08, 0x00, 0x02}, false, true,  false, 0,     false, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake->clear();
        insert(nullptr);
        fake->featureAnswer = c.features;
        fake->pinProperties = c.properties;
        fake->tlvProperties = c.tlv;
        fake->claimLongerAnswer = c.claimLonger;
        auto reader = open();
        EXPECT_EQ(reader->isPinpad(), c.pinpad);
        EXPECT_EQ((reader->data->features & 0x01) != 0, c.display);
        EXPECT_EQ(reader->data->ctlExecutePace != 0, c.pinpad);
        EXPECT_EQ(reader->data->ctlVerifyPinDirect != 0, c.verifyCode);
        EXPECT_EQ(reader->maxApduSize, c.size != 0 ? c.size : 200);
        EXPECT_EQ(reader->apduSizeFixed, c.size != 0);
        EXPECT_EQ(reader->extendedApdu, c.extended);
    }
}

TEST_F(ReaderFeatures, CodesAreTheReportedOnesAndNoneOutlivesTheNextDetection) {
    insert(nullptr);
    Bytes features = kPinpadFeatures;
    features[2] = 0x12;  // other codes than the fake's: the reported code is what gets used
    fake->featureAnswer = features;
    auto reader = open();
    EXPECT_EQ(reader->data->ctlVerifyPinDirect,
              0x12000000u | (fakepcsc::controlCode(fakepcsc::kVerifyPinDirect) & 0x00FFFFFF));
    EXPECT_EQ(reader->data->ctlModifyPinDirect, fakepcsc::controlCode(fakepcsc::kModifyPinDirect));

    fake->featureAnswer = fakepcsc::featureList({fakepcsc::kExecutePace});
    ASSERT_EQ(reader->initCard(true, nullptr), 0);
    EXPECT_TRUE(reader->isPinpad());
    EXPECT_EQ(reader->data->ctlVerifyPinDirect, 0u);
    EXPECT_EQ(reader->data->ctlModifyPinDirect, 0u);
    Bytes response;
    const size_t before = fake->controls.size();
    EXPECT_EQ(reader->verifyPassword({0x00, 0x20, 0x00, 0x01}, container(1, 4, 8), response, 25, 255), -4);
    EXPECT_EQ(reader->changePassword({0x00, 0x24, 0x00, 0x01}, container(1, 4, 8), response, 25, 255), -4);
    EXPECT_EQ(reader->unblockPassword({0x00, 0x2C, 0x02, 0x01}, container(1, 4, 8), response, 25, 255), -4);
    EXPECT_EQ(fake->controls.size(), before) << "nothing is sent";
}

TEST_F(ReaderFeatures, PinCodesWithoutPaceAreNoPinpad) {
    insert(nullptr);
    fake->featureAnswer = fakepcsc::featureList({fakepcsc::kVerifyPinDirect, fakepcsc::kModifyPinDirect});
    auto reader = open();
    EXPECT_FALSE(reader->isPinpad());
    Bytes response;
    EXPECT_EQ(reader->verifyPassword({0x00, 0x20, 0x00, 0x01}, container(1, 4, 8), response, 25, 255), -4);
}

// ---------------------------------------------------------------- structures

class PinStructures : public FakeReaderTest {
protected:
    // The structure the reader received for one operation (answered 90 00 by script).
    Bytes structureOf(int operation, const Bytes& apdu, const std::shared_ptr<GC_Container>& pin, bool display,
                      int* result = nullptr) {
        fake->clear();
        insert(nullptr);
        fake->featureAnswer = kPinpadFeatures;
        fake->pinProperties = display ? kDisplay : Bytes{0, 0, 0, 0};
        auto reader = open();
        fake->controlAnswers = {{0x90, 0x00}};
        fake->pinStructures.clear();
        Bytes response;
        int rv = operation == 0   ? reader->verifyPassword(apdu, pin, response, 25, 255)
                 : operation == 1 ? reader->changePassword(apdu, pin, response, 25, 255)
                                  : reader->unblockPassword(apdu, pin, response, 25, 255);
        if (result != nullptr) *result = rv;
        if (rv == 0) {
            EXPECT_EQ(response, (Bytes{0x90, 0x00}));
        }
        return fake->pinStructures.empty() ? Bytes{} : fake->pinStructures.back();
    }
};

TEST_F(PinStructures, VerifyMatchesPcscLite) {
    static_assert(offsetof(PIN_VERIFY_STRUCTURE, abData) == 19);
    const Bytes verify{0x00, 0x20, 0x00, 0x81};
    struct Case {
        const char* what;
        uint32_t encoding;
        uint64_t stored, offset;
        Bytes apdu;
        bool display;
        uint8_t formatString, blockString, lengthFormat, messages;
        size_t abData;  // bytes of the command placed
    };
    const std::vector<Case> cases{
        {"BCD, header", 0, 0, 4, verify, true, 0x81, 0x00, 0x00, 0xFF, 4},
        {"BCD, whole command", 0, 0, 5, command(verify, 4), true, 0x81, 0x00, 0x00, 0xFF, 9},
        {"ASCII offset 5", 1, 8, 5, command(verify, 8), true, 0x82, 0x08, 0x00, 0xFF, 13},
        {"ASCII offset 6", 1, 8, 6, command(verify, 9), true, 0x8A, 0x08, 0x00, 0xFF, 14},
        {"ASCII offset 20", 1, 0, 20, command(verify, 16), true, 0xFA, 0x00, 0x00, 0xFF, 21},
        {"ASCII offset 4: header only", 1, 8, 4, command(verify, 8), true, 0x02, 0x08, 0x00, 0xFF, 4},
        {"ASCII offset 0 with data", 1, 0, 0, command(verify, 8), true, 0x02, 0x00, 0x00, 0xFF, 13},
        {"ASCII 5 bytes: Lc not placed", 1, 0, 5, command(verify, 0), true, 0x82, 0x00, 0x00, 0xFF, 4},
        {"GLP", 2, 0, 5, command(verify, 8), true, 0x41, 0x48, 0x04, 0xFF, 13},
        {"no display", 1, 0, 4, verify, false, 0x02, 0x00, 0x00, 0x00, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes block = structureOf(0, c.apdu, container(c.encoding, 4, 8, c.stored, c.offset), c.display);
        ASSERT_EQ(block.size(), sizeof(PIN_VERIFY_STRUCTURE) + c.abData);
        PIN_VERIFY_STRUCTURE s;
        std::memcpy(&s, block.data(), sizeof s);
        EXPECT_EQ(s.bTimerOut, 25);
        EXPECT_EQ(s.bTimerOut2, 25);
        EXPECT_EQ(s.bmFormatString, c.formatString);
        EXPECT_EQ(s.bmPINBlockString, c.blockString);
        EXPECT_EQ(s.bmPINLengthFormat, c.lengthFormat);
        EXPECT_EQ(+s.wPINMaxExtraDigit, 0x0408) << "minimum 4, maximum 8";
        EXPECT_EQ(block[5], 0x08);
        EXPECT_EQ(block[6], 0x04);
        EXPECT_EQ(s.bEntryValidationCondition, 0x02);
        EXPECT_EQ(s.bNumberMessage, c.messages);
        EXPECT_EQ(+s.wLangId, 0x040E);
        EXPECT_EQ(s.bMsgIndex, 0);
        EXPECT_EQ(s.bTeoPrologue[0] | s.bTeoPrologue[1] | s.bTeoPrologue[2], 0);
        EXPECT_EQ(+s.ulDataLength, c.abData);
        EXPECT_EQ(Bytes(block.begin() + sizeof s, block.end()), Bytes(c.apdu.begin(), c.apdu.begin() + c.abData));
    }
}

TEST_F(PinStructures, ModifyMatchesPcscLite) {
    static_assert(offsetof(PIN_MODIFY_STRUCTURE, abData) == 24);
    const Bytes change{0x00, 0x24, 0x00, 0x81};
    const Bytes unblock{0x00, 0x2C, 0x00, 0x81};
    struct Case {
        const char* what;
        int operation;
        uint32_t encoding;
        uint64_t stored, offset, oldOffset;
        Bytes apdu;
        bool display;
        uint8_t formatString, blockString, lengthFormat, offsetOld, offsetNew, confirm, messages;
        size_t abData;
    };
    const std::vector<Case> cases{
        {"change, whole command", 1, 1, 8, 5, 0, command(change, 16), true, 0x82, 0x08, 0, 0, 8, 3, 3, 21},
        {"change, header and Lc", 1, 1, 8, 5, 0, command(change, 0), true, 0x82, 0x08, 0, 0, 8, 3, 3, 4},
        {"change, new PIN only", 1, 1, 8, 4, 0, change, true, 0x02, 0x08, 0, 0, 0, 1, 2, 4},
        {"change, block of the maximum", 1, 1, 0, 5, 0, command(change, 16), true, 0x82, 0x08, 0, 0, 8, 3, 3, 21},
        {"change without display", 1, 1, 8, 5, 0, command(change, 16), false, 0x82, 0x08, 0, 0, 8, 3, 0, 21},
        {"change, BCD", 1, 0, 0, 5, 0, command(change, 8), true, 0x81, 0x00, 0, 0, 8, 3, 3, 13},
        {"change, GLP", 1, 2, 0, 5, 0, command(change, 16), true, 0x41, 0x48, 0x04, 0, 8, 3, 3, 21},
        {"unblock, whole command", 2, 1, 8, 13, 8, command(unblock, 16), true, 0xC2, 0x08, 0, 8, 0, 1, 2, 21},
        {"unblock, header", 2, 1, 8, 4, 8, unblock, true, 0x02, 0x08, 0, 0, 0, 1, 2, 4},
        {"unblock, GLP", 2, 2, 0, 5, 3, command(unblock, 8), true, 0x41, 0x48, 0x04, 3, 0, 1, 2, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes block =
            structureOf(c.operation, c.apdu, container(c.encoding, 4, 8, c.stored, c.offset, c.oldOffset), c.display);
        ASSERT_EQ(block.size(), sizeof(PIN_MODIFY_STRUCTURE) + c.abData);
        PIN_MODIFY_STRUCTURE s;
        std::memcpy(&s, block.data(), sizeof s);
        EXPECT_EQ(s.bTimerOut, 25);
        EXPECT_EQ(s.bTimerOut2, 25);
        EXPECT_EQ(s.bmFormatString, c.formatString);
        EXPECT_EQ(s.bmPINBlockString, c.blockString);
        EXPECT_EQ(s.bmPINLengthFormat, c.lengthFormat);
        EXPECT_EQ(s.bInsertionOffsetOld, c.offsetOld);
        EXPECT_EQ(s.bInsertionOffsetNew, c.offsetNew);
        EXPECT_EQ(+s.wPINMaxExtraDigit, 0x0408);
        EXPECT_EQ(s.bConfirmPIN, c.confirm);
        EXPECT_EQ(s.bEntryValidationCondition, 0x02);
        EXPECT_EQ(s.bNumberMessage, c.messages) << "one message per PIN entry";
        EXPECT_EQ(+s.wLangId, 0);
        EXPECT_EQ(s.bMsgIndex1, 0);
        EXPECT_EQ(s.bMsgIndex2, 1);
        EXPECT_EQ(s.bMsgIndex3, 2);
        EXPECT_EQ(s.bTeoPrologue[0] | s.bTeoPrologue[1] | s.bTeoPrologue[2], 0);
        EXPECT_EQ(+s.ulDataLength, c.abData);
        EXPECT_EQ(Bytes(block.begin() + sizeof s, block.end()), Bytes(c.apdu.begin(), c.apdu.begin() + c.abData));
    }
}

TEST_F(PinStructures, LongTimeOutIsCappedNotWrapped) {
    fake->clear();
    insert(nullptr);
    fake->featureAnswer = kPinpadFeatures;
    auto reader = open();
    fake->controlAnswers = {{0x90, 0x00}};
    Bytes response;
    ASSERT_EQ(reader->verifyPassword({0x00, 0x20, 0x00, 0x01}, container(1, 4, 8), response, 300, 255), 0);
    ASSERT_FALSE(fake->pinStructures.empty());
    EXPECT_EQ(fake->pinStructures.back()[0], 0xFF);
    EXPECT_EQ(fake->pinStructures.back()[1], 0xFF);
}

TEST_F(PinStructures, WhatCannotBeExpressedIsRefused) {
    const Bytes verify{0x00, 0x20, 0x00, 0x81};
    const Bytes change{0x00, 0x24, 0x00, 0x81};
    struct Case {
        const char* what;
        int operation;
        std::shared_ptr<GC_Container> pin;
        Bytes apdu;
    };
    const std::vector<Case> cases{
        {"unknown encoding", 0, container(3, 4, 8), verify},
        {"PIN offset beyond four bits", 0, container(1, 4, 8, 0, 21), command(verify, 17)},
        {"block length beyond four bits", 0, container(1, 4, 8, 16, 5), command(verify, 16)},
        {"maximum beyond a byte", 0, container(1, 4, 256), verify},
        {"Lc does not match the data", 0, container(1, 4, 8, 8, 5), concat(command(verify, 8), {0x00})},
        {"PIN block beyond the data", 0, container(1, 4, 8, 8, 5), command(verify, 6)},
        {"new PIN inside the current PIN's block", 1, container(1, 4, 6, 8, 5), command(change, 16)},
        {"new PIN block beyond the data", 1, container(1, 4, 8, 8, 5), command(change, 12)},
        {"new PIN on the current one (no length limits)", 1, container(1, 0, 0), command(change, 0)},
        {"GLP new PIN inside the current block", 1, container(2, 4, 6), command(change, 0)},
        {"unblock offset beyond a byte", 2, container(1, 4, 8, 0, 5, 300), command(change, 8)},
        {"command shorter than a header", 0, container(1, 4, 8), Bytes{0x00, 0x20, 0x00}},
        {"no container", 0, nullptr, verify},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int rv = 0;
        const Bytes block = structureOf(c.operation, c.apdu, c.pin, true, &rv);
        EXPECT_EQ(rv, -4);
        EXPECT_TRUE(block.empty()) << "nothing is sent";
    }
}

// ---------------------------------------------------------------- PIN entry against the card

class PinEntry : public FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        insert(&card);
        fake->featureAnswer = kPinpadFeatures;
        fake->pinProperties = kDisplay;
        reader = open();
    }

    int verify(const std::string& typed, std::vector<unsigned char>& response, unsigned char reference = 0x01,
               uint64_t length = 6) {
        fake->keypad.push_back({Entry::Kind::Typed, {typed}});
        return reader->verifyPassword({0x00, 0x20, 0x00, reference}, container(1, length, 8), response, 25, 255);
    }

    cardsim::CardSim sim{[] {
        cardsim::CardConfig config;
        config.personality = cardsim::Personality::Generic;
        return config;
    }()};
    SimulatedCard card{sim};
    std::unique_ptr<GC_ReaderPCSC> reader;
};

TEST_F(PinEntry, TypedPinVerifiesAgainstTheCard) {
    ASSERT_TRUE(sim.ok()) << sim.error();
    Bytes response;
    EXPECT_EQ(verify("123457", response), 0);
    EXPECT_EQ(response, (Bytes{0x63, 0xC2})) << "a wrong PIN is the card's answer, not a reader failure";
    EXPECT_EQ(sim.pin(0x01)->triesLeft, 2);
    EXPECT_EQ(verify("123456", response), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_TRUE(sim.pin(0x01)->verified);
    EXPECT_EQ(fake->pinCommands.back(), (Bytes{0x00, 0x20, 0x00, 0x01, 0x06, '1', '2', '3', '4', '5', '6'}));
    // The window switch goes around every exchange.
    const auto& calls = fake->controls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].code, fakepcsc::kEnableWindow);
    EXPECT_EQ(calls[calls.size() - 3].input, Bytes{0x02});
    EXPECT_EQ(calls[calls.size() - 2].code, fakepcsc::controlCode(fakepcsc::kVerifyPinDirect));
    EXPECT_EQ(calls[calls.size() - 2].outputSize, 261u);
    EXPECT_EQ(calls.back().code, fakepcsc::kEnableWindow);
    EXPECT_EQ(calls.back().input, Bytes{0x00});
}

// A format-2 PIN block as the card controller leaves it in the command: the reader writes the
// length nibble and the digits into it.
TEST_F(PinEntry, GlpBlockFilledByTheReader) {
    Bytes response;
    fake->keypad.push_back({Entry::Kind::Typed, {"123456"}});
    const Bytes verify{0x00, 0x20, 0x00, 0x01, 0x08, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(reader->verifyPassword(verify, container(2, 4, 12, 0, 5), response, 25, 255), 0);
    EXPECT_EQ(fake->pinCommands.back(),
              (Bytes{0x00, 0x20, 0x00, 0x01, 0x08, 0x26, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(response, (Bytes{0x63, 0xC2})) << "this card keeps its PINs in ASCII";
}

TEST_F(PinEntry, StartAndFinish) {
    fake->featureAnswer =
        fakepcsc::featureList({fakepcsc::kVerifyPinStart, fakepcsc::kVerifyPinFinish, fakepcsc::kModifyPinStart,
                               fakepcsc::kModifyPinFinish, fakepcsc::kExecutePace});
    reader = open();
    Bytes response;
    EXPECT_EQ(verify("123456", response), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    auto calls = controls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].code, fakepcsc::controlCode(fakepcsc::kVerifyPinStart));
    EXPECT_EQ(calls.back().code, fakepcsc::controlCode(fakepcsc::kVerifyPinFinish));
    EXPECT_TRUE(calls.back().input.empty());

    fake->keypad.push_back({Entry::Kind::Typed, {"123456", "654321", "654321"}});
    EXPECT_EQ(reader->changePassword({0x00, 0x24, 0x00, 0x01, 0x00}, container(1, 6, 6), response, 25, 255), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(verify("654321", response), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));

    // A START that answers something is not a pinpad that can be trusted.
    fake->controlAnswers = {{0x90}};
    EXPECT_EQ(verify("654321", response), -9);
}

TEST_F(PinEntry, ChangeAndUnblock) {
    Bytes response;
    fake->keypad.push_back({Entry::Kind::Typed, {"123456", "654321", "654321"}});
    EXPECT_EQ(reader->changePassword({0x00, 0x24, 0x00, 0x01, 0x00}, container(1, 6, 6), response, 25, 255), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(fake->pinCommands.back(),
              (Bytes{0x00, 0x24, 0x00, 0x01, 0x0C, '1', '2', '3', '4', '5', '6', '6', '5', '4', '3', '2', '1'}));
    EXPECT_EQ(verify("654321", response), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));

    // PUK first, then a new PIN typed twice (RESET RETRY COUNTER with the new PIN only). A
    // modify block is as long as the maximum when no stored length is given: the card's PINs
    // are not padded, so the maximum is the PIN's length here.
    EXPECT_EQ(verify("12345678", response, 0x02, 8), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    fake->keypad.push_back({Entry::Kind::Typed, {"111111", "111111"}});
    EXPECT_EQ(reader->unblockPassword({0x00, 0x2C, 0x02, 0x01}, container(1, 6, 6), response, 25, 255), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(verify("111111", response), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
}

TEST_F(PinEntry, ReaderAnswersMapToTheirCodes) {
    struct Case {
        const char* what;
        std::optional<Entry> typed;
        std::optional<Bytes> answer;
        int expected;
        Bytes response;
    };
    const std::vector<Case> cases{
        {"cancel", Entry{Entry::Kind::Cancel, {}}, std::nullopt, -13, {0x64, 0x01}},
        {"time-out", Entry{Entry::Kind::Timeout, {}}, std::nullopt, -14, {0x64, 0x00}},
        {"nobody types", std::nullopt, std::nullopt, -14, {0x64, 0x00}},
        {"too short", Entry{Entry::Kind::Typed, {"12"}}, std::nullopt, -23, {0x64, 0x03}},
        {"firmware refuses", std::nullopt, Bytes{0x6B, 0x80}, -1, {0x6B, 0x80}},
        {"PINs differ", std::nullopt, Bytes{0x64, 0x02}, -22, {0x64, 0x02}},
        {"three bytes", std::nullopt, Bytes{0x90, 0x00, 0x00}, -9, {0xAA}},
        {"one byte", std::nullopt, Bytes{0x90}, -9, {0xAA}},
        {"nothing", std::nullopt, Bytes{}, -9, {0xAA}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake->keypad.clear();
        if (c.typed) fake->keypad.push_back(*c.typed);
        if (c.answer) fake->controlAnswers = {*c.answer};
        Bytes response{0xAA};
        EXPECT_EQ(reader->verifyPassword({0x00, 0x20, 0x00, 0x01}, container(1, 6, 8), response, 25, 255), c.expected);
        EXPECT_EQ(response, c.response);
    }
    EXPECT_FALSE(sim.pin(0x01)->verified);
    EXPECT_EQ(sim.pin(0x01)->triesLeft, 3) << "no PIN reached the card";

    Bytes response;
    fake->keypad.push_back({Entry::Kind::Typed, {"123456", "654321", "654320"}});
    EXPECT_EQ(reader->changePassword({0x00, 0x24, 0x00, 0x01, 0x00}, container(1, 6, 6), response, 25, 255), -22);
    EXPECT_EQ(response, (Bytes{0x64, 0x02}));
    fake->keypad.push_back({Entry::Kind::Cancel, {}});
    EXPECT_EQ(reader->unblockPassword({0x00, 0x2C, 0x02, 0x01}, container(1, 6, 8), response, 25, 255), -13);

    fake->controlResults = {static_cast<LONG>(SCARD_W_REMOVED_CARD)};
    EXPECT_EQ(verify("123456", response), -11);
    fake->controlResults = {static_cast<LONG>(SCARD_E_NOT_TRANSACTED)};
    EXPECT_EQ(verify("123456", response), -6);
}

}  // namespace
