// Every block released through operator delete is scanned for a canary while a test arms it:
// byte buffers that hold secrets must leave none of them in freed memory.
#include <gtest/gtest.h>

#include <vector>

#include "Data/bytes.h"
#include "support/freed_memory_scan.h"

namespace {

using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;

SecureVector<unsigned char> canary() { return SecureVector<unsigned char>(g_canary, kCanaryLength); }

}  // namespace

TEST(Wiping, DetectorSeesAPlainVector) {
    Armed armed;
    {
        auto* plain = new std::vector<unsigned char>(g_canary, g_canary + kCanaryLength);
        delete plain;
    }
    EXPECT_GT(armed.leaks(), 0) << "the scan must catch an unwiped block, or the other tests prove nothing";
}

TEST(Wiping, SecureVectorGrowthCopiesAndRelease) {
    Armed armed;
    {
        SecureVector<unsigned char> v;
        for (size_t i = 0; i < kCanaryLength; ++i) v.push_back(g_canary[i]);  // regrows each byte
        SecureVector<unsigned char> copy(v);
        copy.append(v);
        SecureVector<unsigned char> assigned;
        assigned = copy;
        assigned = SecureVector<unsigned char>();
        SecureVector<unsigned char> moved(std::move(copy));
        moved.pop_back();
    }
    EXPECT_EQ(armed.leaks(), 0);
}

TEST(Wiping, GC_BytesEveryOperation) {
    Armed armed;
    {
        GC_Bytes secret(canary(), 0);
        secret.append(canary(), 0);
        secret.c_str();
        secret.c_str();  // the old text copy is wiped when rebuilt
        GC_Bytes copy(secret);
        GC_Bytes moved(std::move(copy));
        GC_Bytes assigned;
        assigned = moved;
        assigned = GC_Bytes();
        GC_Bytes part = secret.substr(0, 20);
        GC_Bytes stripped = secret.rstrip();
        GC_Bytes hex = secret.toHex(false, true);
        GC_Bytes text = secret.toPlainText();
        (void)secret.data();
        SecureVector<char> chars(reinterpret_cast<const char*>(g_canary), kCanaryLength);
        GC_Bytes fromChars(chars, kCanaryLength);
        fromChars.append(reinterpret_cast<const char*>(g_canary), kCanaryLength);
        fromChars.push_back(1);
        secret.pop_back();
        secret.fill0();
    }
    EXPECT_EQ(armed.leaks(), 0);
}
