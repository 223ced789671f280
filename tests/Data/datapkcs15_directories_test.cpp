#include <gtest/gtest.h>

#include <string>

#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"
#include "support/hex.h"

// Directory and authentication-object parsing on hand-written entries: the odd and broken forms
// that the test card of tests/data/pkcs15 does not carry.

namespace {

using gctest::Bytes;
using gctest::unhex;
using App = GC_DataPKCS15::app_info;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One TLV with a definite length (short or one/two-byte long form).
Bytes tlv(unsigned char tag, const Bytes& content) {
    Bytes out = {tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
    return out + content;
}

Bytes utf8(const std::string& text) {
    return tlv(0x0C, Bytes(text.begin(), text.end()));
}

// Key entry: tag 30 (RSA) or A0 (EC) { L0, L1, [1] { SEQUENCE { Path, bits } } }.
Bytes keyEntry(unsigned char tag, const Bytes& common, const Bytes& keyAttrs, const Bytes& path = unhex("4B01"),
               const Bytes& bits = unhex("0800")) {
    const Bytes value = tlv(0x30, tlv(0x04, path) + tlv(0x02, {0x00}) + tlv(0x80, {0x00}));
    return tlv(tag, tlv(0x30, common) + tlv(0x30, keyAttrs) + tlv(0xA1, tlv(0x30, value + tlv(0x02, bits))));
}

Bytes certEntry(const std::string& label, const Bytes& id, const Bytes& fid) {
    const Bytes value = tlv(0x30, tlv(0x04, fid) + tlv(0x02, {0x00}) + tlv(0x80, {0x01, 0x00}));
    return tlv(0x30, tlv(0x30, utf8(label)) + tlv(0x30, tlv(0x04, id)) + tlv(0xA1, tlv(0x30, value)));
}

// PIN entry { L0, L1, [1] { PinAttributes } }.
Bytes pinEntry(const Bytes& common, const Bytes& authAttrs, const Bytes& pinAttrs) {
    return tlv(0x30, tlv(0x30, common) + tlv(0x30, authAttrs) + tlv(0xA1, tlv(0x30, pinAttrs)));
}

const Bytes kAid = unhex("A0000001");

class Directories : public ::testing::Test {
protected:
    // Adds a directory record of the given kind and serves its file.
    GC_DataPKCS15::object_info* addDir(uint32_t kind, const char* fid, const Bytes& content, uint64_t index = 0,
                                       uint64_t length = 0) {
        auto info = std::make_unique<GC_DataPKCS15::object_info>();
        info->kind = kind;
        info->path = unhex(fid);
        info->index = index;
        info->length = length;
        card.setFile(kAid, info->path, content);
        app.objectInfos.push_back(std::move(info));
        return app.objectInfos.back().get();
    }
    void addPin(uint8_t authId, uint8_t reference) {
        auto pin = std::make_unique<GC_DataPKCS15::pin_info>();
        pin->authId = authId;
        pin->pinReference = reference;
        app.pinInfos.push_back(std::move(pin));
    }
    template <typename T>
    T* object(size_t dir, size_t i) {
        return static_cast<T*>(app.objectInfos.at(dir)->objects.at(i).get());
    }

    gctest::FakeController card;
    GC_DataPKCS15 layout{&card};
    App app;

    void SetUp() override { app.aid = kAid; }
};

TEST_F(Directories, KeyIdsLoseAnInnerOctetStringHeader) {
    const struct {
        const char* stored;
        const char* id;
    } cases[] = {
        // clang-format off
        {"04020A0B", "0A0B"},
        {"0401", "0401"},      // fewer than 3 bytes: kept
        {"010203", "010203"},  // no 04 in front: kept
        {"04050A0B", "0A0B"},  // the inner length is not compared with what follows
        {"", ""},
        // clang-format on
    };
    Bytes prkdf;
    for (const auto& c : cases) prkdf = prkdf + keyEntry(0x30, {}, tlv(0x04, unhex(c.stored)));
    addDir(GC_DataPKCS15::KIND_PRIVATE_KEYS, "4402", prkdf);

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].stored);
        EXPECT_EQ(object<GC_PrivKeyObject>(0, i)->ID, unhex(cases[i].id));
    }
}

TEST_F(Directories, UnusableKeyEntriesAreSkipped) {
    const Bytes prkdf = keyEntry(0x31, utf8("set"), {})                   // neither 30 nor A0
                        + tlv(0x30, tlv(0x30, utf8("one child")))         // L1 missing
                        + keyEntry(0x30, utf8("RSA"), tlv(0x04, {0x01}))  //
                        + keyEntry(0xA0, utf8("EC"), tlv(0x04, {0x02}), unhex("4B02"), unhex("0100"))
                        // kept, of unknown size: no card file holds a key of 2^40 bits
                        + keyEntry(0x30, utf8("huge"), tlv(0x04, {0x03}), unhex("4B03"), unhex("010000000000"));
    addDir(GC_DataPKCS15::KIND_PRIVATE_KEYS, "4402", prkdf);

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), 3u);
    EXPECT_EQ(object<GC_PrivKeyObject>(0, 2)->label, "huge");
    EXPECT_EQ(object<GC_PrivKeyObject>(0, 2)->keyBits, 0u);
    auto* rsa = object<GC_PrivKeyObject>(0, 0);
    auto* ec = object<GC_PrivKeyObject>(0, 1);
    EXPECT_EQ(rsa->label, "RSA");
    EXPECT_EQ(rsa->keyType, GC_Object::KEY_RSA);
    EXPECT_EQ(rsa->path, unhex("4B01"));
    EXPECT_EQ(rsa->keyBits, 2048u);
    EXPECT_EQ(ec->label, "EC");
    EXPECT_EQ(ec->keyType, GC_Object::KEY_EC);
    EXPECT_EQ(ec->path, unhex("4B02"));
    EXPECT_EQ(ec->keyBits, 256u);
    EXPECT_EQ(ec->objectInfo, app.objectInfos[0].get());
}

TEST_F(Directories, KeyFlagsUsageAccessAndNativeBit) {
    const struct {
        const char* name;
        Bytes keyAttrs;
        uint64_t flags;
        uint64_t usage;
        uint64_t access;
    } cases[] = {
        // clang-format off
        {"usage and access", tlv(0x03, {0x07, 0x80}) + tlv(0x03, {0x03, 0xF8}), 1, 1, 31},
        {"usage only", tlv(0x03, {0x06, 0x24, 0x80}), 1, 6, 0},
        {"native 01", tlv(0x03, {0x07, 0x80}) + tlv(0x01, {0x01}), 5, 1, 0},
        {"native FF", tlv(0x03, {0x07, 0x80}) + tlv(0x01, {0xFF}), 1, 1, 0},
        {"native without content", tlv(0x01, {}), 1, 0, 0},
        // clang-format on
    };
    Bytes prkdf;
    // Common flags: private (03 bits, bit 0 set).
    for (const auto& c : cases) prkdf = prkdf + keyEntry(0x30, tlv(0x03, {0x07, 0x80}), c.keyAttrs);
    addDir(GC_DataPKCS15::KIND_PRIVATE_KEYS, "4402", prkdf);

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        auto* key = object<GC_PrivKeyObject>(0, i);
        EXPECT_EQ(key->flags, cases[i].flags);
        EXPECT_EQ(key->usage, cases[i].usage);
        EXPECT_EQ(key->access, cases[i].access);
    }
}

TEST_F(Directories, PrivateKeysTakeThePinReferenceOfTheirAuthId) {
    addPin(1, 0x00);
    addPin(2, 0x81);
    addPin(2, 0x99);  // a later record with the same authId does not count
    const struct {
        Bytes common;
        uint8_t authId;
        uint8_t reference;
        uint64_t state;
    } cases[] = {
        // clang-format off
        {tlv(0x04, {0x01}), 1, 0x00, 1},
        {tlv(0x04, {0x02}), 2, 0x81, 3},
        {tlv(0x04, {0x03}), 3, 0x00, 1},
        {tlv(0x04, {0x00, 0x02}), 2, 0x81, 3},  // last byte of a longer authId
        {{}, 0, 0x00, 1},
        // clang-format on
    };
    Bytes prkdf;
    for (const auto& c : cases) prkdf = prkdf + keyEntry(0x30, c.common + tlv(0x02, {0x01, 0x05}), {});
    addDir(GC_DataPKCS15::KIND_PRIVATE_KEYS, "4402", prkdf);

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        auto* key = object<GC_PrivKeyObject>(0, i);
        EXPECT_EQ(key->authId, cases[i].authId);
        EXPECT_EQ(key->pinReference, cases[i].reference);
        EXPECT_EQ(key->state, cases[i].state);
        EXPECT_EQ(key->userConsent, 5u);  // low byte of 01 05
    }
}

TEST_F(Directories, CertificatesThatAreNotX509AreSkippedAndLaterOnesRead) {
    const Bytes cdf = certEntry("first", {0x01}, unhex("C001")) +
                      tlv(0x30, tlv(0x30, utf8("one child"))) +                            // truncated
                      tlv(0xA1, tlv(0x30, utf8("spki")) + tlv(0x30, tlv(0x04, {0x03}))) +  // not X.509
                      certEntry("last", unhex("04010F"), unhex("C00F"));
    addDir(GC_DataPKCS15::KIND_CERTIFICATES, "4404", cdf);

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), 2u);
    auto* first = object<GC_CertObject>(0, 0);
    auto* last = object<GC_CertObject>(0, 1);
    EXPECT_EQ(first->label, "first");
    EXPECT_EQ(first->path, unhex("C001"));
    EXPECT_EQ(first->length, 256u);
    EXPECT_EQ(last->label, "last");
    EXPECT_EQ(last->ID, unhex("0F"));
    EXPECT_EQ(last->state, 1u);
}

TEST_F(Directories, EveryDataObjectEntryGivesAnObject) {
    const auto entry = [](unsigned char tag, const char* label, const char* path) {
        return tlv(tag, tlv(0x30, utf8(label)) + tlv(0x30, {}) +
                            tlv(0xA1, tlv(0x30, tlv(0x04, unhex(path)) + tlv(0x02, {0x02}) + tlv(0x80, {0x10}))));
    };
    addDir(GC_DataPKCS15::KIND_DATA_OBJECTS, "4405",
           entry(0xA0, "tagged", "0103") + entry(0x30, "long path", "010300") + entry(0x30, "at 0103", "0103"));

    ASSERT_EQ(layout.parseObjects(&app), 0);
    ASSERT_EQ(app.objectInfos[0]->objects.size(), 3u);
    auto* tagged = object<GC_DataObject>(0, 0);
    EXPECT_EQ(tagged->type, GC_Object::TYPE_DATA);
    EXPECT_EQ(tagged->label, "");
    EXPECT_TRUE(tagged->path.empty());
    EXPECT_EQ(tagged->index, 0u);
    EXPECT_EQ(tagged->length, 0u);
    EXPECT_EQ(tagged->state, 1u);
    EXPECT_EQ(object<GC_DataObject>(0, 1)->state, 1u);
    auto* at0103 = object<GC_DataObject>(0, 2);
    EXPECT_EQ(at0103->state, 0x0Du);
    EXPECT_EQ(at0103->index, 2u);
    EXPECT_EQ(at0103->length, 16u);
    EXPECT_EQ(at0103->authId, 0);
}

TEST_F(Directories, ReadArgumentsAndSkippedDirectories) {
    const Bytes cert = certEntry("c", {0x01}, unhex("C001"));
    addDir(GC_DataPKCS15::KIND_CERTIFICATES, "4404", unhex("FFFF") + cert, 2, cert.size());
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4401", unhex("FF"));      // not read here
    addDir(GC_DataPKCS15::KIND_DATA_OBJECTS, "4405", Bytes(8, 0x00));     // only padding
    addDir(GC_DataPKCS15::KIND_PRIVATE_KEYS, "4402", unhex("300501"));  // does not parse
    addDir(32, "4406", cert);                                             // unknown kind

    ASSERT_EQ(layout.parseObjects(&app), 0);
    EXPECT_EQ(app.objectInfos[0]->objects.size(), 1u);
    for (size_t i = 1; i < app.objectInfos.size(); ++i) EXPECT_TRUE(app.objectInfos[i]->objects.empty());

    const auto& reads = card.reads();
    ASSERT_EQ(reads.size(), 4u);
    const char* fids[] = {"4404", "4405", "4402", "4406"};
    for (size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(fids[i]);
        EXPECT_EQ(reads[i].aid, kAid);
        EXPECT_EQ(reads[i].path, unhex(fids[i]));
        EXPECT_FALSE(reads[i].selectApplication);
        EXPECT_TRUE(reads[i].selectPath);
        EXPECT_FALSE(reads[i].sizeWanted);
        EXPECT_EQ(reads[i].mode, GC_Controller::READ_SELECT);
    }
    EXPECT_EQ(reads[0].offset, 2u);
    EXPECT_EQ(reads[0].length, cert.size());
}

TEST_F(Directories, ReadFailuresAreNotLost) {
    const Bytes cdf = certEntry("c", {0x01}, unhex("C001"));
    const struct {
        const char* name;
        int prkdf;
        int cdf;
        int result;
    } cases[] = {
        // clang-format off
        {"no failure", 0, 0, 0},
        {"key directory fails, certificates read", -1901, 0, -1901},
        {"certificates fail last", 0, -1901, -1901},
        {"first of two failures", -1901, -1100, -1901},
        {"deactivated directories", -1508, -1508, 0},
        {"deactivated, then a failure", -1508, -1914, -1914},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gctest::FakeController fake;
        GC_DataPKCS15 data(&fake);
        App application;
        application.aid = kAid;
        for (const auto& [kind, fid, content, failure] :
             {std::tuple{uint32_t{GC_DataPKCS15::KIND_PRIVATE_KEYS}, "4402", keyEntry(0x30, {}, {}), c.prkdf},
              std::tuple{uint32_t{GC_DataPKCS15::KIND_CERTIFICATES}, "4404", cdf, c.cdf}}) {
            auto info = std::make_unique<GC_DataPKCS15::object_info>();
            info->kind = kind;
            info->path = unhex(fid);
            fake.setFile(kAid, info->path, content);
            if (failure != 0) fake.failRead(kAid, info->path, failure);
            application.objectInfos.push_back(std::move(info));
        }
        EXPECT_EQ(data.parseObjects(&application), c.result);
        EXPECT_EQ(fake.reads().size(), 2u);
        EXPECT_EQ(application.objectInfos[0]->objects.size(), c.prkdf == 0 ? 1u : 0u);
        EXPECT_EQ(application.objectInfos[1]->objects.size(), c.cdf == 0 ? 1u : 0u);
    }
}

// ---- Authentication objects ----

TEST_F(Directories, PinRecordsFromPinAttributes) {
    const Bytes path = tlv(0x30, tlv(0x04, unhex("3F005015")));
    const struct {
        const char* name;
        Bytes common;
        Bytes auth;
        Bytes attrs;
        uint8_t parent;
        uint8_t authId;
        uint64_t min;
        uint64_t max;
        uint8_t reference;
        const char* pinPath;
    } cases[] = {
        // clang-format off
        {"min, stored and max", utf8("A") + tlv(0x04, {0x02}), tlv(0x04, {0x01}), tlv(0x02, {4}) + tlv(0x02, {8}) + tlv(0x02, {8}) + tlv(0x80, {0x81}) + path, 2, 1, 4, 8, 0x81, "3F005015"},
        {"no maxLength: storedLength", utf8("B"), tlv(0x04, {0x00, 0x05}), tlv(0x02, {4}) + tlv(0x02, {12}), 0, 5, 4, 12, 0, ""},
        {"256 keeps its last byte", utf8("C"), tlv(0x04, {0x03}), tlv(0x02, {0x01, 0x00}) + tlv(0x02, {0x01, 0x05}), 0, 3, 0, 5, 0, ""},
        {"one INTEGER", utf8("D"), tlv(0x04, {0x04}), tlv(0x02, {6}) + path, 0, 4, 6, 6, 0, "3F005015"},
        // clang-format on
    };
    Bytes aodf;
    for (const auto& c : cases) aodf = aodf + pinEntry(c.common, c.auth, c.attrs);
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4401", aodf, 3, 0);
    card.setFile(kAid, unhex("4401"), unhex("000000") + aodf);

    ASSERT_EQ(layout.parseAuthObjects(&app), 0);
    ASSERT_EQ(app.pinInfos.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const auto& pin = *app.pinInfos[i];
        EXPECT_EQ(pin.label, std::string(1, static_cast<char>('A' + i)));
        EXPECT_EQ(pin.parentAuthId, cases[i].parent);
        EXPECT_EQ(pin.authId, cases[i].authId);
        EXPECT_EQ(pin.minLength, cases[i].min);
        EXPECT_EQ(pin.maxLength, cases[i].max);
        EXPECT_EQ(pin.pinReference, cases[i].reference);
        EXPECT_EQ(pin.pinPath, unhex(cases[i].pinPath));
        EXPECT_EQ(pin.aodfPath, unhex("4401"));
        EXPECT_EQ(pin.aodfOffset, 3u);
        EXPECT_EQ(pin.aodfLength, 0u);
        EXPECT_EQ(pin.containerPin, nullptr);
    }
    ASSERT_EQ(card.reads().size(), 1u);
    EXPECT_EQ(card.reads()[0].offset, 3u);
    EXPECT_FALSE(card.reads()[0].selectApplication);
}

TEST_F(Directories, AuthenticationObjectsThatAreNoPinAreSkipped) {
    const Bytes ints = tlv(0x02, {4}) + tlv(0x02, {8});
    const Bytes aodf = pinEntry(utf8("first"), tlv(0x04, {0x01}), ints) +
                       tlv(0xA0, tlv(0x30, utf8("biometric")) + tlv(0x30, tlv(0x04, {0x02})) + tlv(0xA1, {})) +
                       tlv(0x30, tlv(0x30, utf8("truncated"))) +
                       pinEntry(utf8("no lengths"), tlv(0x04, {0x03}), tlv(0x80, {0x83})) +
                       pinEntry(utf8("last"), tlv(0x04, {0x04}), ints);
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4401", aodf);

    ASSERT_EQ(layout.parseAuthObjects(&app), 0);
    ASSERT_EQ(app.pinInfos.size(), 2u);
    EXPECT_EQ(app.pinInfos[0]->label, "first");
    EXPECT_EQ(app.pinInfos[1]->label, "last");
}

TEST_F(Directories, AodfFailuresEndTheOperation) {
    const Bytes ints = tlv(0x02, {4}) + tlv(0x02, {8});
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4401", pinEntry(utf8("one"), tlv(0x04, {1}), ints));
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4411", unhex("300A01"));  // does not parse
    addDir(GC_DataPKCS15::KIND_AUTH_OBJECTS, "4421", pinEntry(utf8("three"), tlv(0x04, {3}), ints));

    EXPECT_EQ(layout.parseAuthObjects(&app), -1100);
    ASSERT_EQ(app.pinInfos.size(), 1u);
    EXPECT_EQ(card.reads().size(), 2u);

    app.pinInfos.clear();
    card.clearLog();
    card.setFile(kAid, unhex("4411"), {});
    card.failRead(kAid, unhex("4411"), -1508);
    EXPECT_EQ(layout.parseAuthObjects(&app), -1508);
    EXPECT_EQ(app.pinInfos.size(), 1u);
    EXPECT_EQ(card.reads().size(), 2u);
}

}  // namespace
