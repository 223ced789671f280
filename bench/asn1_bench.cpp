// Parse and write back a ~2 KB certificate with the BER-TLV codec, beside OpenSSL's own d2i_X509 /
// i2d_X509 of the same bytes, so the ratio can be read from one run.
//
// The certificate is tests/data/asn1/cert-rsa4096.der (override with GC_ASN1_BENCH_CERT).
// Note: OpenSSL keeps the parsed TBS encoding and writes it back unchanged, while the codec rebuilds
// every constructed value from its children.

#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "asn1.h"

namespace {

std::vector<unsigned char> loadCertificate() {
    std::string path;
    if (const char* env = std::getenv("GC_ASN1_BENCH_CERT")) {
        path = env;
    } else {
        path = __FILE__;
        path = path.substr(0, path.find_last_of('/') + 1) + "../tests/data/asn1/cert-rsa4096.der";
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::vector<unsigned char> data;
    unsigned char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) data.insert(data.end(), buf, buf + n);
    return data;
}

const std::vector<unsigned char>& certificate() {
    static const std::vector<unsigned char> der = loadCertificate();
    return der;
}

void codecRoundTrip(benchmark::State& state, bool fast) {
    const std::vector<unsigned char>& der = certificate();
    for (auto _ : state) {
        std::vector<GC_ASN1::item> tree;
        if (GC_ASN1::deserialize(tree, der, fast) != 0) {
            state.SkipWithError("parse failed");
            break;
        }
        std::vector<unsigned char> out = GC_ASN1::serialize(tree);
        if (out.size() != der.size()) {
            state.SkipWithError("round trip changed the size");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
    state.SetLabel(std::to_string(der.size()) + " bytes");
}

void BM_Asn1FastParseSerialize(benchmark::State& state) {
    codecRoundTrip(state, true);
}
void BM_Asn1RecursiveParseSerialize(benchmark::State& state) {
    codecRoundTrip(state, false);
}

void BM_Asn1FastParseOnly(benchmark::State& state) {
    const std::vector<unsigned char>& der = certificate();
    for (auto _ : state) {
        std::vector<GC_ASN1::item> tree;
        benchmark::DoNotOptimize(GC_ASN1::deserialize(tree, der, true));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}

void BM_OpenSslD2iI2dX509(benchmark::State& state) {
    const std::vector<unsigned char>& der = certificate();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        std::unique_ptr<X509, void (*)(X509*)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
        if (!cert) {
            state.SkipWithError("d2i_X509 failed");
            break;
        }
        unsigned char* out = nullptr;
        const int len = i2d_X509(cert.get(), &out);
        std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(out, [](unsigned char* b) { OPENSSL_free(b); });
        if (len != static_cast<int>(der.size())) {
            state.SkipWithError("i2d_X509 changed the size");
            break;
        }
        benchmark::DoNotOptimize(owned.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
    state.SetLabel(std::to_string(der.size()) + " bytes");
}

}  // namespace

BENCHMARK(BM_Asn1FastParseSerialize);
BENCHMARK(BM_Asn1RecursiveParseSerialize);
BENCHMARK(BM_Asn1FastParseOnly);
BENCHMARK(BM_OpenSslD2iI2dX509);
