#include "Data/bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string text(GC_Bytes b) {
    return std::string(b.begin(), b.end());
}
GC_Bytes fromText(const std::string& s) {
    return GC_Bytes(std::vector<char>(s.begin(), s.end()), 0);
}

TEST(GC_Bytes, SubstrAndSubTo) {
    GC_Bytes b = fromText("abcdef");
    EXPECT_EQ(text(b.substr(2, -1)), "cdef");
    EXPECT_EQ(text(b.substr(4, 10)), "ef");
    EXPECT_EQ(text(b.substr(6, 1)), "");
    EXPECT_EQ(text(b.substr(7, 1)), "");
    EXPECT_EQ(text(b.substr(-1, 2)), "");
    EXPECT_EQ(text(b.subTo(1, 3)), "bc");
    EXPECT_EQ(text(b.subTo(4, 2)), "ef");
    EXPECT_EQ(text(b.substr(1, 0x7FFFFFFFFFFFFFFFLL)), "bcdef");
    EXPECT_EQ(text(b), "abcdef");
}

TEST(GC_Bytes, Rstrip) {
    EXPECT_EQ(text(fromText("ab \r\n").rstrip()), "ab");
    EXPECT_EQ(text(fromText("ab\t").rstrip()), "ab\t");
    EXPECT_EQ(text(fromText("  ").rstrip()), "");
}

TEST(GC_Bytes, FindAndFindLastOf) {
    EXPECT_EQ(fromText("E:1024").find("E:"), 0);
    EXPECT_EQ(fromText("E:1024").find(""), -1);
    EXPECT_EQ(fromText("ab").find("abc"), -1);
    EXPECT_EQ(fromText("abcb").find("b"), 1);
    EXPECT_EQ(fromText("aab").find("ab"), 1);
    EXPECT_EQ(fromText("xxab").find("ab"), 2);
    EXPECT_EQ(fromText("abcb").find_last_of('b'), 3);
    EXPECT_EQ(GC_Bytes().find_last_of('b'), -1);
}

TEST(GC_Bytes, CountRules) {
    std::vector<char> five{'1', '2', '3', '4', '5'};
    EXPECT_EQ(text(GC_Bytes(five, 3)), "123");
    EXPECT_EQ(text(GC_Bytes(five, 0)), "12345");
    EXPECT_EQ(text(GC_Bytes(five, 9)), "12345");

    SecureVector<unsigned char> secure(reinterpret_cast<const unsigned char*>("12345"), 5);
    GC_Bytes b = fromText("x");
    b.append(secure, 3);
    EXPECT_EQ(text(b), "x123");

    SecureVector<char> chars("abc", 3);
    EXPECT_EQ(text(GC_Bytes(chars, 2)), "ab");
    EXPECT_EQ(text(GC_Bytes(chars, 0)), "");
    EXPECT_EQ(text(GC_Bytes(chars, 10)), "abc");  // never reads past the argument
}

TEST(GC_Bytes, CStrIsASnapshot) {
    GC_Bytes empty;
    EXPECT_STREQ(empty.c_str(), "");
    GC_Bytes b = fromText("ab");
    const char* s = b.c_str();
    b.append("cd", 2);
    EXPECT_STREQ(s, "ab");
    EXPECT_STREQ(b.c_str(), "abcd");
}

TEST(GC_Bytes, Fill0PopBackAndFormatting) {
    GC_Bytes b = fromText("abc");
    b.fill0();
    EXPECT_EQ(b.length(), 3);
    EXPECT_EQ(text(b), std::string(3, '\0'));
    GC_Bytes ab = fromText("ab");
    ab.pop_back();
    EXPECT_EQ(text(ab), "a");
    EXPECT_EQ(text(GC_Bytes("%s", "")), "");
    EXPECT_EQ(text(GC_Bytes("%s=%i", "k", 42)), "k=42");
    GC_Bytes f;
    f.appendf("%04X", 0xBEEFu);
    EXPECT_EQ(text(f), "BEEF");
    std::string longText(6000, 'x');
    EXPECT_EQ(GC_Bytes("%s", longText.c_str()).size(), 4999);
}

TEST(GC_Bytes, CopiesAndMovesAreDeep) {
    GC_Bytes a = fromText("secret");
    GC_Bytes moved(std::move(a));
    EXPECT_EQ(text(moved), "secret");
    EXPECT_EQ(text(a), "secret");  // a move keeps the source's bytes until it is destroyed
    GC_Bytes c;
    c = moved;
    EXPECT_TRUE(c == moved);
    c.append(fromText("!"));
    EXPECT_FALSE(c == moved);
    EXPECT_TRUE(GC_Bytes() == GC_Bytes());
}

TEST(SecureVector, GrowsExactlyAndCopies) {
    SecureVector<unsigned char> v;
    for (unsigned char i = 0; i < 5; ++i) v.push_back(i);
    EXPECT_EQ(v.size(), 5u);
    EXPECT_EQ(v.capacity(), 5u);
    SecureVector<unsigned char> w(v);
    EXPECT_EQ(w.capacity(), 5u);
    w.append(w);
    ASSERT_EQ(w.size(), 10u);
    EXPECT_EQ(w[9], 4);
}

}  // namespace
