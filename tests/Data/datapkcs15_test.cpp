#include <gtest/gtest.h>

#include <string>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"
#include "support/hex.h"
#include "support/temp_dir.h"

// Discovery over the test card of tests/data/pkcs15 (see make_fixtures.sh there): two
// applications, five PINs, keys, certificates and data objects.

namespace {

using gctest::Bytes;
using gctest::FakeController;
using gctest::unhex;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

const Bytes kMf = {0x3F, 0x00};
const Bytes kAid1 = unhex("D2760001780101");
const Bytes kAid2 = unhex("D2760001780102");
const Bytes kPath1 = unhex("3F005015");
const Bytes kPath2 = unhex("3F005016");

// The layout with its application records in view.
class Layout : public GC_DataPKCS15 {
public:
    using GC_DataPKCS15::applications;
    using GC_DataPKCS15::GC_DataPKCS15;
};

Bytes fileBytes(const std::string& name) {
    const std::string content = gctest::readFile(gctest::dataPath("pkcs15/" + name));
    return Bytes(content.begin(), content.end());
}

unsigned long fileSize(const std::string& name) {
    return static_cast<unsigned long>(fileBytes(name).size());
}

std::vector<std::string> labels(const std::vector<GC_Object*>& objects) {
    std::vector<std::string> out;
    for (GC_Object* object : objects) out.push_back(object->label);
    return out;
}

std::vector<std::string> labels(GC_Container& container) {
    std::vector<GC_Object*> objects;
    container.getObjects(objects);
    return labels(objects);
}

GC_Object* byLabel(GC_Container& container, const std::string& label) {
    std::vector<GC_Object*> objects;
    container.getObjects(objects);
    for (GC_Object* object : objects) {
        if (object->label == label) return object;
    }
    return nullptr;
}

class DataPkcs15Discovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gctest::loadCardMap(card, gctest::dataPath("pkcs15/card.map"))); }

    FakeController card;
    Layout layout{&card};
    Containers containers;
};

TEST_F(DataPkcs15Discovery, ReadsEveryFileWhereTheCardKeepsIt) {
    ASSERT_EQ(layout.getContainers(containers), 0);

    struct Expected {
        Bytes dir;
        const char* fid;
        unsigned long offset;
        unsigned long length;
        bool selectApplication;
    };
    // clang-format off
    const Expected expected[] = {
        {kMf, "2F00", 0, 0, true},
        {kPath1, "5032", 0, 0, true},   // TokenInfo, under the application path
        {kAid1, "5031", 0, 0, false},   // ODF, under the AID
        {kAid1, "4401", 0, 0, false},   // AODF
        {kAid1, "4402", 0, 0, false},   // PrKDF (listed second in the ODF, read first)
        {kAid1, "4403", 0, 0, false},   // PuKDF
        {kAid1, "4404", 6, 0, false},   // CDF, at its ODF offset (length checked below)
        {kPath2, "5032", 0, 0, true},
        {kAid2, "5031", 0, 0, false},
        {kAid2, "4401", 0, 0, false},
        {kAid2, "4402", 0, 0, false},
        {kAid2, "4404", 0, 0, false},
        {kAid2, "4405", 0, 0, false},
    };
    // clang-format on
    const auto& reads = card.reads();
    ASSERT_EQ(reads.size(), std::size(expected));
    for (size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reads[i].aid, expected[i].dir);
        EXPECT_EQ(reads[i].path, unhex(expected[i].fid));
        EXPECT_EQ(reads[i].offset, expected[i].offset);
        if (i != 6) {
            EXPECT_EQ(reads[i].length, expected[i].length);
        }
        EXPECT_EQ(reads[i].selectApplication, expected[i].selectApplication);
        EXPECT_TRUE(reads[i].selectPath);
        EXPECT_FALSE(reads[i].sizeWanted);
        EXPECT_EQ(reads[i].mode, GC_Controller::READ_SELECT);
        EXPECT_TRUE(reads[i].tag.empty());
        EXPECT_EQ(reads[i].result, 0);
    }
    // The CDF of application 1 is the file less its six-byte prefix.
    EXPECT_EQ(reads[6].length, fileSize("app1_cdf.der") - 6);
}

TEST_F(DataPkcs15Discovery, OneContainerPerPin) {
    ASSERT_EQ(layout.getContainers(containers), 0);
    ASSERT_EQ(containers.size(), 5u);

    struct Expected {
        const char* label;
        const char* appLabel;
        Bytes aid;
        uint8_t authId;
        uint64_t flags;
        uint8_t reference;
        const char* pinPath;
        uint64_t minLength;
        uint64_t maxLength;
        const char* version;
        const char* serial;
        const char* manufacturer;
    };
    // clang-format off
    const Expected expected[] = {
        {"Test Token (PIN)", "Authentication", kAid1, 1, 0x20, 0x81, "3F005015", 4, 8, "00", "1234567890", "Test Maker"},
        {"Test Token (PUK)", "Authentication", kAid1, 2, 0x08, 0x82, "3F00", 8, 12, "00", "1234567890", "Test Maker"},
        {"Qualified", "Signature", kAid2, 1, 0x20, 0x85, "3F005016", 6, 8, "01", "ABCD", "Test Maker 2"},
        {"Signature PUK", "Signature", kAid2, 3, 0x08, 0x86, "3F005016", 8, 8, "01", "ABCD", "Test Maker 2"},
        {"Open", "Signature", kAid2, 0, 0x10, 0x00, "3F00", 0, 0, "01", "ABCD", "Test Maker 2"},
    };
    // clang-format on
    for (size_t i = 0; i < containers.size(); ++i) {
        SCOPED_TRACE(expected[i].label);
        GC_Container& c = *containers[i];
        EXPECT_EQ(c.label, expected[i].label);
        EXPECT_EQ(c.appLabel, expected[i].appLabel);
        EXPECT_EQ(c.AID, expected[i].aid);
        EXPECT_EQ(c.authId, expected[i].authId);
        EXPECT_EQ(c.flags, expected[i].flags);
        EXPECT_EQ(c.version, unhex(expected[i].version));
        EXPECT_EQ(c.version2, unhex(expected[i].version));
        EXPECT_EQ(c.serialNumber, unhex(expected[i].serial));
        EXPECT_EQ(c.manufacturer, expected[i].manufacturer);
        EXPECT_EQ(c.cardDescription, "");
        EXPECT_EQ(c.objectsLoaded, 0);
        ASSERT_NE(c.pin, nullptr);
        EXPECT_EQ(c.pin->encoding, 1u);
        EXPECT_EQ(c.pin->pinReference, expected[i].reference);
        EXPECT_EQ(c.pin->path, unhex(expected[i].pinPath));
        EXPECT_EQ(c.pin->minLength, expected[i].minLength);
        EXPECT_EQ(c.pin->maxLength, expected[i].maxLength);
        EXPECT_EQ(c.pin->triesLeft, 0u);
        EXPECT_EQ(c.pin->triesLimit, 3u);
    }
}

TEST_F(DataPkcs15Discovery, ObjectsGoToThePinOfTheirKey) {
    ASSERT_EQ(layout.getContainers(containers), 0);
    ASSERT_EQ(containers.size(), 5u);

    // Directory kinds in the order private keys, public keys, certificates, data objects,
    // whatever the ODF order; certificates and public keys follow the private key of their ID.
    EXPECT_EQ(labels(*containers[0]),
              (std::vector<std::string>{"Auth RSA key", "Auth EC key", "Auth RSA public key", "Auth EC public key",
                                        "Auth RSA certificate", "Auth EC certificate"}));
    EXPECT_TRUE(labels(*containers[1]).empty());
    // The attribute certificate between them is passed over.
    EXPECT_EQ(labels(*containers[2]),
              (std::vector<std::string>{"Qualified RSA key", "Qualified EC key", "Qualified RSA certificate",
                                        "Qualified EC certificate"}));
    EXPECT_TRUE(labels(*containers[3]).empty());
    // Objects without authId: the CA certificate (no key of its ID) and the data objects.
    EXPECT_EQ(labels(*containers[4]), (std::vector<std::string>{"Test CA", "Card data", "Info application"}));

    // A certificate without key keeps its authId 0; application 1 has no container for it.
    const std::vector<GC_Object*> all = layout.getAllObjects(layout.applications[0].get());
    EXPECT_EQ(labels(all),
              (std::vector<std::string>{"Auth RSA key", "Auth EC key", "Auth RSA public key", "Auth EC public key",
                                        "Auth RSA certificate", "Auth EC certificate", "Other certificate"}));
    EXPECT_EQ(all.back()->authId, 0);
}

TEST_F(DataPkcs15Discovery, ObjectAttributes) {
    ASSERT_EQ(layout.getContainers(containers), 0);
    GC_Container& pin = *containers[0];

    auto* rsa = static_cast<GC_PrivKeyObject*>(byLabel(pin, "Auth RSA key"));
    ASSERT_NE(rsa, nullptr);
    EXPECT_EQ(rsa->keyType, GC_Object::KEY_RSA);
    EXPECT_EQ(rsa->flags, 1u);  // private; the native BOOLEAN is FF, not 01
    EXPECT_EQ(rsa->keyReference, 1);
    EXPECT_EQ(rsa->usage, 2u | 16u);  // sign, nonRepudiation
    EXPECT_EQ(rsa->access, 1u | 4u | 8u | 16u);
    EXPECT_EQ(rsa->path, unhex("3F0050154B01"));
    EXPECT_EQ(rsa->keyBits, 2048u);
    EXPECT_EQ(rsa->pinReference, 0x81);
    EXPECT_EQ(rsa->state, 3u);
    EXPECT_EQ(rsa->objectInfo, layout.applications[0]->objectInfos[0].get());

    auto* ec = static_cast<GC_PrivKeyObject*>(byLabel(pin, "Auth EC key"));
    ASSERT_NE(ec, nullptr);
    EXPECT_EQ(ec->keyType, GC_Object::KEY_EC);
    EXPECT_EQ(ec->flags, 1u | 4u);  // private, native
    EXPECT_EQ(ec->userConsent, 1u);
    EXPECT_EQ(ec->ID, unhex("02"));  // stored as 04 01 02
    EXPECT_EQ(ec->usage, 2u | 4u);     // bits 2, 5, 8
    EXPECT_EQ(ec->access, 0u);         // one BIT STRING only
    EXPECT_EQ(ec->keyBits, 256u);

    auto* pub = static_cast<GC_PubKeyObject*>(byLabel(pin, "Auth EC public key"));
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(pub->keyType, GC_Object::KEY_EC);
    EXPECT_EQ(pub->authId, 1);  // from the private key of ID 02
    EXPECT_EQ(pub->path, unhex("4502"));
    EXPECT_EQ(pub->length, fileSize("app1_ec.pub.der"));
    EXPECT_EQ(pub->state, 1u);

    auto* cert = static_cast<GC_CertObject*>(byLabel(pin, "Auth RSA certificate"));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->flags, 2u);  // modifiable
    EXPECT_EQ(cert->path, unhex("C001"));
    EXPECT_EQ(cert->length, fileSize("app1_rsa.der"));

    auto* data = static_cast<GC_DataObject*>(byLabel(*containers[4], "Card data"));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->path, unhex("0103"));
    EXPECT_EQ(data->length, fileSize("app2_data_0103.der"));
    EXPECT_EQ(data->state, 0x0Du);
}

TEST_F(DataPkcs15Discovery, ParentPinsStayInsideTheirApplication) {
    ASSERT_EQ(layout.getContainers(containers), 0);
    ASSERT_EQ(containers.size(), 5u);
    // Application 1: the PIN's parent is its PUK.
    EXPECT_EQ(containers[0]->parentPin, containers[1]->pin.get());
    EXPECT_EQ(containers[1]->parentPin, nullptr);
    // Application 2: "Qualified" has authId 01 like the PIN of application 1; its parent link
    // lands on its own container.
    EXPECT_EQ(containers[2]->parentPin, containers[3]->pin.get());
    // A PUK without parent authId gets no parent, although "Open" has authId 0.
    EXPECT_EQ(containers[3]->parentPin, nullptr);
    EXPECT_EQ(containers[4]->parentPin, nullptr);

    // The PIN records point at the PIN records of their containers.
    ASSERT_EQ(layout.applications.size(), 2u);
    const auto& pins1 = layout.applications[0]->pinInfos;
    const auto& pins2 = layout.applications[1]->pinInfos;
    ASSERT_EQ(pins1.size(), 2u);
    ASSERT_EQ(pins2.size(), 3u);  // the biometric entry gives none
    EXPECT_EQ(pins1[0]->containerPin, containers[0]->pin.get());
    EXPECT_EQ(pins1[1]->containerPin, containers[1]->pin.get());
    EXPECT_EQ(pins2[2]->containerPin, containers[4]->pin.get());
}

// ---- Failures ----

TEST(DataPkcs15Failures, EfDir) {
    const struct {
        const char* name;
        int readFailure;
        Bytes content;
        int result;
    } cases[] = {
        // clang-format off
        {"unreadable", -1901, {}, -1901},
        {"does not parse", 0, unhex("61 05 4F 02 D2"), -1100},
        {"no records, only padding", 0, Bytes(16, 0x00), 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeController card;
        card.setFile(kMf, unhex("2F00"), c.content);
        if (c.readFailure != 0) card.failRead(kMf, unhex("2F00"), c.readFailure);
        Layout layout(&card);
        Containers containers;
        EXPECT_EQ(layout.getContainers(containers), c.result);
        EXPECT_TRUE(containers.empty());
        EXPECT_TRUE(layout.applications.empty());
        EXPECT_EQ(card.reads().size(), 1u);
    }
}

TEST_F(DataPkcs15Discovery, RecordWithoutTokenInfoPathEndsWithTheReadsRefusal) {
    card.setFile(kMf, unhex("2F00"), fileBytes("ef_dir_no_tokeninfo.der"));
    EXPECT_EQ(layout.getContainers(containers), -1501);
    // The first application's containers and record stay.
    EXPECT_EQ(containers.size(), 2u);
    EXPECT_EQ(layout.applications.size(), 1u);
    ASSERT_FALSE(card.reads().empty());
    EXPECT_EQ(card.reads().back().aid, unhex("3F005017"));
    EXPECT_TRUE(card.reads().back().path.empty());
}

TEST_F(DataPkcs15Discovery, FailuresOfTheSecondApplication) {
    struct Case {
        const char* name;
        Bytes dir;
        const char* fid;
        int code;
    };
    // TokenInfo and ODF are not passed over when deactivated, unlike object directories.
    const Case cases[] = {
        {"TokenInfo deactivated", kPath2, "5032", -1508},
        {"ODF unreadable", kAid2, "5031", -1901},
        {"AODF unreadable", kAid2, "4401", -1901},
        {"PrKDF unreadable", kAid2, "4402", -1901},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeController fake;
        ASSERT_TRUE(gctest::loadCardMap(fake, gctest::dataPath("pkcs15/card.map")));
        fake.failRead(c.dir, unhex(c.fid), c.code);
        Layout data(&fake);
        Containers list;
        EXPECT_EQ(data.getContainers(list), c.code);
        EXPECT_EQ(list.size(), 2u);
        ASSERT_EQ(data.applications.size(), 1u);
        EXPECT_EQ(data.applications[0]->aid, kAid1);
    }
}

TEST_F(DataPkcs15Discovery, FailedKeyDirectoryIsNotHiddenByLaterDirectories) {
    card.failRead(kAid1, unhex("4402"), -1901);
    EXPECT_EQ(layout.getContainers(containers), -1901);
    EXPECT_TRUE(containers.empty());
    EXPECT_TRUE(layout.applications.empty());
    // The public-key and certificate directories after it were still read.
    const auto& reads = card.reads();
    ASSERT_EQ(reads.size(), 7u);
    EXPECT_EQ(reads[5].path, unhex("4403"));
    EXPECT_EQ(reads[6].path, unhex("4404"));
    EXPECT_EQ(reads[6].result, 0);
}

TEST_F(DataPkcs15Discovery, DeactivatedDirectoryIsPassedOver) {
    card.failRead(kAid1, unhex("4404"), -1508);
    ASSERT_EQ(layout.getContainers(containers), 0);
    ASSERT_EQ(containers.size(), 5u);
    EXPECT_EQ(labels(*containers[0]),
              (std::vector<std::string>{"Auth RSA key", "Auth EC key", "Auth RSA public key", "Auth EC public key"}));
}

// ---- Lifetime ----

TEST_F(DataPkcs15Discovery, RepeatedDiscoveryReplacesTheRecordsAndKeepsHandedOutObjects) {
    ASSERT_EQ(layout.getContainers(containers), 0);
    std::vector<GC_Object*> first;
    containers[0]->getObjects(first);
    ASSERT_EQ(first.size(), 6u);

    Containers again;
    ASSERT_EQ(layout.getContainers(again), 0);
    EXPECT_EQ(containers.size(), 5u);
    ASSERT_EQ(again.size(), 5u);
    EXPECT_EQ(layout.applications.size(), 2u);

    std::vector<GC_Object*> second;
    again[0]->getObjects(second);
    ASSERT_EQ(second.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_NE(first[i], second[i]);
        // Still alive and unchanged (ASan reports any use after free here), listed by the first
        // discovery's record, which its containers keep; the layout holds the new ones only.
        EXPECT_EQ(first[i]->label, second[i]->label);
        bool listed = false;
        for (const auto& held : first[i]->objectInfo->objects) listed |= held.get() == first[i];
        EXPECT_TRUE(listed);
        EXPECT_EQ(layout.findObjectInfo(first[i], nullptr, nullptr), -1102);
        EXPECT_EQ(layout.findObjectInfo(second[i], nullptr, nullptr), 0);
    }
    // The parent links of both discoveries point into their own containers.
    EXPECT_EQ(containers[0]->parentPin, containers[1]->pin.get());
    EXPECT_EQ(again[0]->parentPin, again[1]->pin.get());

    // A container from before is matched by its PIN's values, like one no discovery made.
    GC_DataPKCS15::app_info* app = nullptr;
    ASSERT_EQ(layout.findAppInfo(containers[0].get(), &app), 0);
    EXPECT_EQ(app, layout.applications[0].get());
    GC_Container copy;
    copy.buildFromPin(again[0]->authId, "Auth", again[0]->pin->pinReference, again[0]->pin->path, 4, 8);
    app = nullptr;
    ASSERT_EQ(layout.findAppInfo(&copy, &app), 0);
    EXPECT_EQ(app, layout.applications[0].get());
}

// The layout of the first card generation reads its fixed directory regions itself and hands
// the application record over; reading its regions, a file the card does not have is passed over,
// while a read that fails otherwise fails, wherever the region is.
TEST_F(DataPkcs15Discovery, HandedOverRecordsAndTheMissingFileRule) {
    auto region = [](const char* fid, uint32_t kind, uint64_t index = 0) {
        auto info = std::make_unique<GC_DataPKCS15::object_info>();
        info->path = unhex(fid);
        info->index = index;
        info->kind = kind;
        return info;
    };
    auto record = [&] {
        auto app = std::make_unique<GC_DataPKCS15::app_info>();
        app->aid = kAid1;
        app->objectInfos.push_back(region("4401", GC_DataPKCS15::KIND_AUTH_OBJECTS));  // skipped
        app->objectInfos.push_back(region("4402", GC_DataPKCS15::KIND_PRIVATE_KEYS));
        app->objectInfos.push_back(region("4404", GC_DataPKCS15::KIND_CERTIFICATES, 6));
        return app;
    };
    struct Case {
        const char* failing;
        int code;
        GC_DataPKCS15::parse_failure rule;
        int result;
        size_t objects;
    } cases[] = {
        {"4402", -1901, GC_DataPKCS15::FAIL_ON_FIRST_READ, -1901, 3},
        {"4402", -1914, GC_DataPKCS15::SKIP_MISSING_FILES, -1914, 3},
        {"4404", -1505, GC_DataPKCS15::FAIL_ON_FIRST_READ, -1505, 2},
        {"4404", -1505, GC_DataPKCS15::SKIP_MISSING_FILES, 0, 2},
        {"4404", -1508, GC_DataPKCS15::SKIP_MISSING_FILES, 0, 2},
        {"4401", -1901, GC_DataPKCS15::SKIP_MISSING_FILES, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.failing) + " " + std::to_string(c.rule));
        card.clearFailures();
        card.clearLog();
        card.failRead(kAid1, unhex(c.failing), c.code);
        auto app = record();
        EXPECT_EQ(layout.parseObjects(app.get(), c.rule), c.result);
        EXPECT_EQ(layout.getAllObjects(app.get()).size(), c.objects);
        EXPECT_EQ(card.reads().size(), 2u);
    }

    // A handed-over record is the layout's: its objects are found and read like discovered ones.
    auto app = record();
    ASSERT_EQ(layout.parseObjects(app.get(), GC_DataPKCS15::SKIP_MISSING_FILES), 0);
    GC_DataPKCS15::app_info* held = layout.appendApplication(std::move(app));
    ASSERT_EQ(layout.applications.size(), 1u);
    EXPECT_EQ(held, layout.applications[0].get());
    std::vector<GC_Object*> objects = layout.getAllObjects(held);
    ASSERT_EQ(objects.size(), 5u);
    GC_DataPKCS15::app_info* found = nullptr;
    EXPECT_EQ(layout.findObjectInfo(objects.back(), &found, nullptr), 0);
    EXPECT_EQ(found, held);
    EXPECT_EQ(layout.readObjects(objects), 0);
    EXPECT_NE(static_cast<GC_CertObject*>(objects.back())->cert, nullptr);
}

TEST(DataPkcs15Lifetime, ContainersMayOutliveTheirDiscoveryListAndTheLayout) {
    FakeController card;
    ASSERT_TRUE(gctest::loadCardMap(card, gctest::dataPath("pkcs15/card.map")));
    std::shared_ptr<GC_Container> kept;
    auto layout = std::make_unique<GC_DataPKCS15>(&card);
    {
        Containers list;
        ASSERT_EQ(layout->getContainers(list), 0);
        kept = list[2];
    }
    EXPECT_EQ(labels(*kept).size(), 4u);
    // The container keeps the records that own its objects: destroyed with the layout, they
    // would leave it with freed objects (ASan), and LeakSanitizer sees them freed with it.
    std::unique_ptr<GC_Data> base = std::move(layout);
    base.reset();
    EXPECT_EQ(labels(*kept).size(), 4u);
    kept.reset();
}

}  // namespace
