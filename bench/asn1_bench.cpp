// Parse and write back a ~2 KB certificate with the BER-TLV codec, beside OpenSSL's own d2i_X509 /
// i2d_X509 of the same bytes, so the ratio can be read from one run. Then the growth of the fast
// parser over hostile input of growing size, with Google Benchmark's complexity fit: it must stay
// linear (the report's "_BigO" line says N, not N^2).
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

// DER length bytes of n.
void appendLength(std::vector<unsigned char>& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
        return;
    }
    std::vector<unsigned char> bytes;
    for (; n != 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<unsigned char>(n));
    out.push_back(static_cast<unsigned char>(0x80 | bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// 30 <h> 31 <3n> followed by n items 04 01 xx, h being the size of the SET's header. The SET is
// open but lies inside the SEQUENCE, which is complete after that header, so the SET is never found
// where its items go: each of the n items lands on the top level beside the SEQUENCE, and a search
// from the end of that list for the open SET would grow with the list.
std::vector<unsigned char> lostOpenItem(size_t items) {
    std::vector<unsigned char> set = {0x31};
    appendLength(set, 3 * items);
    // The SEQUENCE holds exactly the SET's header, so it closes before the SET's items come.
    std::vector<unsigned char> data = {0x30, static_cast<unsigned char>(set.size())};
    data.insert(data.end(), set.begin(), set.end());
    for (size_t i = 0; i < items; ++i) data.insert(data.end(), {0x04, 0x01, static_cast<unsigned char>(i)});
    return data;
}

// n items of three bytes inside one SEQUENCE: the ordinary shape of a long card file.
std::vector<unsigned char> longSequence(size_t items) {
    std::vector<unsigned char> data = {0x30};
    appendLength(data, 3 * items);
    for (size_t i = 0; i < items; ++i) data.insert(data.end(), {0x04, 0x01, static_cast<unsigned char>(i)});
    return data;
}

void fastParseGrowth(benchmark::State& state, std::vector<unsigned char> (*make)(size_t)) {
    const size_t items = static_cast<size_t>(state.range(0));
    const std::vector<unsigned char> data = make(items);
    for (auto _ : state) {
        std::vector<GC_ASN1::item> tree;
        if (GC_ASN1::deserialize(tree, data, true) != 0) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(tree.data());
    }
    state.SetComplexityN(static_cast<int64_t>(items));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Asn1FastParseLostOpenItem(benchmark::State& state) {
    fastParseGrowth(state, lostOpenItem);
}
void BM_Asn1FastParseLongSequence(benchmark::State& state) {
    fastParseGrowth(state, longSequence);
}

}  // namespace

BENCHMARK(BM_Asn1FastParseLostOpenItem)->RangeMultiplier(4)->Range(1 << 8, 1 << 16)->Complexity();
BENCHMARK(BM_Asn1FastParseLongSequence)->RangeMultiplier(4)->Range(1 << 8, 1 << 16)->Complexity();
BENCHMARK(BM_Asn1FastParseSerialize);
BENCHMARK(BM_Asn1RecursiveParseSerialize);
BENCHMARK(BM_Asn1FastParseOnly);
BENCHMARK(BM_OpenSslD2iI2dX509);
