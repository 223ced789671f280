// The BER-TLV codec against real DER made by the OpenSSL command line (tests/data/asn1, see
// make-corpus.sh there): byte-exact round trips with both parsers, and tree shape and lengths as
// `openssl asn1parse` recorded them.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "asn1.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::vector<GC_ASN1::item>;

struct Node {
    unsigned long offset, depth, header, length;
    bool constructed;
    bool operator==(const Node&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Node& n) {
    return os << n.offset << ":d=" << n.depth << " hl=" << n.header << " l=" << n.length
              << (n.constructed ? " cons" : " prim");
}

std::vector<std::string> corpusFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(gctest::dataPath("asn1"))) {
        if (entry.path().extension() == ".der") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes readBytes(const std::string& path) {
    const std::string text = gctest::readFile(path);
    return Bytes(text.begin(), text.end());
}

// The lines of an `openssl asn1parse` record: "  off:d=D  hl=H l=  L cons: ...".
std::vector<Node> readRecord(const std::string& path) {
    std::vector<Node> nodes;
    const std::string text = gctest::readFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        Node n{};
        char kind[5] = {};
        if (sscanf(line.c_str(), " %lu:d=%lu hl=%lu l=%lu %4s", &n.offset, &n.depth, &n.header, &n.length, kind) != 5) {
            ADD_FAILURE() << "unreadable record line: " << line;
            continue;
        }
        n.constructed = std::string(kind) == "cons";
        nodes.push_back(n);
    }
    return nodes;
}

// The same picture from a parsed tree, offsets counted from the DER sizes of the items.
void describe(const Tree& tree, unsigned long& offset, unsigned long depth, std::vector<Node>& out) {
    for (const GC_ASN1::item& it : tree) {
        EXPECT_EQ(it.depth, depth);
        const unsigned long header = it.tag.size() + GC_ASN1::getLength2Byte(it.value).size();
        out.push_back(Node{offset, depth, header, it.value.size(), !it.primitive});
        unsigned long inner = offset + header;
        describe(it.children, inner, depth + 1, out);
        offset += header + it.value.size();
    }
}

TEST(Asn1Corpus, HasTheExpectedFiles) {
    const auto files = corpusFiles();
    EXPECT_GE(files.size(), 15u);
    bool bigCert = false;
    for (const auto& f : files) {
        if (f.find("cert-rsa4096.der") != std::string::npos) bigCert = readBytes(f).size() > 1800;
    }
    EXPECT_TRUE(bigCert) << "the benchmark's ~2 KB certificate is missing";
}

TEST(Asn1Corpus, RoundTripsByteForByte) {
    for (const std::string& file : corpusFiles()) {
        SCOPED_TRACE(file);
        const Bytes der = readBytes(file);
        ASSERT_FALSE(der.empty());
        for (bool fast : {true, false}) {
            SCOPED_TRACE(fast ? "fast" : "recursive");
            Tree tree;
            ASSERT_EQ(GC_ASN1::deserialize(tree, der, fast), 0);
            ASSERT_EQ(tree.size(), 1u);
            // The parsed constructed values are the input's bytes; the rebuild must give them again.
            EXPECT_EQ(GC_ASN1::serialize(tree), der);
            EXPECT_EQ(GC_ASN1::serialize(tree[0]), der);
        }
    }
}

TEST(Asn1Corpus, TreeMatchesAsn1parse) {
    for (const std::string& file : corpusFiles()) {
        SCOPED_TRACE(file);
        const std::string record = file.substr(0, file.size() - 4) + ".asn1parse.txt";
        const std::vector<Node> expected = readRecord(record);
        ASSERT_FALSE(expected.empty()) << record;
        for (bool fast : {true, false}) {
            SCOPED_TRACE(fast ? "fast" : "recursive");
            Tree tree;
            ASSERT_EQ(GC_ASN1::deserialize(tree, readBytes(file), fast), 0);
            std::vector<Node> actual;
            unsigned long offset = 0;
            describe(tree, offset, 0, actual);
            ASSERT_EQ(actual.size(), expected.size());
            for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "node " << i;
        }
    }
}

TEST(Asn1Corpus, LookupsOnACertificate) {
    Tree tree;
    ASSERT_EQ(GC_ASN1::deserialize(tree, readBytes(gctest::dataPath("asn1/cert-rsa2048.der")), true), 0);

    // tbsCertificate version [0] { INTEGER 2 }, and the signature algorithm, inside and outside the
    // TBS (the subject key's algorithm lies one level deeper, the names hold SETs).
    GC_ASN1::item version;
    GC_ASN1::getData(tree, {0x30, 0x30, 0xA0, 0x02}, version);
    EXPECT_EQ(version.value, Bytes({0x02}));
    std::vector<GC_ASN1::item> oids;
    GC_ASN1::getData(tree, {0x30, 0x30, 0x30, 0x06}, oids);
    ASSERT_EQ(oids.size(), 1u);
    const Bytes sha256WithRSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    EXPECT_EQ(oids[0].value, sha256WithRSA);  // signature field of the TBS
    GC_ASN1::item outer;
    GC_ASN1::getData(tree[0], {0x30, 0x30, 0x06}, outer);
    EXPECT_EQ(outer.value, sha256WithRSA);  // signatureAlgorithm of the certificate

    // Changing the serial number keeps the rest and re-encodes the lengths.
    GC_ASN1::item cert = tree[0];
    std::vector<GC_ASN1::item> serial;
    GC_ASN1::getData(cert, {0x30, 0x30, 0x02}, serial);
    ASSERT_EQ(serial.size(), 1u);
    const Bytes newSerial(200, 0x11);
    ASSERT_EQ(GC_ASN1::modifyTag(cert, {0x30, 0x30, 0x02}, newSerial, 0), 0);
    Tree reparsed;
    ASSERT_EQ(GC_ASN1::deserialize(reparsed, GC_ASN1::serialize(cert), true), 0);
    GC_ASN1::getData(reparsed, {0x30, 0x30, 0x02}, serial);
    ASSERT_EQ(serial.size(), 1u);
    EXPECT_EQ(serial[0].value, newSerial);
    GC_ASN1::getData(reparsed, {0x30, 0x30, 0x30, 0x06}, oids);
    EXPECT_EQ(oids[0].value, sha256WithRSA);
}

}  // namespace
