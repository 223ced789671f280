// The EstablishPACEChannel blocks of PC/SC part 10 amendment 1: the input as the reader expects
// it, and the reader's output taken apart with every length checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Reader/readerpcsc.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Input = GC_ReaderPCSC::establish_pace_channel_input;
using Output = GC_ReaderPCSC::establish_pace_channel_output;

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes le16(size_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
}
Bytes le32(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}

// dwResult | wLengthOutputData | StatusMSESetAT | lengthEF_CardAccess | EF_CardAccess
//   [ | lengthCARcurr | CARcurr | lengthCARprev | CARprev | lengthIDicc | IDicc ]
Bytes readerOutput(uint32_t result, const Bytes& cardAccess, const Bytes* ta = nullptr) {
    Bytes rest = concat({{0x90, 0x00}, le16(cardAccess.size()), cardAccess});
    if (ta != nullptr) rest.insert(rest.end(), ta->begin(), ta->end());
    return concat({le32(result), le16(rest.size()), rest});
}

const Bytes kCardAccess{0x31, 0x14, 0x30, 0x12, 0x06, 0x0A, 0x04, 0x00, 0x7F, 0x00, 0x07,
                        0x02, 0x02, 0x04, 0x02, 0x02, 0x02, 0x01, 0x02, 0x02, 0x01, 0x0D};
const Bytes kRecentCar = bytes("DECVCAeID00102");
const Bytes kPreviousCar = bytes("DECVCAeID00101");
const Bytes kIdIcc{0x04, 0x11, 0x22, 0x33, 0x44, 0x55};
const Bytes kTa = concat({{static_cast<unsigned char>(kRecentCar.size())},
                          kRecentCar,
                          {static_cast<unsigned char>(kPreviousCar.size())},
                          kPreviousCar,
                          le16(kIdIcc.size()),
                          kIdIcc});

TEST(PaceInput, BlocksAsTheReaderExpectsThem) {
    const Bytes can = bytes("123456");
    const Bytes chat{0x7F, 0x4C, 0x02, 0x06, 0x00};
    const Bytes description{0x30, 0x03, 0x02, 0x01, 0x01};
    struct Case {
        const char* what;
        Input input;
        Bytes expected;
    };
    // clang-format off
    const std::vector<Case> cases{
        {"CAN typed on the reader", {2, 0, nullptr, 0, nullptr, 0, nullptr}, {0x02, 0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}},
        {"six-digit CAN", {2, 0, nullptr, can.size(), can.data(), 0, nullptr}, concat({{0x02, 0x0B, 0x00, 0x02, 0x00, 0x06}, can, {0x00, 0x00}})},
        {"PUK", {4, 0, nullptr, can.size(), can.data(), 0, nullptr}, concat({{0x02, 0x0B, 0x00, 0x04, 0x00, 0x06}, can, {0x00, 0x00}})},
        {"CHAT and certificate description", {3, chat.size(), chat.data(), can.size(), can.data(), description.size(), description.data()}, concat({{0x02, 0x15, 0x00, 0x03, 0x05}, chat, {0x06}, can, {0x05, 0x00}, description})},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out{0xAA};
        EXPECT_EQ(GC_ReaderPCSC::transformPaceInput(&c.input, out), 0);
        EXPECT_EQ(out, concat({{0xAA}, c.expected})) << "appended behind what was there";
    }
}

TEST(PaceInput, WhatDoesNotFitIsRefused) {
    const Bytes long256(256, '1');
    const Bytes big(65000, 0x30);
    const Bytes pin = bytes("123456");
    struct Case {
        const char* what;
        Input input;
        int expected;
    };
    // clang-format off
    const std::vector<Case> cases{
        {"PIN length beyond a byte", {2, 0, nullptr, long256.size(), long256.data(), 0, nullptr}, -19},
        {"CHAT length beyond a byte", {2, long256.size(), long256.data(), 0, nullptr, 0, nullptr}, -19},
        {"block beyond 65000 bytes", {2, 0, nullptr, 0, nullptr, 64993, big.data()}, -19},
        {"description length that would wrap 16 bits", {2, 0, nullptr, 0, nullptr, 65536 + 10, big.data()}, -19},
        {"PIN length without PIN", {2, 0, nullptr, 6, nullptr, 0, nullptr}, -18},
        {"CHAT length without CHAT", {2, 5, nullptr, pin.size(), pin.data(), 0, nullptr}, -18},
        {"description length without description", {2, 0, nullptr, 0, nullptr, 3, nullptr}, -18},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out;
        EXPECT_EQ(GC_ReaderPCSC::transformPaceInput(&c.input, out), c.expected);
        EXPECT_TRUE(out.empty());
    }
    Bytes out;
    EXPECT_EQ(GC_ReaderPCSC::transformPaceInput(nullptr, out), -18);
    // The largest block that fits: 65000 bytes in all.
    const Input largest{2, 0, nullptr, 0, nullptr, 64992, big.data()};
    EXPECT_EQ(GC_ReaderPCSC::transformPaceInput(&largest, out), 0);
    EXPECT_EQ(out.size(), 65000u);
}

TEST(PaceOutput, FieldsAreCopied) {
    Bytes cardAccess(64), recent(32), previous(32), idIcc(128);
    Output output{0xFFFFFFFF,      cardAccess.size(), cardAccess.data(), recent.size(), recent.data(),
                  previous.size(), previous.data(),   idIcc.size(),      idIcc.data()};
    ASSERT_EQ(GC_ReaderPCSC::transformPaceOutput(readerOutput(0, kCardAccess, &kTa), &output), 0);
    EXPECT_EQ(output.result, 0u);
    EXPECT_EQ(Bytes(cardAccess.begin(), cardAccess.begin() + output.cardAccessLength), kCardAccess);
    EXPECT_EQ(Bytes(recent.begin(), recent.begin() + output.recentCarLength), kRecentCar);
    EXPECT_EQ(Bytes(previous.begin(), previous.begin() + output.previousCarLength), kPreviousCar);
    EXPECT_EQ(Bytes(idIcc.begin(), idIcc.begin() + output.idIccLength), kIdIcc);

    // Without the fields of terminal authentication, and with no buffers at all.
    output = Output{0, cardAccess.size(), cardAccess.data(), 9, recent.data(), 9, previous.data(), 9, idIcc.data()};
    ASSERT_EQ(GC_ReaderPCSC::transformPaceOutput(readerOutput(0x12345678, kCardAccess), &output), 0);
    EXPECT_EQ(output.result, 0x12345678u);
    EXPECT_EQ(output.cardAccessLength, kCardAccess.size());
    EXPECT_EQ(output.recentCarLength + output.previousCarLength + output.idIccLength, 0u);
    Output bare;
    bare.cardAccessLength = 99;
    ASSERT_EQ(GC_ReaderPCSC::transformPaceOutput(readerOutput(0, kCardAccess, &kTa), &bare), 0);
    EXPECT_EQ(bare.cardAccessLength + bare.recentCarLength + bare.previousCarLength + bare.idIccLength, 0u);

    // Six bytes: the result alone.
    Output resultOnly;
    ASSERT_EQ(GC_ReaderPCSC::transformPaceOutput(concat({le32(0xF0200002), le16(0)}), &resultOnly), 0);
    EXPECT_EQ(resultOnly.result, 0xF0200002u);
}

TEST(PaceOutput, SmallBuffersAreReported) {
    Bytes buffer(256);
    struct Case {
        const char* what;
        size_t cardAccess, recent, previous, idIcc;
    };
    // clang-format off
    const std::vector<Case> cases{
        {"EF.CardAccess", kCardAccess.size() - 1, 64, 64, 64},
        {"recent CAR", 64, kRecentCar.size() - 1, 64, 64},
        {"previous CAR", 64, 64, kPreviousCar.size() - 1, 64},
        {"IDicc", 64, 64, 64, kIdIcc.size() - 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Output output{0,          c.cardAccess,  buffer.data(), c.recent,     buffer.data(),
                      c.previous, buffer.data(), c.idIcc,       buffer.data()};
        EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(readerOutput(0, kCardAccess, &kTa), &output), -19);
    }
}

// Every cut of a valid answer, every answer with a byte too many, and answers whose inner lengths
// run past the end are refused; none is read beyond its end (the sanitizer build checks that).
TEST(PaceOutput, TruncatedAndOverrunningAnswersAreRefused) {
    for (const Bytes& valid : {readerOutput(0, kCardAccess, &kTa), readerOutput(0, kCardAccess)}) {
        for (size_t cut = 0; cut < valid.size(); ++cut) {
            SCOPED_TRACE(cut);
            Bytes truncated(valid.begin(), valid.begin() + static_cast<long>(cut));
            Output output;
            const int expected = cut == 0 ? -18 : -9;
            EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(truncated, &output), expected);
            // The same cut with the length field telling the truth about it.
            if (cut > 6) {
                Bytes relabelled = truncated;
                relabelled[4] = static_cast<unsigned char>(cut - 6);
                relabelled[5] = static_cast<unsigned char>((cut - 6) >> 8);
                const bool complete = cut == 10 + kCardAccess.size();  // the form without the TA fields
                EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(relabelled, &output), complete ? 0 : -9);
            }
        }
        Bytes longer = valid;
        longer.push_back(0x00);
        Output output;
        EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(longer, &output), -9) << "length field no longer matches";
        longer[4] = static_cast<unsigned char>(longer.size() - 6);
        longer[5] = static_cast<unsigned char>((longer.size() - 6) >> 8);
        EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(longer, &output), -9) << "a byte left over";
    }

    // Inner lengths that point past the end, each with a correct outer length.
    auto relabel = [](Bytes answer) {
        answer[4] = static_cast<unsigned char>(answer.size() - 6);
        answer[5] = static_cast<unsigned char>((answer.size() - 6) >> 8);
        return answer;
    };
    const Bytes head = concat({le32(0), le16(0), {0x90, 0x00}});
    // clang-format off
    const std::vector<std::pair<const char*, Bytes>> overruns{
        {"EF.CardAccess", relabel(concat({head, le16(5), {1, 2, 3, 4}}))},
        {"EF.CardAccess of 0xFFFF", relabel(concat({head, {0xFF, 0xFF}, {1, 2}}))},
        {"recent CAR", relabel(concat({head, le16(1), {0x31}, {3, 'A', 'B'}}))},
        {"previous CAR length missing", relabel(concat({head, le16(1), {0x31}, {2, 'A', 'B'}}))},
        {"previous CAR", relabel(concat({head, le16(1), {0x31}, {0}, {4, 'A'}}))},
        {"IDicc length missing", relabel(concat({head, le16(1), {0x31}, {0}, {0}}))},
        {"IDicc length cut", relabel(concat({head, le16(1), {0x31}, {0}, {0}, {0x01}}))},
        {"IDicc", relabel(concat({head, le16(1), {0x31}, {0}, {0}, le16(3), {4, 4}}))},
        {"three bytes", Bytes{0, 0, 0}},
        {"five bytes", Bytes{0, 0, 0, 0, 0}},
        {"six bytes claiming more", concat({le32(0), le16(4)})},
        {"nine bytes", relabel(concat({head, {0x00}}))},
    };
    // clang-format on
    for (const auto& [what, answer] : overruns) {
        SCOPED_TRACE(what);
        Bytes buffer(0x10000);
        Output output{0,
                      buffer.size(),
                      buffer.data(),
                      buffer.size(),
                      buffer.data(),
                      buffer.size(),
                      buffer.data(),
                      buffer.size(),
                      buffer.data()};
        EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(answer, &output), -9);
    }
    EXPECT_EQ(GC_ReaderPCSC::transformPaceOutput(readerOutput(0, kCardAccess), nullptr), -18);
}

}  // namespace
