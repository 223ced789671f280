#include "Data/Container/container.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Objects = std::vector<GC_Object*>;
using Mechanism = GC_Container::mechanism_info;

static_assert(!std::is_copy_constructible_v<GC_Container>, "a copy would own the PIN record twice");
static_assert(!std::is_copy_assignable_v<GC_Container>);
static_assert(std::has_virtual_destructor_v<GC_Container>);

// Flags and mechanism rows that a PIN entry gives its container.
TEST(GC_Container, FlagsAndMechanismRowsFromPinEntry) {
    struct Row {
        uint64_t mechanism;
        uint8_t noLength;
        uint8_t qualified;
    };
    struct Case {
        const char* label;
        uint8_t authId;
        uint64_t minLength;
        uint64_t maxLength;
        uint64_t flags;
        std::vector<Row> rows;
    };
    const uint64_t RSA = GC_Container::MECHANISM_RSA;
    const uint64_t EC = GC_Container::MECHANISM_EC;
    // clang-format off
    const Case cases[] = {
        {"Qualified", 1, 6, 8, 0x20, {{RSA, 0, 1}, {EC, 0, 1}}},
        {"Qualified PIN", 1, 6, 8, 0x20, {{EC, 0, 1}}},
        {"Non Qualified", 1, 6, 8, 0x20, {{EC, 0, 1}}},
        {"qualified", 1, 6, 8, 0x20, {{EC, 0, 0}}},
        {"PUK", 2, 6, 8, 0x08, {{EC, 0, 0}}},
        {"PUK1", 2, 6, 8, 0x08, {{EC, 0, 0}}},
        {"User PUK", 2, 6, 8, 0x08, {{EC, 0, 0}}},
        {"Puk", 2, 6, 8, 0x20, {{EC, 0, 0}}},
        {"Signature", 3, 0, 0, 0x30, {{EC, 1, 0}}},
        {"Signature", 3, 4, 0, 0x20, {{EC, 0, 0}}},
        {"Signature", 0, 4, 8, 0x00, {{EC, 0, 0}}},
        {"PUK", 0, 0, 0, 0x18, {{EC, 1, 0}}},
        {"Qualified", 1, 0, 0, 0x30, {{RSA, 0, 1}, {EC, 1, 1}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << '"' << c.label << "\" authId " << int(c.authId) << " lengths "
                                          << c.minLength << "-" << c.maxLength);
        GC_Container container;
        container.buildFromPin(c.authId, c.label, 0x81, {0x3F, 0x00, 0x50, 0x15}, c.minLength, c.maxLength);
        EXPECT_EQ(container.authId, c.authId);
        EXPECT_EQ(container.flags, c.flags);
        const auto mechanisms = container.getSupportedMechanism();
        ASSERT_EQ(mechanisms.size(), c.rows.size());
        for (size_t i = 0; i < mechanisms.size(); ++i) {
            const Mechanism& m = *mechanisms[i];
            EXPECT_EQ(m.mechanism, c.rows[i].mechanism);
            EXPECT_EQ(m.noLength, c.rows[i].noLength);
            EXPECT_EQ(m.qualified, c.rows[i].qualified);
        }
        ASSERT_NE(container.pin, nullptr);
        EXPECT_EQ(container.pin->pinReference, 0x81);
        EXPECT_EQ(container.pin->path, Bytes({0x3F, 0x00, 0x50, 0x15}));
        EXPECT_EQ(container.pin->minLength, c.minLength);
        EXPECT_EQ(container.pin->maxLength, c.maxLength);
    }
}

// A small card application: two key pairs (IDs 01 and 02), objects with empty IDs, a data
// object, all under authId 1 unless stated.
struct Application {
    Application() {
        auto key = [](Bytes id, uint8_t authId) {
            auto k = std::make_unique<GC_PrivKeyObject>();
            k->ID = std::move(id);
            k->authId = authId;
            return k;
        };
        auto pub = [](Bytes id) {
            auto k = std::make_unique<GC_PubKeyObject>();
            k->ID = std::move(id);
            k->authId = 1;
            return k;
        };
        auto cert = [](Bytes id) {
            auto k = std::make_unique<GC_CertObject>();
            k->ID = std::move(id);
            k->authId = 1;
            return k;
        };
        priv1 = key({0x01}, 1);
        priv2 = key({0x02}, 1);
        privOther = key({0x01}, 2);
        pub1 = pub({0x01});
        pub2 = pub({0x02});
        pubEmpty = pub({});
        cert1 = cert({0x01});
        cert2 = cert({0x02});
        certEmpty = cert({});
        certPrefix = cert({0x01, 0x00});
        data = std::make_unique<GC_DataObject>();
        data->authId = 1;
    }
    // In the order a directory walk would list them.
    Objects all() const {
        return {priv1.get(), priv2.get(), privOther.get(), pub1.get(),       pub2.get(), pubEmpty.get(),
                cert1.get(), cert2.get(), certEmpty.get(), certPrefix.get(), data.get()};
    }
    std::unique_ptr<GC_PrivKeyObject> priv1, priv2, privOther;
    std::unique_ptr<GC_PubKeyObject> pub1, pub2, pubEmpty;
    std::unique_ptr<GC_CertObject> cert1, cert2, certEmpty, certPrefix;
    std::unique_ptr<GC_DataObject> data;
};

TEST(GC_Container, ObjectListByAuthId) {
    Application app;
    GC_Container c;
    c.authId = 1;
    EXPECT_EQ(c.addObject(app.privOther.get()), -1102);
    EXPECT_EQ(c.addObject(nullptr), -1102);
    EXPECT_EQ(c.addObjects(app.all()), 0);
    Objects out;
    c.getObjects(out);
    Objects expected = app.all();
    expected.erase(expected.begin() + 2);  // privOther has authId 2
    EXPECT_EQ(out, expected);
    c.getObjects(out);
    EXPECT_EQ(out, expected);  // replaced, not appended

    EXPECT_TRUE(c.isObject(app.cert2.get()));
    EXPECT_FALSE(c.isObject(app.privOther.get()));
    EXPECT_FALSE(c.isObject(nullptr));

    Objects certs;
    c.getCerts(certs);
    c.getCerts(certs);
    const Objects fourCerts = {app.cert1.get(), app.cert2.get(), app.certEmpty.get(), app.certPrefix.get()};
    Objects twice = fourCerts;
    twice.insert(twice.end(), fourCerts.begin(), fourCerts.end());
    EXPECT_EQ(certs, twice);

    EXPECT_EQ(c.getPrivateKey(), app.priv1.get());
    EXPECT_EQ(c.getPrivateKeyByGUID({0x02}), app.priv2.get());
    EXPECT_EQ(c.getPrivateKeyByGUID({}), nullptr);
    EXPECT_EQ(c.getPrivateKeyByGUID({0x01, 0x00}), nullptr);
    EXPECT_EQ(c.getPrivateKeyByGUID({0x03}), nullptr);

    // Deleting keeps the order of the rest; a second delete of the same object fails.
    EXPECT_EQ(c.deleteObject(app.priv1.get()), 0);
    EXPECT_EQ(c.deleteObject(app.priv1.get()), -1102);
    EXPECT_EQ(c.deleteObject(app.privOther.get()), -1102);
    c.getObjects(out);
    expected.erase(expected.begin());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(c.getPrivateKey(), app.priv2.get());

    c.clearObjectList();
    c.getObjects(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(c.deleteObject(app.priv2.get()), -1102);
    // The objects are still alive and owned by the application (ASan would see a double free).
    EXPECT_EQ(app.priv2->ID, Bytes({0x02}));
}

TEST(GC_Container, NoPinContainerTakesObjectsWithoutAuthId) {
    GC_PubKeyObject open;
    GC_PubKeyObject protectedKey;
    protectedKey.authId = 1;
    GC_Container c;
    EXPECT_EQ(c.addObjects({&protectedKey, &open}), 0);
    Objects out;
    c.getObjects(out);
    EXPECT_EQ(out, Objects({&open}));
}

TEST(GC_Container, RelationsById) {
    Application app;
    GC_Container c;
    c.authId = 1;
    c.addObjects(app.all());
    using Relation = void (GC_Container::*)(Objects&, GC_Object*);
    struct Case {
        const char* what;
        Relation relation;
        GC_Object* argument;
        Objects expected;
    };
    // clang-format off
    const Case cases[] = {
        {"pub for cert 01", &GC_Container::getPubKeyRelatedWithCert, app.cert1.get(), {app.pub1.get()}},
        {"pub for cert 02", &GC_Container::getPubKeyRelatedWithCert, app.cert2.get(), {app.pub2.get()}},
        {"pub for cert with empty ID", &GC_Container::getPubKeyRelatedWithCert, app.certEmpty.get(), {app.pubEmpty.get()}},
        {"pub for cert 01 00 (no prefix match)", &GC_Container::getPubKeyRelatedWithCert, app.certPrefix.get(), {}},
        {"pub for null", &GC_Container::getPubKeyRelatedWithCert, nullptr, {app.pub1.get(), app.pub2.get(), app.pubEmpty.get()}},
        {"pub for a private key instead of a cert", &GC_Container::getPubKeyRelatedWithCert, app.priv1.get(), {app.pub1.get(), app.pub2.get(), app.pubEmpty.get()}},
        {"pub for priv 02", &GC_Container::getPubKeyRelatedWithPrivKey, app.priv2.get(), {app.pub2.get()}},
        {"pub for a data object", &GC_Container::getPubKeyRelatedWithPrivKey, app.data.get(), {app.pub1.get(), app.pub2.get(), app.pubEmpty.get()}},
        {"priv for cert 01", &GC_Container::getPrivateKeyRelatedWithCert, app.cert1.get(), {app.priv1.get()}},
        {"priv for cert with empty ID", &GC_Container::getPrivateKeyRelatedWithCert, app.certEmpty.get(), {}},
        {"priv for pub 02", &GC_Container::getPrivateKeyRelatedWithPubKey, app.pub2.get(), {app.priv2.get()}},
        {"priv for null", &GC_Container::getPrivateKeyRelatedWithPubKey, nullptr, {app.priv1.get(), app.priv2.get()}},
    };
    // clang-format on
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Objects out = {app.data.get()};  // appended to, never cleared
        (c.*k.relation)(out, k.argument);
        Objects expected = {app.data.get()};
        expected.insert(expected.end(), k.expected.begin(), k.expected.end());
        EXPECT_EQ(out, expected);
    }

    GC_Container empty;
    Objects out = {app.data.get()};
    empty.getPubKeyRelatedWithCert(out, nullptr);
    EXPECT_EQ(out, Objects({app.data.get()}));
}

std::shared_ptr<GC_Container> withPin(uint8_t reference) {
    auto c = std::make_shared<GC_Container>();
    c->pin = std::make_unique<GC_Container::pin_record>();
    c->pin->pinReference = reference;
    return c;
}

TEST(GC_Container, FindParentContainer) {
    auto user = withPin(0x81);
    auto puk = withPin(0x83);
    auto pukTwin = withPin(0x83);
    auto noPin = std::make_shared<GC_Container>();
    auto orphan = withPin(0x82);
    user->parentPin = puk->pin.get();
    // Parent with a reference that no container carries.
    GC_Container::pin_record stray;
    stray.pinReference = 0x99;
    orphan->parentPin = &stray;
    // A container whose own PIN has its parent's reference finds itself.
    auto selfish = withPin(0x85);
    selfish->parentPin = selfish->pin.get();

    struct Case {
        const char* what;
        std::shared_ptr<GC_Container> container;
        std::vector<std::shared_ptr<GC_Container>> list;
        std::shared_ptr<GC_Container> expected;
    };
    // clang-format off
    const Case cases[] = {
        {"parent found", user, {noPin, user, puk}, puk},
        {"first of two with the same reference", user, {pukTwin, puk}, pukTwin},
        {"no parent record", puk, {user, puk}, nullptr},
        {"no reference matches", orphan, {user, puk, noPin}, nullptr},
        {"empty list", user, {}, nullptr},
        {"itself", selfish, {user, selfish}, selfish},
        {"null container", nullptr, {user, puk}, nullptr},
        {"null entries are passed over", user, {nullptr, puk}, puk},
    };
    // clang-format on
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::shared_ptr<GC_Container> parent = noPin;  // released in every case
        GC_Container::findParentContainer(k.container, k.list, parent);
        EXPECT_EQ(parent, k.expected);
    }
}

}  // namespace
