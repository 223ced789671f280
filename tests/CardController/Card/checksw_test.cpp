#include <gtest/gtest.h>

#include <string>

#include "CardController/Card/card.h"
#include "CardController/Card/card_test_util.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"

namespace {

using cardtest::Bytes;
using cardtest::cat;
using gctest::unhex;

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

// clang-format off
const SwCase kCases[] = {
    {"success", GC_Card::OP_READ, unhex("90 00"), 0, 0},
    {"success after data", GC_Card::OP_READ, cat({kData30, unhex("90 00")}), 0, 0},
    {"61 00 found", GC_Card::OP_READ, unhex("61 00"), 0, 0},
    {"61 xx not found", GC_Card::OP_READ, unhex("61 10"), -1, -1},
    {"6C 00 found", GC_Card::OP_READ, unhex("6C 00"), -21, -21},
    {"6C xx not found", GC_Card::OP_READ, unhex("6C 10"), -1, -1},
    {"file not found", GC_Card::OP_SELECT, unhex("6A 82"), -14, -14},
    {"tries left not in table", GC_Card::OP_VERIFY, unhex("63 C2"), -1, -1},
    {"end of file after data", GC_Card::OP_READ, cat({kData30, unhex("62 82")}), -4, -4},
    {"wrong length", GC_Card::OP_UPDATE, unhex("67 00"), -7, -7},
    {"memory failure", GC_Card::OP_UPDATE, unhex("65 81"), -5, -5},
    {"reference not found", GC_Card::OP_MSE, unhex("6A 88"), -17, -17},
    {"SM object incorrect", GC_Card::OP_READ, unhex("69 88"), -13, -13},

    // Card rows win over the ISO table, for bare status words only.
    {"security status on signature", GC_Card::OP_SIGNATURE, unhex("69 82"), -9, -34},
    {"security status after data", GC_Card::OP_SIGNATURE, cat({kData20, unhex("69 82")}), -9, -9},
    {"deactivated", GC_Card::OP_SELECT, unhex("62 83"), -2, -30},
    {"deactivated after data", GC_Card::OP_SELECT, cat({kData20, unhex("62 83")}), -2, -2},
    {"terminated", GC_Card::OP_SELECT, unhex("62 85"), -1, -25},
    {"signature verification", GC_Card::OP_KEY, unhex("63 00"), -2, -31},
    {"end of record writing", GC_Card::OP_UPDATE, unhex("63 81"), -2, -4},
    {"unexpected execution error", GC_Card::OP_KEY, unhex("65 00"), -1, -5},
    {"RAM", GC_Card::OP_KEY, unhex("65 01"), -1, -26},
    {"EEPROM", GC_Card::OP_KEY, unhex("65 02"), -1, -27},
    {"crypto parameters", GC_Card::OP_KEY, unhex("65 03"), -1, -28},
    {"crypto execution", GC_Card::OP_KEY, unhex("65 04"), -1, -28},
    {"memory operation", GC_Card::OP_UPDATE, unhex("65 82"), -1, -5},
    {"data invalid", GC_Card::OP_KEY, unhex("69 84"), -11, -33},
    {"applet select", GC_Card::OP_SELECT, unhex("69 99"), -1, -29},
    {"conditions of use", GC_Card::OP_READ, unhex("69 85"), -34, -34},
    {"conditions of use on MSE", GC_Card::OP_MSE, unhex("69 85"), -34, -34},

    // 69 83: blocked for PIN commands, invalid data for the rest.
    {"verify blocked", GC_Card::OP_VERIFY, unhex("69 83"), -10, -10},
    {"logout blocked", GC_Card::OP_LOGOUT, unhex("69 83"), -10, -10},
    {"change blocked", GC_Card::OP_CHANGE, unhex("69 83"), -10, -10},
    {"unblock blocked", GC_Card::OP_UNBLOCK, unhex("69 83"), -10, -10},
    {"select invalid data", GC_Card::OP_SELECT, unhex("69 83"), -10, -32},
    {"signature invalid data", GC_Card::OP_SIGNATURE, unhex("69 83"), -10, -32},
    {"verify 69 83 after data", GC_Card::OP_VERIFY, cat({kData20, unhex("69 83")}), -10, -10},

    // Answers too short to hold a status word are refused, never read past.
    {"one byte", GC_Card::OP_READ, unhex("90"), -1, -1},
    {"empty", GC_Card::OP_READ, Bytes{}, -1, -1},
};
// clang-format on

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

}  // namespace
