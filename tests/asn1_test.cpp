// Edge cases of the BER-TLV codec: both parsers, the builders, the DER writer and the lookups.

#include "asn1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/hex.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Item = GC_ASN1::item;
using Tree = std::vector<GC_ASN1::item>;
using gctest::unhex;

// A compact picture of a tree: tag(value){children} per item, so whole shapes compare at once.
std::string shape(const Tree& tree) {
    std::string out;
    for (const Item& it : tree) {
        char buf[4];
        for (unsigned char b : it.tag) {
            snprintf(buf, sizeof buf, "%02X", b);
            out += buf;
        }
        out += it.primitive ? "(" : "[";
        for (unsigned char b : it.value) {
            snprintf(buf, sizeof buf, "%02X", b);
            out += buf;
        }
        out += it.primitive ? ")" : "]";
        if (!it.children.empty()) out += "{" + shape(it.children) + "}";
        out += " ";
    }
    return out;
}

Item make(const std::string& tag, const std::string& value, bool primitive) {
    Item it;
    EXPECT_EQ(GC_ASN1::createTag(it, unhex(tag), unhex(value), primitive), 0);
    return it;
}

bool isEmpty(const Item& it) {
    return it.tag.empty() && it.value.empty() && it.children.empty();
}

// ---------------------------------------------------------------- parsing, both parsers

struct ParseCase {
    const char* name;
    const char* input;
    int fast;               // result of the fast parser
    int recursive;          // result of the recursive parser
    const char* fastShape;  // tree after the fast parser
    const char* recShape;   // tree after the recursive parser (nullptr: same as fast)
};

// clang-format off
const ParseCase kParseCases[] = {
    {"empty", "", 0, 0, "", nullptr},
    {"trailing zeros end the parse", "30 03 02 01 05 00 00", 0, 0, "30[020105]{02(05) } ", nullptr},
    {"zero byte ends, rest unread", "02 01 05 00 FF FF", 0, 0, "02(05) ", nullptr},
    {"zero byte inside a definite item ends every level", "30 05 02 01 05 00 00 04 01 07", 0, 0, "30[0201050000]{02(05) } ", nullptr},
    {"empty sequence then sibling", "30 00 04 01 07", 0, 0, "30[] 04(07) ", nullptr},
    {"indefinite sequence stops at end-of-contents", "30 80 02 01 05 00 00 04 01 07", 0, 0, "30[]{02(05) } ", nullptr},
    {"indefinite holds a definite sequence", "30 80 30 03 02 01 05 02 01 06 00 00", 0, 0, "30[]{30[020105]{02(05) } 02(06) } ", nullptr},
    {"long form 81 00 needs a byte after it (fast)", "04 81 00", -1, 0, "", "04() "},
    {"two empty octet strings", "04 81 00 04 00", 0, 0, "04() 04() ", nullptr},
    {"eight length bytes with leading zeros", "04 88 00 00 00 00 00 00 00 05 01 02 03 04 05", 0, 0, "04(0102030405) ", nullptr},
    {"all-zero long form is length 0", "04 82 00 00 05 00", 0, 0, "04() 05() ", nullptr},
    {"nine significant length bytes", "04 89 01 00 00 00 00 00 00 00 00 00", -1, -2, "", nullptr},
    {"indefinite primitive", "04 80", -1, -2, "", nullptr},
    {"indefinite primitive after an item", "02 01 05 04 80 00 00", -1, -2, "02(05) ", nullptr},
    {"two-byte application tag", "5F 20 02 41 42", 0, 0, "5F20(4142) ", nullptr},
    {"continuation ignores bit 8", "9F 81 01 00", 0, 0, "9F81(00) ", nullptr},
    {"three-byte tag", "5F 3F 01 01 AA", 0, 0, "5F3F01(AA) ", nullptr},
    {"constructed two-byte tag", "7F 49 05 86 03 04 01 02", 0, 0, "7F49[8603040102]{86(040102) } ", nullptr},
    {"content ends at the end", "04 03 01 02 03", 0, 0, "04(010203) ", nullptr},
    {"content past the end", "04 04 01 02 03", -1, -2, "", nullptr},
    {"long-form content past the end", "04 81 80 01", -1, -2, "", nullptr},
    {"tag at the end", "02 01 05 30", -1, -2, "02(05) ", nullptr},
    {"tag cut inside", "5F", -1, -2, "", nullptr},
    {"length bytes cut", "04 82 01", -1, -2, "", nullptr},
    {"items after a failure are not read", "02 01 05 04 05 00", -1, -2, "02(05) ", nullptr},
    // An item that runs past its parent: the fast parser keeps the parent open (its count passes
    // zero), the recursive parser refuses the item.
    {"primitive overruns parent", "30 03 04 05 01 02 03 04 05 02 01 09", 0, -1, "30[040501]{04(0102030405) 02(09) } ", ""},
    {"header overruns parent", "30 01 04 00 02 01 09", 0, -1, "30[04]{04() 02(09) } ", ""},
    // Here the parent closes when its count reaches 0; the open child is then found again by
    // its tag from the top level, which leads to the parent: the INTEGER lands beside the child.
    {"constructed overruns parent", "30 02 30 03 02 01 05", 0, -1, "30[3003]{30[020105] 02(05) } ", ""},
    // When no list holds the open child's tag, the search passes it over: items go to the top level.
    {"open item not found again", "30 04 31 82 00 04 04 00 04 00", 0, -1, "30[31820004]{31[04000400] } 04() 04() ", ""},
};
// clang-format on

TEST(Asn1Parse, BothParsersOnEdgeCases) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.name);
        const std::string fastShape = c.fastShape;
        Tree tree;
        tree.push_back(Item{});  // deserialize replaces what was there
        EXPECT_EQ(GC_ASN1::deserialize(tree, unhex(c.input), true), c.fast);
        EXPECT_EQ(shape(tree), fastShape);
        EXPECT_EQ(GC_ASN1::deserialize(tree, unhex(c.input), false), c.recursive);
        EXPECT_EQ(shape(tree), c.recShape ? std::string(c.recShape) : fastShape);
    }
}

TEST(Asn1Parse, DepthAndNumber) {
    const Bytes data = unhex("30 09 02 01 01 02 01 02 02 01 03 04 00");
    Tree fast, rec;
    ASSERT_EQ(GC_ASN1::deserialize(fast, data, true), 0);
    ASSERT_EQ(GC_ASN1::deserialize(rec, data, false), 0);
    ASSERT_EQ(fast.size(), 2u);
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(fast[0].depth, 0u);
    EXPECT_EQ(fast[0].number, 0u);
    EXPECT_EQ(rec[0].number, 1u);
    EXPECT_EQ(rec[1].number, 2u);
    ASSERT_EQ(fast[0].children.size(), 3u);
    ASSERT_EQ(rec[0].children.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(fast[0].children[i].depth, 1u);
        EXPECT_EQ(fast[0].children[i].number, 0u);
        EXPECT_EQ(rec[0].children[i].depth, 1u);
        EXPECT_EQ(rec[0].children[i].number, i + 1);
    }
}

TEST(Asn1Parse, NestingIsBounded) {
    // 64 levels of constructed items parse; one more is refused; a hostile depth fails cleanly.
    auto nested = [](size_t levels, bool indefinite) {
        Bytes data;
        for (size_t i = 0; i < levels; ++i) {
            data.push_back(0x30);
            data.push_back(0x80);
        }
        data.insert(data.end(), {0x02, 0x01, 0x05});
        if (!indefinite) {
            // Definite lengths: content sizes from the inside out, then the headers outermost first.
            std::vector<size_t> sizes(levels);
            size_t inner = 3;
            for (size_t i = 0; i < levels; ++i) {
                sizes[i] = inner;
                inner += 1 + (inner < 0x80 ? 1 : inner < 0x100 ? 2 : inner < 0x10000 ? 3 : 4);
            }
            data.clear();
            for (size_t i = levels; i-- > 0;) {
                data.push_back(0x30);
                const size_t n = sizes[i];
                if (n < 0x80) {
                    data.push_back(static_cast<unsigned char>(n));
                } else {
                    const unsigned char count = n < 0x100 ? 1 : n < 0x10000 ? 2 : 3;
                    data.push_back(0x80 | count);
                    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
                        data.push_back(static_cast<unsigned char>(n >> shift));
                    }
                }
            }
            data.insert(data.end(), {0x02, 0x01, 0x05});
        }
        return data;
    };
    for (bool indefinite : {false, true}) {
        SCOPED_TRACE(indefinite ? "indefinite" : "definite");
        Tree tree;
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(GC_ASN1::kMaxNesting, indefinite), true), 0);
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(GC_ASN1::kMaxNesting, indefinite), false), 0);
        const Item* deepest = &tree.at(0);
        while (!deepest->children.empty()) deepest = &deepest->children[0];
        EXPECT_EQ(deepest->depth, GC_ASN1::kMaxNesting);
        EXPECT_EQ(deepest->value, unhex("05"));
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(GC_ASN1::kMaxNesting + 1, indefinite), true), -1);
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(GC_ASN1::kMaxNesting + 1, indefinite), false), -1);
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(100000, indefinite), true), -1);
        EXPECT_EQ(GC_ASN1::deserialize(tree, nested(100000, indefinite), false), -1);
    }
}

TEST(Asn1Parse, ManyItemsBesideAnOpenItemThatIsNotFound) {
    // The case above with 21000 items: placing each must not rescan the whole top level.
    constexpr size_t kItems = 21000;
    Bytes body;
    for (size_t i = 0; i < kItems; ++i) body.insert(body.end(), {0x04, 0x01, static_cast<unsigned char>(i)});
    Bytes data = unhex("30 04 31 82");
    data.push_back(static_cast<unsigned char>(body.size() >> 8));
    data.push_back(static_cast<unsigned char>(body.size()));
    for (unsigned char b : body) data.push_back(b);
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, data, true), 0);
    ASSERT_EQ(tree.size(), 1 + kItems);
    EXPECT_EQ(tree.back().depth, 0u);
    EXPECT_EQ(tree.back().value, Bytes{static_cast<unsigned char>(kItems - 1)});
}

TEST(Asn1Parse, OffsetLengthReaderStaysInsideInput) {
    struct Case {
        const char* data;
        unsigned long offset;
        bool ok;
        unsigned long length;
        bool indefinite;
        unsigned long next;
    };
    const Case cases[] = {
        {"05", 0, true, 5, false, 1},
        {"80", 0, true, 0, true, 1},
        {"81 80", 0, true, 128, false, 2},
        {"AA 82 01 00", 1, true, 256, false, 4},
        {"88 00 00 00 00 00 00 00 05", 0, true, 5, false, 9},
        {"82 00 00", 0, true, 0, false, 3},
        {"89 01 00 00 00 00 00 00 00 00", 0, false, 0, false, 0},
        // The input as a whole is longer than the count, but not from the offset on.
        {"00 00 00 82 01", 3, false, 0, false, 3},
        {"00 00 82 01", 2, false, 0, false, 2},
        {"FF", 0, false, 0, false, 0},
        {"05", 1, false, 0, false, 1},
        {"", 0, false, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        unsigned long offset = c.offset;
        unsigned long length = 0;
        bool indefinite = false;
        const bool ok = GC_ASN1::getLength(unhex(c.data), offset, length, indefinite);
        EXPECT_EQ(ok, c.ok);
        if (ok) {
            EXPECT_EQ(length, c.length);
            EXPECT_EQ(indefinite, c.indefinite);
            EXPECT_EQ(offset, c.next);
        }
    }
}

TEST(Asn1Parse, ObjectReaderFlagsAndClass) {
    struct Case {
        const char* data;
        unsigned char flags;
        unsigned char cls;
        const char* tag;
        const char* value;
    };
    const Case cases[] = {
        {"A1 03 02 01 05", 0x20, 0x80, "A1", "020105"},
        {"30 80 02 01 05 00 00", 0x21, 0x00, "30", ""},
        {"5F 20 01 41", 0x00, 0x40, "5F20", "41"},
        {"DF 01 00", 0x00, 0xC0, "DF01", ""},
        {"04 80 00 00", 0x80, 0x00, "04", ""},
        {"04 02 01", 0x80, 0x00, "04", ""},
        {"04", 0x80, 0x00, "04", ""},
        {"", 0x80, 0x00, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        Item it;
        unsigned char cls = 0;
        unsigned long offset = 0;
        const unsigned char flags = GC_ASN1::getObject(unhex(c.data), it, cls, offset);
        EXPECT_EQ(flags, c.flags);
        if ((flags & 0x80) == 0) {
            EXPECT_EQ(cls, c.cls);
            EXPECT_EQ(it.tag, unhex(c.tag));
            EXPECT_EQ(it.value, unhex(c.value));
        }
    }
}

// ---------------------------------------------------------------- building and writing

TEST(Asn1Build, LengthBytes) {
    // clang-format off
    const std::pair<size_t, const char*> cases[] = {
        {0, "00"},
        {127, "7F"},
        {128, "81 80"},
        {255, "81 FF"},
        {256, "82 01 00"},
        {65535, "82 FF FF"},
        {65536, "83 01 00 00"},
        {16777216, "84 01 00 00 00"},
    };
    // clang-format on
    for (const auto& [size, expected] : cases) {
        SCOPED_TRACE(size);
        EXPECT_EQ(GC_ASN1::getLength2Byte(Bytes(size)), unhex(expected));
    }
}

TEST(Asn1Build, SequenceOfInteger) {
    Item seq = make("30", "", false);
    Item integer = make("02", "05", true);
    ASSERT_EQ(GC_ASN1::addChild(seq, integer), 0);
    EXPECT_EQ(integer.depth, 1u);  // raised in the caller's item too
    EXPECT_EQ(seq.value, unhex("02 01 05"));
    EXPECT_EQ(GC_ASN1::serialize(seq), unhex("30 03 02 01 05"));

    // Later changes to the caller's child do not reach the appended copy.
    integer.value = unhex("07");
    EXPECT_EQ(GC_ASN1::serialize(seq), unhex("30 03 02 01 05"));
}

TEST(Asn1Build, NestedBuildGivesDer) {
    // SEQUENCE { INTEGER 300 bytes, [1] { OCTET STRING 01 } }: a long form in the middle.
    Item seq = make("30", "", false);
    Item big = make("02", std::string(600, '1'), true);
    Item ctx = make("A1", "", false);
    Item octets = make("04", "01", true);
    ASSERT_EQ(GC_ASN1::addChild(ctx, octets), 0);
    std::vector<Item> kids = {big, ctx};
    ASSERT_EQ(GC_ASN1::addChild(seq, kids), 0);
    const Bytes der = GC_ASN1::serialize(seq);
    ASSERT_EQ(der.size(), 4u + 4 + 300 + 5);
    EXPECT_EQ(Bytes(der.begin(), der.begin() + 8), unhex("30 82 01 35 02 82 01 2C"));
    EXPECT_EQ(Bytes(der.end() - 5, der.end()), unhex("A1 03 04 01 01"));
}

TEST(Asn1Build, ParseThenWriteGivesShortestLengths) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 81 03 02 01 05"), true), 0);
    EXPECT_EQ(GC_ASN1::serialize(tree), unhex("30 03 02 01 05"));
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 80 02 82 00 01 05 00 00"), false), 0);
    EXPECT_EQ(GC_ASN1::serialize(tree), unhex("30 03 02 01 05"));
}

TEST(Asn1Build, EmptyTagsAreRefused) {
    Item it = make("04", "AA", true);
    EXPECT_EQ(GC_ASN1::createTag(it, {}, unhex("BB"), true), -3);
    EXPECT_EQ(it.tag, unhex("04"));
    EXPECT_EQ(it.value, unhex("AA"));

    Item parent = make("30", "", false);
    Item good = make("02", "01", true);
    ASSERT_EQ(GC_ASN1::addChild(parent, good), 0);
    Item untagged;
    EXPECT_EQ(GC_ASN1::addChild(parent, untagged), -3);
    EXPECT_EQ(parent.children.size(), 1u);
    EXPECT_EQ(parent.value, unhex("02 01 01"));

    std::vector<Item> list = {make("02", "02", true), Item{}};
    EXPECT_EQ(GC_ASN1::addChild(parent, list), -3);
    EXPECT_EQ(parent.children.size(), 1u);

    // A constructed item without tag cannot be written; inside a parent it is left out.
    Item bare;
    bare.primitive = false;
    EXPECT_EQ(GC_ASN1::serializeData(bare), -3);
    EXPECT_TRUE(GC_ASN1::serialize(bare).empty());
    Item outer = make("30", "", false);
    outer.children = {bare, make("05", "", true)};
    EXPECT_EQ(GC_ASN1::serialize(outer), unhex("30 02 05 00"));
    std::vector<Item> both = {bare, make("05", "", true)};
    EXPECT_EQ(GC_ASN1::serialize(both), unhex("05 00"));
    EXPECT_EQ(GC_ASN1::serializeData(both), 0);  // the last item's result
}

TEST(Asn1Build, ChildOfPrimitiveParentIsNotWritten) {
    Item parent = make("04", "", true);
    Item child = make("02", "05", true);
    ASSERT_EQ(GC_ASN1::addChild(parent, child), 0);
    EXPECT_EQ(parent.children.size(), 1u);
    EXPECT_TRUE(parent.value.empty());
    EXPECT_EQ(GC_ASN1::serialize(parent), unhex("04 00"));
}

TEST(Asn1Build, ChildNumber) {
    Item parent = make("30", "", false);
    Item same = make("30", "", false);
    Item other = make("02", "01", true);
    ASSERT_EQ(GC_ASN1::addChild(parent, same), 0);
    ASSERT_EQ(GC_ASN1::addChild(parent, other), 0);
    EXPECT_EQ(parent.children[0].number, 2u);
    EXPECT_EQ(parent.children[1].number, 1u);
}

TEST(Asn1Build, ReadNumber) {
    struct Case {
        const char* bytes;
        bool all;
        int expected;
    };
    const Case cases[] = {
        {"", false, 0},
        {"82 01 00", false, 256},
        {"81 80", false, 128},
        {"05", false, 5},
        {"01 00", true, 256},
        {"01 00", false, 1},
        {"01 00 00", true, 65536},
        {"80", false, 0},
        {"82 01", false, 0},
        {"82 01", true, 0},
        {"FF FF FF FF", true, -1},
        {"90 00", true, 0x9000},
        {"01 02 03 04 05", true, 0x02030405},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(GC_ASN1::getLength(unhex(c.bytes), c.all), c.expected);
    }
}

// ---------------------------------------------------------------- lookups

TEST(Asn1Lookup, SplitTagOffPath) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"30 02", "30"},
        {"7F 49 86", "7F49"},
        {"5F 3F 01 02", "5F3F01"},
        {"9F 81 04", "9F81"},
        {"", ""},
    };
    // clang-format on
    for (const auto& [path, tag] : cases) {
        Bytes p = unhex(path);
        Bytes t = unhex("AA");
        GC_ASN1::getPrimitiveTag(p, t);
        Bytes expectedTag = unhex("AA");
        const Bytes tagBytes = unhex(tag);
        expectedTag.insert(expectedTag.end(), tagBytes.begin(), tagBytes.end());
        EXPECT_EQ(t, expectedTag) << path;
        EXPECT_EQ(p.size() + tagBytes.size(), unhex(path).size()) << path;
    }
}

TEST(Asn1Lookup, PathsOverAnItem) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 06 02 01 05 02 01 06"), true), 0);
    const Item& seq = tree[0];

    std::vector<Item> all;
    GC_ASN1::getData(seq, unhex("30 02"), all);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].value, unhex("05"));
    EXPECT_EQ(all[1].value, unhex("06"));

    Item first;
    GC_ASN1::getData(seq, unhex("30 02"), first);
    EXPECT_EQ(first.value, unhex("05"));

    GC_ASN1::getData(seq, unhex("02"), all);
    EXPECT_TRUE(all.empty());
    first = make("04", "FF", true);
    GC_ASN1::getData(seq, unhex("02"), first);
    EXPECT_TRUE(isEmpty(first));

    // A single tag names the starting item itself.
    GC_ASN1::getData(seq, unhex("30"), first);
    EXPECT_EQ(first.value, unhex("02 01 05 02 01 06"));
    // Paths that are empty or end inside a tag match nothing.
    GC_ASN1::getData(seq, {}, all);
    EXPECT_TRUE(all.empty());
    GC_ASN1::getData(seq, unhex("30 1F"), all);
    EXPECT_TRUE(all.empty());
}

TEST(Asn1Lookup, PathsOverATree) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 03 02 01 05 30 03 04 01 07 00 00"), true), 0);
    std::vector<Item> all;
    GC_ASN1::getData(tree, unhex("30"), all);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].value, unhex("04 01 07"));
    Item first;
    GC_ASN1::getData(tree, unhex("30"), first);
    EXPECT_EQ(first.value, unhex("02 01 05"));
    // The first top-level item that holds a match wins.
    GC_ASN1::getData(tree, unhex("30 04"), first);
    EXPECT_EQ(first.value, unhex("07"));
    GC_ASN1::getData(tree, unhex("31"), first);
    EXPECT_TRUE(isEmpty(first));
}

TEST(Asn1Lookup, DepthFirstDocumentOrder) {
    // 30 { 30 { 04 a, 04 b }, 30 { 04 c } }: path 30 30 04 yields a, b, c.
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 0D 30 06 04 01 0A 04 01 0B 30 03 04 01 0C"), true), 0);
    std::vector<Item> all;
    GC_ASN1::getData(tree, unhex("30 30 04"), all);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].value, unhex("0A"));
    EXPECT_EQ(all[1].value, unhex("0B"));
    EXPECT_EQ(all[2].value, unhex("0C"));

    // The copying getTag stops at one match with first-only; found items are copies.
    std::vector<Item> some;
    GC_ASN1::getTag(tree[0], unhex("30 30 04"), some, true);
    ASSERT_EQ(some.size(), 1u);
    some[0].value = unhex("FF");
    GC_ASN1::getData(tree, unhex("30 30 04"), all);
    EXPECT_EQ(all[0].value, unhex("0A"));
}

TEST(Asn1Lookup, CardTemplatePath) {
    // A public-key template: 7F 49 { 86 point }.
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("7F 49 06 06 01 2A 86 01 04 90 00"), true), 0);
    Item point;
    GC_ASN1::getData(tree, unhex("7F 49 86"), point);
    EXPECT_EQ(point.tag, unhex("86"));
    EXPECT_EQ(point.value, unhex("04"));
}

TEST(Asn1Lookup, OutputMayAliasInput) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 06 02 01 05 02 01 06"), true), 0);
    Tree copy = tree;
    GC_ASN1::getData(copy, unhex("30 02"), copy);
    ASSERT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy[1].value, unhex("06"));

    Item entry = tree[0];
    GC_ASN1::getData(entry, unhex("30 02"), entry);
    EXPECT_EQ(entry.tag, unhex("02"));
    EXPECT_EQ(entry.value, unhex("05"));

    copy = tree;
    GC_ASN1::getTag(copy[0], unhex("30 02"), copy, false);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy[2].value, unhex("06"));
}

TEST(Asn1Modify, ChangesAndFailures) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 08 02 01 05 30 03 02 01 06"), true), 0);
    const Item original = tree[0];

    Item root = original;
    EXPECT_EQ(GC_ASN1::modifyTag(root, unhex("30 04"), unhex("01"), 0), -2);
    EXPECT_EQ(GC_ASN1::modifyTag(root, unhex("30 02"), unhex("01"), 1), -5);
    EXPECT_EQ(GC_ASN1::modifyTag(root, unhex("30 30"), unhex("01"), 0), -4);
    EXPECT_EQ(GC_ASN1::serialize(root), unhex("30 08 02 01 05 30 03 02 01 06"));

    // A nested change re-encodes every item on the way up.
    EXPECT_EQ(GC_ASN1::modifyTag(root, unhex("30 30 02"), unhex("01 00"), 0), 0);
    EXPECT_EQ(root.value, unhex("02 01 05 30 04 02 02 01 00"));
    EXPECT_EQ(GC_ASN1::serialize(root), unhex("30 09 02 01 05 30 04 02 02 01 00"));

    // The value may come from the tree itself.
    root = original;
    EXPECT_EQ(GC_ASN1::modifyTag(root, unhex("30 02"), root.children[1].children[0].value, 0), 0);
    EXPECT_EQ(GC_ASN1::serialize(root), unhex("30 08 02 01 06 30 03 02 01 06"));
}

TEST(Asn1Modify, IntegerInSequence) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, unhex("30 03 02 01 05"), true), 0);
    EXPECT_EQ(GC_ASN1::modifyTag(tree[0], unhex("30 02"), unhex("01 00"), 0), 0);
    EXPECT_EQ(GC_ASN1::serialize(tree), unhex("30 04 02 02 01 00"));
}

}  // namespace
