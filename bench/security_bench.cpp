// SHA-256 and AES-CMAC of 1 KB through GC_Security, each beside OpenSSL's EVP doing the same work.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "security_lib.h"

namespace {

const std::vector<unsigned char> kData(1024, 0x5A);
const std::vector<unsigned char> kKey = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void BM_GcSha256_1K(benchmark::State& state) {
    std::vector<unsigned char> out;
    for (auto _ : state) {
        if (GC_Security::hashValuesToKey(GC_Security::HASH_SHA256, {kData}, out) != 0) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kData.size()));
}
BENCHMARK(BM_GcSha256_1K);

void BM_EvpSha256_1K(benchmark::State& state) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        if (EVP_Digest(kData.data(), kData.size(), md, &len, EVP_sha256(), nullptr) != 1) std::abort();
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kData.size()));
}
BENCHMARK(BM_EvpSha256_1K);

void BM_GcCmac_1K(benchmark::State& state) {
    std::vector<unsigned char> out;
    for (auto _ : state) {
        if (GC_Security::crypto_cmac(GC_Security::ALG_AES128, kKey, kData, out) != 0) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kData.size()));
}
BENCHMARK(BM_GcCmac_1K);

// The same one-shot work as crypto_cmac: fetch, new context, init with the key, update, final.
void BM_EvpCmac_1K(benchmark::State& state) {
    unsigned char tag[16];
    size_t len = 0;
    char cipher[] = "AES-128-CBC";
    for (auto _ : state) {
        std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr), EVP_MAC_free);
        std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(mac.get()), EVP_MAC_CTX_free);
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                               OSSL_PARAM_construct_end()};
        if (!ctx || EVP_MAC_init(ctx.get(), kKey.data(), kKey.size(), params) != 1 ||
            EVP_MAC_update(ctx.get(), kData.data(), kData.size()) != 1 ||
            EVP_MAC_final(ctx.get(), tag, &len, sizeof tag) != 1)
            std::abort();
        benchmark::DoNotOptimize(tag);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kData.size()));
}
BENCHMARK(BM_EvpCmac_1K);

}  // namespace
