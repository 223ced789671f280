#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"
#include "support/hex.h"
#include "support/temp_dir.h"

// Reading contents and writing objects over the write test card of tests/data/pkcs15 (see
// make_write_fixtures.sh): certificates and keys made by openssl, shared zero-padded content
// files, directories with room to grow.

namespace {

using gctest::Bytes;
using gctest::FakeController;
using gctest::unhex;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

const Bytes kAid = unhex("D2760001780201");
const Bytes kPrkdf = unhex("4402");
const Bytes kPukdf = unhex("4403");
const Bytes kCdf = unhex("4404");
const Bytes kDodf = unhex("4405");
const Bytes kAodf = unhex("4401");
const Bytes kC100 = unhex("C100");
const Bytes kC200 = unhex("C200");
const Bytes kD001 = unhex("D001");
constexpr int kInjected = -1234;

Bytes fixture(const std::string& name) {
    const std::string content = gctest::readFile(gctest::dataPath("pkcs15/" + name));
    return Bytes(content.begin(), content.end());
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// The key of a DER SubjectPublicKeyInfo fixture equals the object's.
bool sameKey(const GC_PubKeyObject& object, const std::string& name) {
    const Bytes der = fixture(name);
    const unsigned char* p = der.data();
    std::unique_ptr<EVP_PKEY, PkeyFree> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    return key && object.key && EVP_PKEY_eq(key.get(), object.key.get()) == 1;
}

Bytes certOf(GC_Object* object) {
    Bytes der;
    static_cast<GC_CertObject*>(object)->getCert(der);
    return der;
}

// openssl asn1parse of some bytes: its lines, or empty when it refuses them.
std::vector<std::string> asn1parse(const Bytes& der) {
    gctest::TempDir dir;
    const std::string path = dir.path() + "/in.der";
    gctest::writeFile(path, std::string(der.begin(), der.end()));
    FILE* pipe = popen(("openssl asn1parse -inform DER -in " + path + " 2>&1").c_str(), "r");
    std::string text;
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    const bool ok = pipe != nullptr && pclose(pipe) == 0;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; ok && std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Top-level items of a directory area as openssl sees them (it stops at the zero padding).
size_t topLevelEntries(const Bytes& area) {
    size_t count = 0;
    for (const std::string& line : asn1parse(area)) {
        if (line.find("d=0") != std::string::npos && line.find("EOC") == std::string::npos) ++count;
    }
    return count;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class Layout : public GC_DataPKCS15 {
public:
    using GC_DataPKCS15::applications;
    using GC_DataPKCS15::GC_DataPKCS15;

    object_info* record(uint32_t kind) {
        for (const auto& info : applications.at(0)->objectInfos) {
            if (info->kind == kind) return info.get();
        }
        return nullptr;
    }
    GC_Object* object(uint32_t kind, const std::string& label) {
        for (const auto& o : record(kind)->objects) {
            if (o->label == label) return o.get();
        }
        return nullptr;
    }
    bool holds(GC_Object* object) {
        GC_DataPKCS15::app_info* app = nullptr;
        GC_DataPKCS15::object_info* info = nullptr;
        return findObjectInfo(object, &app, &info) == 0;
    }
    std::vector<std::string> labels(uint32_t kind) {
        std::vector<std::string> out;
        for (const auto& o : record(kind)->objects) out.push_back(o->label);
        return out;
    }
};

// The card, read once by a layout.
struct Card {
    FakeController store;
    Layout layout{&store};
    Containers containers;
    FakeController::Store original;

    // prepare may change the card before it is read.
    explicit Card(const std::function<void(FakeController&)>& prepare = {}) {
        EXPECT_TRUE(gctest::loadCardMap(store, gctest::dataPath("pkcs15/wc_card.map")));
        if (prepare) prepare(store);
        EXPECT_EQ(layout.getContainers(containers), 0);
        original = store.files();
        store.clearLog();
    }
    GC_Container& user() { return *containers.at(0); }
    Bytes file(const Bytes& fid) const { return *store.file(kAid, fid); }
};

// Every directory record lists, in order, the objects that a fresh reading of the card finds
// there, with the same place of content.
void expectInStep(Card& card) {
    Layout fresh(&card.store);
    Containers containers;
    ASSERT_EQ(fresh.getContainers(containers), 0);
    const auto& ours = card.layout.applications.at(0)->objectInfos;
    const auto& theirs = fresh.applications.at(0)->objectInfos;
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t r = 0; r < ours.size(); ++r) {
        ASSERT_EQ(ours[r]->objects.size(), theirs[r]->objects.size()) << "record " << r;
        for (size_t i = 0; i < ours[r]->objects.size(); ++i) {
            const GC_Object& a = *ours[r]->objects[i];
            const GC_Object& b = *theirs[r]->objects[i];
            EXPECT_EQ(a.label, b.label);
            EXPECT_EQ(a.path, b.path) << a.label;
            EXPECT_EQ(a.index, b.index) << a.label;
        }
    }
}

// A directory link as a card controller sets it before createObject.
GC_PKCS15ObjectInfo linkTo(const Bytes& directory) {
    GC_PKCS15ObjectInfo link;
    link.path = directory;
    return link;
}

std::unique_ptr<GC_PubKeyObject> publicKey(const std::string& label, const Bytes& id, GC_Object::key_type type,
                                           const Bytes& file, const std::string& der) {
    auto key = std::make_unique<GC_PubKeyObject>();
    key->label = label;
    key->ID = id;
    key->keyType = type;
    key->path = file;
    key->usage = GC_PrivKeyObject::USAGE_SIGN;
    if (!der.empty()) {
        EXPECT_EQ(key->setPublicKeyFromRAW(fixture(der)), 0);
    }
    return key;
}

std::unique_ptr<GC_CertObject> certificate(const std::string& label, const Bytes& id, const Bytes& file,
                                           const std::string& der) {
    auto cert = std::make_unique<GC_CertObject>();
    cert->label = label;
    cert->ID = id;
    cert->path = file;
    if (!der.empty()) {
        EXPECT_EQ(cert->setCert(fixture(der)), 0);
    }
    return cert;
}

GC_Object* create(Card& card, GC_Object* templ, const Bytes& directory, int expected = 0) {
    GC_PKCS15ObjectInfo link = linkTo(directory);
    templ->objectInfo = &link;
    GC_Object* out = nullptr;
    EXPECT_EQ(card.layout.createObject(templ, &card.user(), &out), expected) << templ->label;
    templ->objectInfo = nullptr;
    return out;
}

TEST(DataPkcs15Read, LoadsSharedContentsAndLinksKeys) {
    Card card;
    std::vector<GC_Object*> objects = card.layout.getAllObjects(card.layout.applications[0].get());
    ASSERT_EQ(card.layout.readObjects(objects), 0);

    EXPECT_EQ(certOf(card.layout.object(4, "RSA certificate")), fixture("wc_rsa.der"));
    EXPECT_EQ(certOf(card.layout.object(4, "EC certificate")), fixture("wc_ec.der"));
    EXPECT_EQ(certOf(card.layout.object(4, "CA certificate")), fixture("wc_ca.der"));
    auto* rsa = static_cast<GC_PubKeyObject*>(card.layout.object(2, "RSA public key"));
    auto* ec = static_cast<GC_PubKeyObject*>(card.layout.object(2, "EC public key"));
    EXPECT_TRUE(sameKey(*rsa, "wc_rsa.pub.der"));
    EXPECT_EQ(rsa->keyBits, 2048u);
    // The EC public key has no content of its own: its certificate gives it the key.
    EXPECT_TRUE(sameKey(*ec, "wc_ec.pub.der"));
    EXPECT_EQ(ec->keyBits, 256u);

    // Data objects get their own bytes of the shared file, not those behind them.
    const Bytes d001 = fixture("wc_d001.bin");
    auto* first = static_cast<GC_DataObject*>(card.layout.object(8, "First data"));
    auto* second = static_cast<GC_DataObject*>(card.layout.object(8, "Second data"));
    EXPECT_EQ(first->content, Bytes(d001.begin(), d001.begin() + static_cast<long>(first->length)));
    EXPECT_EQ(second->content, (Bytes{0x04, 0x06, 's', 'e', 'c', 'o', 'n', 'd'}));
    for (const auto& read : card.store.reads()) {
        if (read.path == kC100) {
            EXPECT_EQ(read.mode, GC_Controller::READ_EXTENDED);
            EXPECT_EQ(read.tag, Bytes{0x30});
        }
    }
}

TEST(DataPkcs15Read, AnswersTheFirstFailureThroughTheCard) {
    Card card;
    GC_Object* rsaCert = card.layout.object(4, "RSA certificate");
    GC_Object* ecCert = card.layout.object(4, "EC certificate");
    auto* data = static_cast<GC_DataObject*>(card.layout.object(8, "First data"));

    // Private keys have no content: nothing to read is no failure.
    std::vector<GC_Object*> keys = {card.layout.object(1, "RSA key"), card.layout.object(1, "EC key")};
    EXPECT_EQ(card.layout.readObjects(keys), 0);
    EXPECT_TRUE(card.store.reads().empty());

    // A failed read is not hidden by the objects read after it, which are still read; a content
    // the card does not have or has deactivated is passed over.
    for (const auto& [code, result] : {std::pair{-1901, -1901}, {-1914, -1914}, {-1505, 0}, {-1508, 0}}) {
        SCOPED_TRACE(code);
        card.store.failRead(kAid, kC100, code);
        data->setData({});
        std::vector<GC_Object*> some = {ecCert, rsaCert, data};
        EXPECT_EQ(card.layout.readObjects(some), result);
        EXPECT_FALSE(data->content.empty());
        card.store.clearFailures();
    }

    GC_CertObject stranger;
    stranger.path = kC100;
    std::vector<GC_Object*> foreign = {&stranger, rsaCert};
    EXPECT_EQ(card.layout.readObjects(foreign), -1102);

    // A place beyond any card file is not read: an object's index, the length of a data object.
    const struct {
        GC_Object* object;
        uint64_t index;
        uint64_t length;
        int result;
    } places[] = {
        {data, 1, ~0ULL, -1102},
        {data, 0x8000, 1, -1102},
        {ecCert, 0x8000, 0, -1102},
        {ecCert, 0, ~0ULL, 0},  // a certificate is read as the TLV it is
    };
    for (const auto& p : places) {
        const uint64_t index = p.object->index;
        const uint64_t length = p.object->length;
        p.object->index = p.index;
        p.object->length = p.length;
        card.store.clearLog();
        std::vector<GC_Object*> one = {p.object};
        EXPECT_EQ(card.layout.readObjects(one), p.result);
        EXPECT_EQ(card.store.reads().empty(), p.result != 0);
        p.object->index = index;
        p.object->length = length;
    }

    // Data group 3 is never read.
    card.store.clearLog();
    data->path = unhex("0103");
    std::vector<GC_Object*> dg3 = {data};
    EXPECT_EQ(card.layout.readObjects(dg3), 0);
    EXPECT_TRUE(card.store.reads().empty());
    EXPECT_TRUE(data->content.empty());
    EXPECT_EQ(data->length, 0u);
}

std::unique_ptr<GC_PrivKeyObject> privateKey(const std::string& label, const Bytes& id, GC_Object::key_type type,
                                             uint64_t bits, uint8_t reference) {
    auto key = std::make_unique<GC_PrivKeyObject>();
    key->label = label;
    key->ID = id;
    key->keyType = type;
    key->keyBits = bits;
    key->keyReference = reference;
    key->usage = GC_PrivKeyObject::USAGE_SIGN | GC_PrivKeyObject::USAGE_NON_REPUDIATION;
    key->access = GC_PrivKeyObject::ACCESS_SENSITIVE | GC_PrivKeyObject::ACCESS_NEVER_EXTRACTABLE;
    key->flags = GC_Object::FLAG_PRIVATE;
    key->path = unhex("3F0050204B");
    key->path.push_back(reference);
    return key;
}

Bytes cdfArea(const Card& card) {
    const Bytes cdf = card.file(kCdf);
    return Bytes(cdf.begin() + 16, cdf.begin() + 1040);
}

Bytes be16(uint64_t v) {
    return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

TEST(DataPkcs15Write, CreateReadDeleteRoundTrip) {
    Card card;
    // Two new key pairs with their certificates: RSA into the shared C100, EC (secp224r1) into
    // the empty C200.
    auto rsaKey = privateKey("New RSA key", {0x0A}, GC_Object::KEY_RSA, 2048, 0x81);
    auto ecKey = privateKey("New EC key", {0x0B}, GC_Object::KEY_EC, 224, 3);
    auto rsaPub = publicKey("New RSA public key", {0x0A}, GC_Object::KEY_RSA, kC100, "wc_new_rsa.pub.der");
    auto ecPub = publicKey("New EC public key", {0x0B}, GC_Object::KEY_EC, kC200, "wc_new_ec224.pub.der");
    auto rsaCert = certificate("New RSA certificate", {0x0A}, kC100, "wc_new_rsa.der");
    auto ecCert = certificate("New EC certificate", {0x0B}, kC200, "wc_new_ec224.der");
    const std::vector<GC_Object*> created = {create(card, rsaKey.get(), kPrkdf), create(card, ecKey.get(), kPrkdf),
                                             create(card, rsaPub.get(), kPukdf), create(card, ecPub.get(), kPukdf),
                                             create(card, rsaCert.get(), kCdf),  create(card, ecCert.get(), kCdf)};
    for (GC_Object* object : created) ASSERT_NE(object, nullptr);

    // Files keep their sizes; the directories parse for openssl with one entry more each, and
    // the CDF's neighbours in its file are untouched.
    for (const auto& [key, content] : card.original) {
        EXPECT_EQ(card.store.files().at(key).size(), content.size());
    }
    EXPECT_EQ(topLevelEntries(card.file(kPrkdf)), 4u);
    EXPECT_EQ(topLevelEntries(card.file(kPukdf)), 4u);
    EXPECT_EQ(topLevelEntries(cdfArea(card)), 6u);
    const Bytes& oldCdf = card.original.at({kAid, kCdf});
    const Bytes newCdf = card.file(kCdf);
    EXPECT_TRUE(std::equal(oldCdf.begin(), oldCdf.begin() + 16, newCdf.begin()));
    EXPECT_TRUE(std::equal(oldCdf.end() - 16, oldCdf.end(), newCdf.end() - 16));
    // INTEGERs in minimal two's complement: key size 224, key reference 0x81, index 0x50.
    EXPECT_TRUE(contains(card.file(kPrkdf), unhex("04 06 3F0050204B03 02 02 00 E0")));
    EXPECT_TRUE(contains(card.file(kPrkdf), unhex("02 02 00 81 A1")));
    EXPECT_TRUE(contains(card.file(kPukdf), unhex("04 02 C200 02 01 00 80 01 50")));
    EXPECT_TRUE(contains(cdfArea(card), unhex("04 02 C200 02 01 50 80 02 01 6F")));
    // The RSA contents went behind everything in C100, over zero bytes only.
    const Bytes& oldC100 = card.original.at({kAid, kC100});
    EXPECT_TRUE(std::all_of(oldC100.begin() + static_cast<long>(rsaPub->index), oldC100.end(),
                            [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(rsaCert->index, rsaPub->index + rsaPub->length);

    // A fresh reading of the card finds the new objects where they were written.
    Layout fresh(&card.store);
    Containers containers;
    ASSERT_EQ(fresh.getContainers(containers), 0);
    std::vector<GC_Object*> all = fresh.getAllObjects(fresh.applications[0].get());
    card.store.clearLog();
    ASSERT_EQ(fresh.readObjects(all), 0);
    EXPECT_EQ(certOf(fresh.object(4, "New RSA certificate")), fixture("wc_new_rsa.der"));
    EXPECT_EQ(certOf(fresh.object(4, "New EC certificate")), fixture("wc_new_ec224.der"));
    EXPECT_TRUE(sameKey(*static_cast<GC_PubKeyObject*>(fresh.object(2, "New RSA public key")), "wc_new_rsa.pub.der"));
    auto* readEcPub = static_cast<GC_PubKeyObject*>(fresh.object(2, "New EC public key"));
    EXPECT_TRUE(sameKey(*readEcPub, "wc_new_ec224.pub.der"));
    EXPECT_EQ(readEcPub->keyBits, 224u);
    // An EC key stored as a SEQUENCE is found on the second try.
    const auto& reads = card.store.reads();
    const auto ecRead = std::find_if(reads.begin(), reads.end(), [](const auto& r) { return r.path == kC200; });
    ASSERT_NE(ecRead, reads.end());
    EXPECT_EQ(ecRead->tag, Bytes{0xA0});
    EXPECT_EQ(ecRead->result, -1506);
    EXPECT_EQ((ecRead + 1)->tag, Bytes{0x30});

    // The new private keys read back with what was written of them.
    for (const GC_PrivKeyObject* written : {rsaKey.get(), ecKey.get()}) {
        auto* key = static_cast<GC_PrivKeyObject*>(fresh.object(1, written->label));
        ASSERT_NE(key, nullptr) << written->label;
        EXPECT_EQ(std::tie(key->keyType, key->keyBits, key->keyReference, key->usage, key->access, key->flags),
                  std::tie(written->keyType, written->keyBits, written->keyReference, written->usage, written->access,
                           written->flags));
        EXPECT_EQ(key->authId, card.user().authId);
    }
    EXPECT_EQ(static_cast<GC_CertObject*>(fresh.object(4, "New EC certificate"))->ID, Bytes{0x0B});
    expectInStep(card);

    // Deleting the new objects gives back the card as it was, byte for byte.
    for (GC_Object* object : created) ASSERT_EQ(card.layout.deleteObject(object), 0);
    EXPECT_EQ(card.store.files(), card.original);
    expectInStep(card);
}

TEST(DataPkcs15Write, FailureAtEachWriteRestoresTheCard) {
    for (const uint32_t kind : {GC_Object::TYPE_PUBLIC_KEY, GC_Object::TYPE_CERTIFICATE}) {
        const Bytes directory = kind == GC_Object::TYPE_PUBLIC_KEY ? kPukdf : kCdf;
        const auto make = [&]() -> std::unique_ptr<GC_Object> {
            if (kind == GC_Object::TYPE_PUBLIC_KEY) {
                return publicKey("New", {0x0A}, GC_Object::KEY_RSA, kC100, "wc_new_rsa.pub.der");
            }
            return certificate("New", {0x0A}, kC100, "wc_new_rsa.der");
        };
        {
            Card card;
            auto templ = make();
            ASSERT_NE(create(card, templ.get(), directory), nullptr);
            ASSERT_EQ(card.store.updates().size(), 2u);  // the directory, then the content
        }
        // The n-th write fails, possibly after part of it reached the card; or every write of
        // one of the two files fails.
        struct Failure {
            size_t n;
            size_t torn;
            Bytes file;
        };
        // clang-format off
        const Failure failures[] = {
            {1, 0, {}},
            {1, 9, {}},
            {2, 0, {}},
            {2, 9, {}},
            {0, 0, directory},
            {0, 0, kC100},
        };
        // clang-format on
        for (const Failure& f : failures) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " write " << f.n << " torn " << f.torn);
            Card card;
            if (f.file.empty()) {
                card.store.failUpdateAt(f.n, kInjected, f.torn);
            } else {
                card.store.failUpdate(kAid, f.file, kInjected);
            }
            const size_t before = card.layout.record(kind)->objects.size();
            auto templ = make();
            EXPECT_EQ(create(card, templ.get(), directory, kInjected), nullptr);
            EXPECT_EQ(card.store.files(), card.original);
            EXPECT_EQ(card.layout.record(kind)->objects.size(), before);
        }
    }
}

TEST(DataPkcs15Write, RefusesBeforeWriting) {
    const auto dataEnd = [](const Bytes& area) {
        // openssl's first EOC at the top level is where the entries end.
        for (const std::string& line : asn1parse(area)) {
            if (line.find("d=0") != std::string::npos && line.find("EOC") != std::string::npos) {
                return static_cast<size_t>(std::stoul(line));
            }
        }
        return area.size();
    };
    struct Case {
        const char* name;
        std::function<void(FakeController&)> prepare;
        std::function<std::unique_ptr<GC_Object>()> make;
        Bytes directory;
        int expected;
    };
    const auto dataObject = [] {
        auto data = std::make_unique<GC_DataObject>();
        data->path = kD001;
        return std::unique_ptr<GC_Object>(std::move(data));
    };
    const auto fillPukdf = [&](FakeController& c) {
        const Bytes pukdf = *c.file(kAid, kPukdf);
        c.setFile(kAid, kPukdf, Bytes(pukdf.begin(), pukdf.begin() + static_cast<long>(dataEnd(pukdf))));
    };
    // clang-format off
    const Case cases[] = {
        {"data object", {}, dataObject, kDodf, -1100},
        {"directory full", fillPukdf, [] { return publicKey("New", {0x0A}, GC_Object::KEY_EC, kC200, "wc_new_ec224.pub.der"); }, kPukdf, -1504},
        {"content file too small", [](FakeController& c) { c.setFile(kAid, kC200, {}, 100); }, [] { return certificate("New", {0x0A}, kC200, "wc_new_ec224.der"); }, kCdf, -1504},
        {"ID too long", {}, [] { return certificate("New", Bytes(128, 0x11), kC200, "wc_new_ec224.der"); }, kCdf, -1100},
        {"certificate not set", {}, [] { return certificate("New", {0x0A}, kC200, ""); }, kCdf, -1108},
        {"no such directory", {}, [] { return certificate("New", {0x0A}, kC200, "wc_new_ec224.der"); }, unhex("4499"), -1102},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Card card(c.prepare);
        auto templ = c.make();
        EXPECT_EQ(create(card, templ.get(), c.directory, c.expected), nullptr);
        EXPECT_TRUE(card.store.updates().empty());
        EXPECT_EQ(card.store.files(), card.original);
    }

    Card card;
    auto cert = certificate("New", {0x0A}, kC200, "wc_new_ec224.der");
    GC_PKCS15ObjectInfo link = linkTo(kCdf);
    cert->objectInfo = &link;
    GC_Container stranger;
    stranger.pin = std::make_unique<GC_Container::pin_record>();
    GC_Object* out = nullptr;
    EXPECT_EQ(card.layout.createObject(cert.get(), &stranger, &out), -1102);
    EXPECT_EQ(card.layout.createObject(cert.get(), &card.user(), nullptr), -1102);
    EXPECT_EQ(card.layout.createObject(nullptr, &card.user(), &out), -1102);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(card.store.updates().empty());
}

TEST(DataPkcs15Write, NewContentGoesBehindEverythingKnown) {
    Card card;
    // C200 starts with a 200-byte item: the certificate goes at 200, written 02 02 00 C8.
    Bytes head = {0x04, 0x81, 0xC5};
    head.resize(200, 0x5A);
    card.store.setFile(kAid, kC200, head, 2048);
    const Bytes der = fixture("wc_new_ec224.der");
    auto first = certificate("At 200", {0x21}, kC200, "wc_new_ec224.der");
    GC_Object* out = create(card, first.get(), kCdf);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->index, 200u);
    EXPECT_TRUE(contains(cdfArea(card), unhex("04 02 C200 02 02 00 C8 80 02 01 6F")));
    Bytes expected = head;
    expected.insert(expected.end(), der.begin(), der.end());
    expected.resize(2048, 0x00);
    EXPECT_EQ(card.file(kC200), expected);

    // A content that the layout knows behind zero bytes is not overwritten either.
    const Bytes ca = fixture("wc_ca.der");
    std::copy(ca.begin(), ca.end(), expected.begin() + 1000);
    card.store.setFile(kAid, kC200, expected);
    GC_Object* known = card.layout.object(4, "CA certificate");
    known->path = kC200;
    known->index = 1000;
    auto second = certificate("Behind", {0x22}, kC200, "wc_new_ec224.der");
    out = create(card, second.get(), kCdf);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->index, 1000 + ca.size());

    // A public key that is not known yet gets an entry of length 0 and no content.
    auto pending = publicKey("Pending", {0x23}, GC_Object::KEY_EC, kC200, "");
    card.store.clearLog();
    out = create(card, pending.get(), kPukdf);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(card.store.updates().size(), 1u);
    Bytes entryEnd = {0x02, 0x02};
    const Bytes index = be16(1000 + ca.size() + der.size());
    entryEnd.insert(entryEnd.end(), index.begin(), index.end());
    entryEnd.insert(entryEnd.end(), {0x80, 0x01, 0x00});
    EXPECT_TRUE(contains(card.file(kPukdf), entryEnd));
}

TEST(DataPkcs15Delete, CutsTheContentAndMovesEverythingBehindIt) {
    Card card;
    GC_Object* ec = card.layout.object(4, "EC certificate");
    GC_Object* ca = card.layout.object(4, "CA certificate");
    GC_Object* pub = card.layout.object(2, "RSA public key");
    const uint64_t cut = ec->index;
    const uint64_t length = ec->length;
    const uint64_t caIndex = ca->index;
    const uint64_t pubIndex = pub->index;
    const uint64_t attrIndex = caIndex + fixture("wc_ca.der").size();
    ASSERT_EQ(card.layout.deleteObject(ec), 0);

    // The CDF, then the content file, then the PuKDF whose entry moved.
    const auto& updates = card.store.updates();
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].path, kCdf);
    EXPECT_EQ(updates[1].path, kC100);
    EXPECT_EQ(updates[2].path, kPukdf);
    Bytes expected = card.original.at({kAid, kC100});
    expected.erase(expected.begin() + static_cast<long>(cut), expected.begin() + static_cast<long>(cut + length));
    expected.resize(4096, 0x00);
    EXPECT_EQ(card.file(kC100), expected);

    EXPECT_EQ(ca->index, caIndex - length);
    EXPECT_EQ(pub->index, pubIndex - length);
    EXPECT_EQ(card.layout.labels(4), (std::vector<std::string>{"RSA certificate", "CA certificate"}));
    expectInStep(card);
    // The attribute certificate, which no object stands for, moved as well.
    Bytes attribute = unhex("04 02 C100 02 02");
    const Bytes moved = be16(attrIndex - length);
    attribute.insert(attribute.end(), moved.begin(), moved.end());
    EXPECT_TRUE(contains(cdfArea(card), attribute));
    EXPECT_EQ(topLevelEntries(cdfArea(card)), 3u);

    Layout fresh(&card.store);
    Containers containers;
    ASSERT_EQ(fresh.getContainers(containers), 0);
    std::vector<GC_Object*> all = fresh.getAllObjects(fresh.applications[0].get());
    ASSERT_EQ(fresh.readObjects(all), 0);
    EXPECT_EQ(certOf(fresh.object(4, "RSA certificate")), fixture("wc_rsa.der"));
    EXPECT_EQ(certOf(fresh.object(4, "CA certificate")), fixture("wc_ca.der"));
    EXPECT_TRUE(sameKey(*static_cast<GC_PubKeyObject*>(fresh.object(2, "RSA public key")), "wc_rsa.pub.der"));
}

TEST(DataPkcs15Delete, FailureAtEachWriteRestoresTheCard) {
    struct Failure {
        size_t n;
        size_t torn;
        Bytes file;
    };
    // clang-format off
    const Failure failures[] = {
        {1, 0, {}},
        {1, 11, {}},
        {2, 0, {}},
        {2, 11, {}},
        {3, 0, {}},
        {3, 11, {}},
        {0, 0, kCdf},
        {0, 0, kC100},
        {0, 0, kPukdf},
    };
    // clang-format on
    for (const Failure& f : failures) {
        SCOPED_TRACE(testing::Message() << "write " << f.n << " torn " << f.torn);
        Card card;
        if (f.file.empty()) {
            card.store.failUpdateAt(f.n, kInjected, f.torn);
        } else {
            card.store.failUpdate(kAid, f.file, kInjected);
        }
        GC_Object* ec = card.layout.object(4, "EC certificate");
        const uint64_t caIndex = card.layout.object(4, "CA certificate")->index;
        EXPECT_EQ(card.layout.deleteObject(ec), kInjected);
        EXPECT_EQ(card.store.files(), card.original);
        EXPECT_TRUE(card.layout.holds(ec));
        EXPECT_EQ(card.layout.object(4, "CA certificate")->index, caIndex);
        expectInStep(card);
    }
}

TEST(DataPkcs15Delete, RefusesBeforeWriting) {
    const auto cdfVariant = [](const std::string& name) {
        return [name](FakeController& c) { c.setFile(kAid, kCdf, fixture(name)); };
    };
    struct Case {
        const char* name;
        std::function<void(FakeController&)> prepare;
        const char* label;
        std::function<void(Card&, GC_Object*)> before;
        int expected;
    };
    // clang-format off
    const Case cases[] = {
        {"entry and object disagree", {}, "EC certificate", [](Card&, GC_Object* o) { o->label = "Renamed"; }, -2317},
        {"content unreadable", {}, "EC certificate", [](Card& c, GC_Object*) { c.store.failRead(kAid, kC100, -1901); }, -1901},
        {"another entry inside the content", cdfVariant("wc_cdf_overlap.der"), "RSA certificate", {}, -1100},
        {"content past the end of its file", cdfVariant("wc_cdf_outside.der"), "Outside certificate", {}, -1504},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Card card(c.prepare);
        GC_Object* object = card.layout.object(4, c.label);
        ASSERT_NE(object, nullptr);
        if (c.before) c.before(card, object);
        EXPECT_EQ(card.layout.deleteObject(object), c.expected);
        EXPECT_TRUE(card.store.updates().empty());
        EXPECT_EQ(card.store.files(), card.original);
        EXPECT_TRUE(card.layout.holds(object));
    }

    Card card;
    GC_CertObject stranger;
    EXPECT_EQ(card.layout.deleteObject(&stranger), -1102);
    EXPECT_EQ(card.layout.deleteObject(nullptr), -1102);
}

TEST(DataPkcs15Delete, ObjectsWithoutContentRewriteOnlyTheirDirectory) {
    const struct {
        uint32_t kind;
        const char* label;
        Bytes directory;
    } cases[] = {
        {1, "RSA key", kPrkdf},
        {2, "EC public key", kPukdf},
        {8, "Second data", kDodf},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Card card;
        ASSERT_EQ(card.layout.deleteObject(card.layout.object(c.kind, c.label)), 0);
        ASSERT_EQ(card.store.updates().size(), 1u);
        EXPECT_EQ(card.store.updates()[0].path, c.directory);
        for (const auto& read : card.store.reads()) {
            EXPECT_EQ(read.path, c.directory);
        }
        EXPECT_EQ(topLevelEntries(card.file(c.directory)), 1u);
        expectInStep(card);
    }
}

TEST(DataPkcs15Delete, TakesTheObjectsOwnEntryAmongEqualOnes) {
    for (const size_t which : {0u, 1u}) {
        SCOPED_TRACE(which);
        Card card;
        auto a = certificate("Twin", {0x30}, kC200, "wc_new_ec224.der");
        auto b = certificate("Twin", {0x30}, kC200, "wc_new_ec224.der");
        GC_Object* twins[] = {create(card, a.get(), kCdf), create(card, b.get(), kCdf)};
        ASSERT_EQ(card.layout.deleteObject(twins[which]), 0);
        EXPECT_EQ(twins[1 - which]->index, 0u);
        expectInStep(card);
        Layout fresh(&card.store);
        Containers containers;
        ASSERT_EQ(fresh.getContainers(containers), 0);
        std::vector<GC_Object*> twin = {fresh.object(4, "Twin")};
        ASSERT_EQ(fresh.readObjects(twin), 0);
        EXPECT_EQ(certOf(twin[0]), fixture("wc_new_ec224.der"));
    }
}

TEST(DataPkcs15Init, RemovesOnlyTheContainersObjectsAndRelabels) {
    Card card;
    std::shared_ptr<GC_Container> user = card.containers.at(0);
    ASSERT_EQ(user->label, "Write Token (User PIN)");
    std::vector<GC_Object*> objects;
    user->getObjects(objects);
    ASSERT_EQ(objects.size(), 6u);

    ASSERT_EQ(card.layout.initContainer(user, "Write"), 0);
    user->getObjects(objects);
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(user->label, "Write Test(Write)");
    EXPECT_TRUE(card.layout.labels(1).empty());
    EXPECT_TRUE(card.layout.labels(2).empty());
    EXPECT_EQ(card.layout.labels(4), std::vector<std::string>{"CA certificate"});
    EXPECT_EQ(card.layout.labels(8).size(), 2u);
    EXPECT_EQ(card.file(kD001), card.original.at({kAid, kD001}));
    for (const auto& [key, content] : card.original) {
        EXPECT_EQ(card.store.files().at(key).size(), content.size());
    }
    expectInStep(card);

    Layout fresh(&card.store);
    Containers containers;
    ASSERT_EQ(fresh.getContainers(containers), 0);
    ASSERT_EQ(fresh.applications[0]->pinInfos.size(), 2u);
    EXPECT_EQ(fresh.applications[0]->pinInfos[0]->label, "Write");
    EXPECT_EQ(fresh.applications[0]->pinInfos[1]->label, "User PUK");
    EXPECT_EQ(topLevelEntries(card.file(kAodf)), 3u);
    std::vector<GC_Object*> all = fresh.getAllObjects(fresh.applications[0].get());
    ASSERT_EQ(fresh.readObjects(all), 0);
    EXPECT_EQ(certOf(fresh.object(4, "CA certificate")), fixture("wc_ca.der"));
}

TEST(DataPkcs15Init, FailureAtEachWriteRestoresTheCard) {
    size_t writes = 0;
    {
        Card card;
        ASSERT_EQ(card.layout.initContainer(card.containers.at(0), "Write"), 0);
        writes = card.store.updates().size();
        ASSERT_GE(writes, 5u);  // PrKDF, PuKDF, CDF, C100, AODF
    }
    for (size_t n = 1; n <= writes; ++n) {
        SCOPED_TRACE(n);
        Card card;
        card.store.failUpdateAt(n, kInjected, 3);
        std::shared_ptr<GC_Container> user = card.containers.at(0);
        EXPECT_EQ(card.layout.initContainer(user, "Write"), kInjected);
        EXPECT_EQ(card.store.files(), card.original);
        std::vector<GC_Object*> objects;
        user->getObjects(objects);
        EXPECT_EQ(objects.size(), 6u);
        EXPECT_EQ(user->label, "Write Token (User PIN)");
        EXPECT_EQ(card.layout.applications[0]->pinInfos[0]->label, "User PIN");
        expectInStep(card);
    }
}

TEST(DataPkcs15Init, EdgeCases) {
    {
        // No objects: the PUK's entry is relabelled all the same, and the call says so.
        Card card;
        std::shared_ptr<GC_Container> puk = card.containers.at(1);
        ASSERT_EQ(puk->label, "Write Token (User PUK)");
        EXPECT_EQ(card.layout.initContainer(puk, "PUK"), -2317);
        Layout fresh(&card.store);
        Containers containers;
        ASSERT_EQ(fresh.getContainers(containers), 0);
        EXPECT_EQ(fresh.applications[0]->pinInfos[1]->label, "PUK");
    }
    {
        // A label that the container's name does not hold: objects go, the AODF stays.
        Card card;
        EXPECT_EQ(card.layout.initContainer(card.containers.at(0), "Other"), 0);
        EXPECT_EQ(card.file(kAodf), card.original.at({kAid, kAodf}));
    }
    {
        // A label that would not fit the AODF area: nothing at all is written.
        Card card;
        std::shared_ptr<GC_Container> user = card.containers.at(0);
        const std::string text(600, 'x');
        user->label = "Write Token (" + text + ")";
        EXPECT_EQ(card.layout.initContainer(user, text), -1504);
        EXPECT_TRUE(card.store.updates().empty());
        std::vector<GC_Object*> objects;
        user->getObjects(objects);
        EXPECT_EQ(objects.size(), 6u);
    }
    std::shared_ptr<GC_Container> none;
    Card card;
    EXPECT_EQ(card.layout.initContainer(none, "x"), -1102);
}

}  // namespace
