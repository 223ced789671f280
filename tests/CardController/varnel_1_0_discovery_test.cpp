// The first generation's container discovery over an in-memory card: the personalisation of the
// simulated card (tests/data/cardsim/varnel1) and a card built to reach the discovery's corners
// (tests/data/varnel1, see make_fixtures.sh there). Through pcscd and the simulated card in
// tests/Controller/containers_test.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "Data/Container/container.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"
#include "support/hex.h"
#include "support/temp_dir.h"

namespace {

using gctest::Bytes;
using gctest::FakeController;
using gctest::unhex;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

const Bytes kSignatureAid = unhex("A000000167455349474E");
const Bytes kLdsAid = unhex("A0000002471001");

Bytes file(const std::string& relative) {
    const std::string text = gctest::readFile(gctest::dataPath(relative));
    return Bytes(text.begin(), text.end());
}

// An object directory file: the three directories, each padded to its 1024-byte region.
Bytes directoryFile(const std::string& prkdf, const std::string& pukdf, const std::string& cdf) {
    Bytes out;
    for (const std::string* part : {&prkdf, &pukdf, &cdf}) {
        Bytes region = part->empty() ? Bytes{} : file(*part);
        region.resize(1024, 0x00);
        out.insert(out.end(), region.begin(), region.end());
    }
    return out;
}

// The card controller with its layout's records in view.
class Varnel1 : public GC_CardControllerVarnel_1_0 {
public:
    using GC_CardControllerVarnel_1_0::GC_CardControllerVarnel_1_0;
    GC_DataPKCS15& layout() { return static_cast<GC_DataPKCS15&>(*data); }
    size_t applications() {
        // The layout's protected list, reached through a member pointer taken in a derived class.
        struct View : GC_DataPKCS15 {
            static size_t count(GC_DataPKCS15& l) { return (l.*(&View::applications)).size(); }
        };
        return View::count(layout());
    }
};

std::vector<std::string> labels(GC_Container& container) {
    std::vector<GC_Object*> objects;
    container.getObjects(objects);
    std::vector<std::string> out;
    for (GC_Object* object : objects) out.push_back(object->label);
    return out;
}

GC_Object* byLabel(GC_Container& container, const std::string& label) {
    std::vector<GC_Object*> objects;
    container.getObjects(objects);
    for (GC_Object* object : objects)
        if (object->label == label) return object;
    return nullptr;
}

class Varnel1Discovery : public ::testing::Test {
protected:
    void simulatedCard() {
        const std::string dir = "cardsim/varnel1/";
        card.setFile(kSignatureAid, unhex("5032"), file(dir + "tokeninfo.der"));
        card.setFile(kSignatureAid, unhex("5200"), file(dir + "aodf.der"));
        for (const char* fid : {"5081", "5088", "5083"}) {
            const std::string prefix = dir + "dir_" + fid + "_";
            card.setFile(kSignatureAid, unhex(fid),
                         directoryFile(prefix + "prkdf.der", prefix + "pukdf.der", prefix + "cdf.der"));
        }
        card.setFile(kSignatureAid, unhex("5082"), directoryFile("", "", ""));
        card.setFile(kLdsAid, unhex("5300"), file("cardsim/lds/5300.der"));
    }
    void cornerCard() { cornerCard(card); }
    static void cornerCard(FakeController& card) {
        card.setFile(kSignatureAid, unhex("5032"), file("varnel1/tokeninfo.der"));
        card.setFile(kSignatureAid, unhex("5200"), file("varnel1/aodf.der"));
        card.setFile(kSignatureAid, unhex("5081"),
                     directoryFile("varnel1/5081_prkdf.der", "varnel1/5081_pukdf.der", "varnel1/5081_cdf.der"));
        card.setFile(kSignatureAid, unhex("5083"), directoryFile("varnel1/5083_prkdf.der", "", ""));
        card.setFile(kLdsAid, unhex("5300"), file("varnel1/5300.der"));
    }

    FakeController card;
    Varnel1 controller{&card, true};
    Containers containers;
};

TEST_F(Varnel1Discovery, ReadsTheFixedPlaces) {
    simulatedCard();
    card.clearLog();
    ASSERT_EQ(controller.getPKCS15(containers), 0);
    struct Expected {
        const Bytes& aid;
        const char* fid;
        unsigned long offset;
        unsigned long length;
        bool selectApplication;
    };
    // TokenInfo and AODF, then the three 1024-byte regions of each directory file, then 53 00.
    std::vector<Expected> expected = {{kSignatureAid, "5032", 0, 0, true}, {kSignatureAid, "5200", 0, 0, false}};
    for (const char* fid : {"5081", "5088", "5082", "5083"})
        for (unsigned long offset : {0ul, 1024ul, 2048ul}) expected.push_back({kSignatureAid, fid, offset, 1024, false});
    expected.push_back({kLdsAid, "5300", 0, 0, false});
    const auto& reads = card.reads();
    ASSERT_EQ(reads.size(), expected.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reads[i].aid, expected[i].aid);
        EXPECT_EQ(reads[i].path, unhex(expected[i].fid));
        EXPECT_EQ(reads[i].offset, expected[i].offset);
        EXPECT_EQ(reads[i].length, expected[i].length);
        EXPECT_EQ(reads[i].selectApplication, expected[i].selectApplication);
        EXPECT_TRUE(reads[i].selectPath);
        EXPECT_FALSE(reads[i].sizeWanted);
        EXPECT_EQ(reads[i].mode, GC_Controller::READ_SELECT);
    }
    // PUK has no directory; the others' containers, then the travel document's.
    ASSERT_EQ(containers.size(), 6u);
    EXPECT_EQ(containers[4]->label, "Varnel 1.0 test card (PUK)");
    EXPECT_EQ(containers[4]->flags, GC_Container::FLAG_PUK);
    const auto& lds = *containers[5];
    EXPECT_EQ(lds.label, "eMRTD");
    EXPECT_EQ(lds.cardDescription, "PKCS#15 Card");
    EXPECT_EQ(lds.pin, nullptr);
    EXPECT_TRUE(const_cast<GC_Container&>(lds).getSupportedMechanism().empty());
    // The document security object's length is written 81 xx: read as BER, 130 bytes and more.
    auto* sod = static_cast<GC_DataObject*>(byLabel(*containers[5], "SOD"));
    ASSERT_NE(sod, nullptr);
    EXPECT_EQ(sod->length, file("cardsim/lds/sod.der").size());
    EXPECT_GE(sod->length, 128u);
    EXPECT_EQ(sod->path, unhex("011D"));
    EXPECT_EQ(sod->state, GC_Object::STATE_FROM_CARD);
    EXPECT_TRUE(sod->identifier.empty());
    // The private keys know their PIN reference (from the AODF's authId).
    auto* key = static_cast<GC_PrivKeyObject*>(containers[0]->getPrivateKey());
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->pinReference, 0x8A);
    EXPECT_EQ(key->path, unhex("DF0A"));
    EXPECT_EQ(controller.applications(), 2u);
}

TEST_F(Varnel1Discovery, OwnersLabelsDefaultsAndLengths) {
    cornerCard();
    ASSERT_EQ(controller.getPKCS15(containers), 0);
    ASSERT_EQ(containers.size(), 5u);
    // No token label: bare PIN labels. The unknown label gets its container, without objects.
    EXPECT_EQ(containers[0]->label, "Authentication");
    EXPECT_EQ(containers[1]->label, "Authentication1");
    EXPECT_TRUE(labels(*containers[1]).empty());
    EXPECT_EQ(containers[2]->label, "Qualified");
    EXPECT_EQ(containers[3]->label, "PUK");
    for (size_t i : {0, 1, 2}) {
        EXPECT_EQ(containers[i]->parentPin, containers[3]->pin.get());
        EXPECT_TRUE(containers[i]->pin->path.empty()) << "the first generation names PINs by reference";
    }
    // Ownership: ID 01 and 07 stay with Authentication (by the private key, by the public key);
    // certificate 03 goes to the Qualified key of the same ID; public key 08 and certificate 0A
    // have no owner and are gone.
    EXPECT_EQ(labels(*containers[0]), (std::vector<std::string>{"Authentication key", "Public key 01", "Public key 07",
                                                                "Certificate 01", "Certificate 07"}));
    EXPECT_EQ(labels(*containers[2]), (std::vector<std::string>{"Certificate 03", "Qualified key"}));
    auto& layout = controller.layout();
    size_t objects = 0;
    GC_DataPKCS15::app_info* app = nullptr;
    ASSERT_EQ(layout.findAppInfo(containers[0].get(), &app), 0);
    for (GC_Object* object : layout.getAllObjects(app)) {
        EXPECT_NE(object->authId, 0) << object->label;
        ++objects;
    }
    EXPECT_EQ(objects, 7u);

    // The travel document: a path from the MF names its last file, lengths as INTEGER or BER;
    // the SOD the list does not name is added, the COM it names is not.
    std::vector<GC_Object*> lds;
    containers[4]->getObjects(lds);
    ASSERT_EQ(lds.size(), 4u);
    struct Expected {
        const char* label;
        const char* path;
        uint64_t length;
    } expected[] = {{"COM", "011E", 500}, {"DG1", "0101", 144}, {"DG2", "0102", 300}, {"SOD", "011D", 0}};
    for (size_t i = 0; i < lds.size(); ++i) {
        EXPECT_EQ(lds[i]->label, expected[i].label);
        EXPECT_EQ(lds[i]->path, unhex(expected[i].path));
        EXPECT_EQ(lds[i]->length, expected[i].length);
        EXPECT_EQ(lds[i]->authId, 0);
    }

    // Run again: a second set beside the first, with its own parent links; its two records
    // replace the first two, whose objects the first set keeps.
    const size_t first = containers.size();
    ASSERT_EQ(controller.getPKCS15(containers), 0);
    ASSERT_EQ(containers.size(), 2 * first);
    EXPECT_EQ(containers[first]->parentPin, containers[first + 3]->pin.get());
    EXPECT_EQ(controller.applications(), 2u);
    ASSERT_EQ(layout.findAppInfo(containers[first].get(), &app), 0);
    EXPECT_EQ(labels(*containers[first]), labels(*containers[0]));
}

TEST_F(Varnel1Discovery, Failures) {
    struct Case {
        const char* what;
        std::function<void(FakeController&)> damage;
        int result;
        size_t containers;  // left in the list
        size_t records;     // handed to the layout
    } cases[] = {
        // clang-format off
        {"TokenInfo not readable", [](FakeController& c) { c.failRead(kSignatureAid, unhex("5032"), -1505); }, -1505, 0, 0},
        {"TokenInfo not TLV", [](FakeController& c) { c.setFile(kSignatureAid, unhex("5032"), {0x30, 0x05, 0x01}); }, -1, 0, 0},
        {"AODF not readable", [](FakeController& c) { c.failRead(kSignatureAid, unhex("5200"), -1701); }, -1701, 0, 0},
        {"AODF not TLV", [](FakeController& c) { c.setFile(kSignatureAid, unhex("5200"), {0x30, 0x05, 0x01}); }, -1100, 0, 0},
        {"entry of one sequence", [](FakeController& c) { c.setFile(kSignatureAid, unhex("5200"), file("varnel1/aodf_one_sequence.der")); }, -1100, 0, 0},
        {"entry without lengths", [](FakeController& c) { c.setFile(kSignatureAid, unhex("5200"), file("varnel1/aodf_no_lengths.der")); }, -1100, 0, 0},
        // A directory the card does not have is passed over; any other failed read fails.
        {"last region not on the card", [](FakeController& c) { c.removeFile(kSignatureAid, unhex("5083")); }, 0, 5, 2},
        {"an earlier region not on the card", [](FakeController& c) { c.removeFile(kSignatureAid, unhex("5081")); }, 0, 5, 2},
        {"last region deactivated", [](FakeController& c) { c.failRead(kSignatureAid, unhex("5083"), -1508); }, 0, 5, 2},
        {"an earlier region lost with the card", [](FakeController& c) { c.failRead(kSignatureAid, unhex("5081"), -6); }, -6, 0, 0},
        // The signature containers stay when the travel document's list fails.
        {"53 00 not readable", [](FakeController& c) { c.removeFile(kLdsAid, unhex("5300")); }, -1505, 4, 1},
        {"53 00 not TLV", [](FakeController& c) { c.setFile(kLdsAid, unhex("5300"), {0x30, 0x81}); }, -1100, 4, 1},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeController fake;
        Varnel1 discovery(&fake, true);
        cornerCard(fake);
        c.damage(fake);
        Containers list;
        EXPECT_EQ(discovery.getPKCS15(list), c.result);
        EXPECT_EQ(list.size(), c.containers);
        EXPECT_EQ(discovery.applications(), c.records);
    }
}

}  // namespace
