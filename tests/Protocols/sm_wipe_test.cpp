// The OpenSSL contexts of a secure-messaging channel hold its session keys. No exchange may leave
// a copy of a key in freed memory, and when the channel forgets its contexts (it closes) or the
// session goes, every block that held one, OpenSSL's or ours, is wiped before it is freed.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Protocols/securemessaging.h"
#include "sm_reference.h"
#include "support/freed_memory_scan.h"
#include "support/hex.h"
#include "support/openssl_freed_scan.h"

namespace {

using SM = GC_SecureMessaging;
using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;
using smref::bytes;

// The canary, then `fill` up to `length` bytes.
bytes canaryKey(size_t length, unsigned char fill) {
    freedscan::makeCanary();
    bytes key(g_canary, g_canary + kCanaryLength);
    key.resize(length, fill);
    return key;
}

SecureVector<unsigned char> secure(const bytes& b) {
    return SecureVector<unsigned char>(b.data(), b.size());
}

TEST(SmWipe, ScanSeesAnUnwipedOpenSslBlock) {
    ASSERT_TRUE(freedscan::g_opensslHooked) << "OpenSSL allocated before the scan could hook it";
    Armed armed;
    void* block = OPENSSL_malloc(32);
    ASSERT_NE(block, nullptr);
    std::memcpy(block, g_canary, kCanaryLength);
    OPENSSL_free(block);
    EXPECT_GT(armed.leaks(), 0) << "the scan must see OpenSSL's blocks, or the test below proves nothing";
}

// AES only: a 3DES key schedule holds no run of the key's bytes for the scan to find.
TEST(SmWipe, SessionKeysLeaveNothingInFreedMemory) {
    ASSERT_TRUE(freedscan::g_opensslHooked);
    for (int alg : {2, 4}) {
        SCOPED_TRACE(alg);
        const size_t keyLen = alg == 2 ? 16 : 32;
        // The reference and the card's answer are made, and stay, outside the scan: their plain
        // vectors hold the keys.
        smref::session card{canaryKey(keyLen, 0x11), canaryKey(keyLen, 0x22), bytes(16, 0)};
        card.ssc[15] = 2;
        const bytes do87 = smref::tlv(0x87, smref::cat({0x01}, card.encrypt(smref::bytes(40, 0x5A))));
        const bytes objects = smref::cat(do87, gctest::unhex("99029000"));
        const bytes answer = smref::cat(smref::cat(objects, smref::cat(gctest::unhex("8E08"), card.mac(objects))),
                                        gctest::unhex("9000"));

        auto session = std::make_unique<SM::sm_params>();
        session->Kenc = secure(card.kenc);
        session->Kmac = secure(card.kmac);
        session->SSC = secure(bytes(16, 0));
        session->algorithm = alg;
        std::vector<unsigned char> out;
        {
            Armed armed;
            ASSERT_EQ(SM::smProtectAPDU(session.get(), gctest::unhex("00A4020C02011E"), out), 0);
            ASSERT_EQ(SM::smFreeAPDU(session.get(), answer, out), 0);
            EXPECT_EQ(out.size(), 42u);
            EXPECT_EQ(armed.leaks(), 0) << "an exchange";
            freedscan::g_opensslFrees = 0;
            SM::forgetKeyContexts(session.get());
            EXPECT_GT(freedscan::g_opensslFrees.load(), 0) << "the contexts must go when the channel forgets them";
            EXPECT_EQ(armed.leaks(), 0) << "the channel forgetting its contexts";
        }
        {
            Armed armed;
            ASSERT_EQ(SM::smProtectAPDU(session.get(), gctest::unhex("00A4020C02011E"), out), 0);
            session.reset();
            EXPECT_EQ(armed.leaks(), 0) << "the session going with its contexts";
        }
    }
}

}  // namespace
