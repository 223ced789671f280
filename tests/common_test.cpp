#include "common.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "support/temp_dir.h"

namespace {

TEST(Common, NumbersAndBytes) {
    EXPECT_EQ(byte2ULong({0x01, 0x02}, true, 0), 0x0102u);
    EXPECT_EQ(byte2ULong({0x01, 0x02}, false, 0), 0x0201u);
    EXPECT_EQ(byte2ULong({0x01}, true, 0xAB), 0xAB01u);
    EXPECT_EQ(byte2ULong({}, true, 7), 7u);
    EXPECT_EQ(byte2ULong(std::vector<unsigned char>(9, 0xFF), true, 0), ~0ULL);

    using V = std::vector<unsigned char>;
    EXPECT_EQ(ULong2Byte(0), V{0x00});
    EXPECT_EQ(ULong2Byte(0x0100), (V{0x01, 0x00}));
    EXPECT_EQ(ULong2Byte(0xFF), V{0xFF});
    EXPECT_EQ(ULong2Byte(0x80), V{0x80});
    EXPECT_EQ(ULong2Byte(0x0102030405060708ULL), (V{1, 2, 3, 4, 5, 6, 7, 8}));

    EXPECT_EQ(cstr2Bytes("%s-%d", "a", 1), (V{'a', '-', '1'}));
    EXPECT_TRUE(cstr2Bytes("%s", "").empty());
    EXPECT_TRUE(cstr2Bytes("%s", std::string(5000, 'x').c_str()).empty());
    EXPECT_EQ(cstr2Bytes("%s", std::string(4999, 'x').c_str()).size(), 4999u);

    EXPECT_EQ(ulongToHexString(0xBEEF), (V{'B', 'E', 'E', 'F', 0, 0, 0, 0, 0}));
    EXPECT_EQ(GC_CommonStr::ulongToHexString(0x1234567890ABUL), "12345678");
}

TEST(Common, StringHelpers) {
    EXPECT_EQ(GC_CommonStr::byte2HexStr({0x0A, 0xFF}, true, true), "0A FF ");
    EXPECT_EQ(GC_CommonStr::byte2HexStr({0x0A, 0xFF}, false, false), "0aff");
    EXPECT_EQ(GC_CommonStr::tail("abcde", 2), "de");
    EXPECT_EQ(GC_CommonStr::tail("abcde", 9), "abcde");
    EXPECT_EQ(GC_CommonStr::toLower("AbC1"), "abc1");
    EXPECT_EQ(GC_CommonStr::wchar_t2str(L"A\u0142"), std::string("A\x42", 2));
    std::vector<unsigned char> withZero{'a', 0, 'b'};
    EXPECT_EQ(GC_CommonStr::str2Bytes(GC_CommonStr::byte2Str(withZero)), withZero);
}

TEST(Common, CopyingAndFiles) {
    char dst[4] = {0};
    memcpy_s(dst, sizeof dst, "0123456789", 10);
    EXPECT_EQ(std::string(dst, 4), "0123");
    char untouched[2] = {'x', 'y'};
    memcpy_s(untouched, sizeof untouched, "ab", 0);
    EXPECT_EQ(untouched[0], 'x');

    gctest::TempDir dir;
    EXPECT_FALSE(dirExists("/"));
    EXPECT_FALSE(dirExists(nullptr));
    EXPECT_TRUE(dirExists(dir.path().c_str()));
    const std::string file = dir.path() + "/f";
    gctest::writeFile(file, "x");
    EXPECT_TRUE(dirExists(file.c_str()));
    EXPECT_EQ(dirCreate((dir.path() + "/sub").c_str()), 0);
    EXPECT_EQ(dirCreate((dir.path() + "/a/b").c_str()), -1);

    FILE* f = nullptr;
    EXPECT_NE(fopen_s(&f, (dir.path() + "/missing").c_str(), "r"), 0);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(fopen_s(&f, file.c_str(), "r"), 0);
    ASSERT_NE(f, nullptr);
    fclose(f);

    char stamp[30];
    EXPECT_EQ(getDateTime(stamp, sizeof stamp), 23);
    EXPECT_EQ(stamp[4], '-');
    EXPECT_EQ(stamp[19], '.');
}

std::vector<unsigned char> framedBlock(const std::vector<unsigned char>& content) {
    unsigned char digest[20];
    EVP_Digest(content.data(), content.size(), digest, nullptr, EVP_sha1(), nullptr);
    std::string hex = GC_CommonStr::byte2HexStr(std::vector<unsigned char>(digest, digest + 20), false, false);
    std::vector<unsigned char> block{static_cast<unsigned char>(1 + content.size() + 40)};
    for (unsigned char b : content) block.push_back(b);
    block.insert(block.end(), hex.begin(), hex.end());
    return block;
}

TEST(Common, FramedBlockCheck) {
    auto block = framedBlock({0x5A});
    unsigned char* p = block.data();
    unsigned long length = block.size();
    EXPECT_FALSE(GC_CommonStr::isPACEprohibited(&p, length));
    EXPECT_EQ(p, block.data() + 1);
    EXPECT_EQ(length, 1u);

    auto upper = framedBlock({0x5A});
    for (size_t i = 2; i < upper.size(); ++i)
        if (upper[i] >= 'a' && upper[i] <= 'f') {
            upper[i] = static_cast<unsigned char>(upper[i] - 'a' + 'A');
            break;
        }
    p = upper.data();
    length = upper.size();
    EXPECT_TRUE(GC_CommonStr::isPACEprohibited(&p, length));
    EXPECT_EQ(p, upper.data());

    auto shortBlock = framedBlock({});  // 41 bytes: below the minimum
    p = shortBlock.data();
    length = shortBlock.size();
    EXPECT_TRUE(GC_CommonStr::isPACEprohibited(&p, length));
    length = 40;  // the length byte says otherwise
    auto ok = framedBlock({1, 2});
    p = ok.data();
    EXPECT_TRUE(GC_CommonStr::isPACEprohibited(&p, length));
}

}  // namespace
