#include <gtest/gtest.h>

#include <string>

#include "CardController/Card/card.h"
#include "CardController/Card/card_test_util.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"

namespace {

using cardtest::Bytes;
using cardtest::cat;
using cardtest::hex;

// The card-layer code of one answer on the generic card and on both ChipDoc generations.
struct SwCase {
    const char* name;
    GC_Card::operation op;
    Bytes response;
    int generic;
    int chipdoc;  // the same for 2.0 and 3.0
};

const Bytes kData20(20, 0x5A);
const Bytes kData30(30, 0xA5);

const SwCase kCases[] = {
    {"success", GC_Card::OP_READ, hex("90 00"), 0, 0},
    {"success after data", GC_Card::OP_READ, cat({kData30, hex("90 00")}), 0, 0},
    {"61 00 found", GC_Card::OP_READ, hex("61 00"), 0, 0},
    {"61 xx not found", GC_Card::OP_READ, hex("61 10"), -1, -1},
    {"6C 00 found", GC_Card::OP_READ, hex("6C 00"), -21, -21},
    {"6C xx not found", GC_Card::OP_READ, hex("6C 10"), -1, -1},
    {"file not found", GC_Card::OP_SELECT, hex("6A 82"), -14, -14},
    {"tries left not in table", GC_Card::OP_VERIFY, hex("63 C2"), -1, -1},
    {"end of file after data", GC_Card::OP_READ, cat({kData30, hex("62 82")}), -4, -4},
    {"wrong length", GC_Card::OP_UPDATE, hex("67 00"), -7, -7},
    {"memory failure", GC_Card::OP_UPDATE, hex("65 81"), -5, -5},
    {"reference not found", GC_Card::OP_MSE, hex("6A 88"), -17, -17},
    {"SM object incorrect", GC_Card::OP_READ, hex("69 88"), -13, -13},

    // Card rows win over the ISO table, for bare status words only.
    {"security status on signature", GC_Card::OP_SIGNATURE, hex("69 82"), -9, -34},
    {"security status after data", GC_Card::OP_SIGNATURE, cat({kData20, hex("69 82")}), -9, -9},
    {"deactivated", GC_Card::OP_SELECT, hex("62 83"), -2, -30},
    {"deactivated after data", GC_Card::OP_SELECT, cat({kData20, hex("62 83")}), -2, -2},
    {"terminated", GC_Card::OP_SELECT, hex("62 85"), -1, -25},
    {"signature verification", GC_Card::OP_KEY, hex("63 00"), -2, -31},
    {"end of record writing", GC_Card::OP_UPDATE, hex("63 81"), -2, -4},
    {"unexpected execution error", GC_Card::OP_KEY, hex("65 00"), -1, -5},
    {"RAM", GC_Card::OP_KEY, hex("65 01"), -1, -26},
    {"EEPROM", GC_Card::OP_KEY, hex("65 02"), -1, -27},
    {"crypto parameters", GC_Card::OP_KEY, hex("65 03"), -1, -28},
    {"crypto execution", GC_Card::OP_KEY, hex("65 04"), -1, -28},
    {"memory operation", GC_Card::OP_UPDATE, hex("65 82"), -1, -5},
    {"data invalid", GC_Card::OP_KEY, hex("69 84"), -11, -33},
    {"applet select", GC_Card::OP_SELECT, hex("69 99"), -1, -29},
    {"conditions of use", GC_Card::OP_READ, hex("69 85"), -34, -34},
    {"conditions of use on MSE", GC_Card::OP_MSE, hex("69 85"), -34, -34},

    // 69 83: blocked for PIN commands, invalid data for the rest.
    {"verify blocked", GC_Card::OP_VERIFY, hex("69 83"), -10, -10},
    {"logout blocked", GC_Card::OP_LOGOUT, hex("69 83"), -10, -10},
    {"change blocked", GC_Card::OP_CHANGE, hex("69 83"), -10, -10},
    {"unblock blocked", GC_Card::OP_UNBLOCK, hex("69 83"), -10, -10},
    {"select invalid data", GC_Card::OP_SELECT, hex("69 83"), -10, -32},
    {"signature invalid data", GC_Card::OP_SIGNATURE, hex("69 83"), -10, -32},
    {"verify 69 83 after data", GC_Card::OP_VERIFY, cat({kData20, hex("69 83")}), -10, -10},

    // Answers too short to hold a status word are refused, never read past.
    {"one byte", GC_Card::OP_READ, hex("90"), -1, -1},
    {"empty", GC_Card::OP_READ, Bytes{}, -1, -1},
};

TEST(CheckSW, GenericAndBothChipdocGenerations) {
    GC_Card generic;
    GC_CardChipdoc_2_0 chipdoc2;
    GC_CardChipdoc_3_0 chipdoc3;
    GC_Card* const viaBase2 = &chipdoc2;  // the controllers call through GC_Card
    GC_Card* const viaBase3 = &chipdoc3;
    for (const SwCase& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(generic.checkSW(c.op, c.response), c.generic);
        EXPECT_EQ(viaBase2->checkSW(c.op, c.response), c.chipdoc);
        EXPECT_EQ(viaBase3->checkSW(c.op, c.response), c.chipdoc);
    }
}

// Every ISO status word, exactly as the generic card reports it.
TEST(CheckSW, IsoTableCodes) {
    const std::pair<const char*, int> rows[] = {
        {"9000", 0},   {"6100", 0},   {"6200", -2},  {"6281", -3},  {"6282", -4},  {"6283", -2},  {"6284", -2},
        {"6300", -2},  {"6381", -2},  {"6581", -5},  {"6700", -7},  {"6800", -6},  {"6881", -6},  {"6882", -6},
        {"6900", -8},  {"6981", -2},  {"6982", -9},  {"6983", -10}, {"6984", -11}, {"6985", -34}, {"6986", -8},
        {"6987", -12}, {"6988", -13}, {"6A00", -12}, {"6A80", -12}, {"6A81", -6},  {"6A82", -14}, {"6A83", -15},
        {"6A84", -16}, {"6A85", -12}, {"6A86", -12}, {"6A87", -12}, {"6A88", -17}, {"6A89", -18}, {"6A8A", -18},
        {"6B00", -12}, {"6C00", -21}, {"6D00", -19}, {"6E00", -20}, {"6F00", -2},
    };
    ASSERT_EQ(std::size(rows), GC_Card::iso7816_errors.size());
    GC_Card card;
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].first);
        EXPECT_EQ(GC_Card::iso7816_errors[i].sw, hex(rows[i].first));
        EXPECT_EQ(card.checkSW(GC_Card::OP_UPDATE, hex(rows[i].first)), rows[i].second);
    }
    // The en dash of the secure-messaging messages is stored as UTF-8.
    EXPECT_NE(GC_Card::iso7816_errors[21].message.find("\xE2\x80\x93"), std::string::npos);
    EXPECT_NE(GC_Card::iso7816_errors[22].message.find("\xE2\x80\x93"), std::string::npos);
}

}  // namespace
