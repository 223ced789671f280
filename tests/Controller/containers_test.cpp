// Containers through the card session and the Driver, on both card generations: what discovery
// finds (the first generation's fixed layout, the second's PKCS#15 application), what loading
// reads, and the session's rules for keeping the list.
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Queue/hub_companion.h"
#include "driver.h"
#include "session_fixture.h"
#include "support/temp_dir.h"

namespace session_test {
namespace {

using Containers = std::vector<std::shared_ptr<GC_Container>>;

constexpr uint64_t kEc = GC_Container::MECHANISM_EC;
constexpr uint64_t kRsa = GC_Container::MECHANISM_RSA;
// A PIN container as discovery and the card's PIN status leave it: its PIN's directory active.
constexpr uint64_t kPinFlags = GC_Container::FLAG_AUTH_ID | GC_Container::FLAG_ACTIVE;

const Bytes kLdsAid{0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};

Bytes dataFile(const std::string& relative) {
    const std::string text = gctest::readFile(gctest::dataPath("cardsim/" + relative));
    return Bytes(text.begin(), text.end());
}

struct ExpectedContainer {
    std::string label;
    uint8_t authId;
    int pinReference;  // -1: no PIN
    Bytes pinPath;
    uint64_t flags;
    std::vector<uint64_t> mechanisms;
    uint8_t qualified;
    int parent;  // index of the container whose PIN unblocks this one; -1: none
    std::vector<std::string> objects;
    // The personalisation's file of each object's content, by object, once loaded.
    std::vector<std::string> contents;
};

// A container of a key pair with its public key and certificate.
ExpectedContainer keyed(const std::string& card, const std::string& label, uint8_t authId, int ref, Bytes path,
                        std::vector<uint64_t> mechanisms, uint8_t qualified, int parent, const std::string& key) {
    // clang-format off
    return {card + label + ")", authId, ref, std::move(path), kPinFlags, std::move(mechanisms), qualified, parent,
            {label + " key", label + " public key", label + " certificate"},
            {"", "pub/" + key + ".der", "certs/" + key + ".der"}};
    // clang-format on
}

std::vector<ExpectedContainer> varnel1Containers() {
    const std::string card = "Varnel 1.0 test card (";
    // clang-format off
    return {
        keyed(card, "Authentication", 0x01, 0x8A, {}, {kEc}, 0, 4, "v1_auth_p256"),
        keyed(card, "Presence", 0x02, 0x88, {}, {kEc}, 0, 4, "v1_presence_p521"),
        {card + "Authorization)", 0x05, 0x8B, {}, kPinFlags, {kEc}, 0, 4, {}, {}},
        keyed(card, "Qualified", 0x03, 0x8C, {}, {kRsa, kEc}, 1, 4, "v1_qualified_rsa"),
        // The first generation's PUK directory is not tested: not marked active.
        {card + "PUK)", 0x04, 0x94, {}, GC_Container::FLAG_PUK, {kEc}, 0, -1, {}, {}},
        {"eMRTD", 0, -1, {}, 0, {}, 0, -1, {"COM", "SOD", "DG1", "DG14"}, {"lds/com.der", "lds/sod.der", "lds/dg1.der", "lds/dg14.der"}},
    };
    // clang-format on
}

std::vector<ExpectedContainer> varnel2Containers() {
    const std::string card = "Varnel 2.0 test card (";
    // clang-format off
    return {
        keyed(card, "Authentication", 0x01, 0x01, {0xAD, 0xF1}, {kEc}, 0, 3, "v2_auth_bp256"),
        keyed(card, "Authorization", 0x02, 0x02, {0xAD, 0xF2}, {kEc}, 0, 3, "v2_authz_p384"),
        keyed(card, "Qualified", 0x03, 0x0C, {0xAD, 0xFC}, {kRsa, kEc}, 1, 3, "v2_qualified_rsa"),
        {card + "PUK)", 0x04, 0x04, {}, GC_Container::FLAG_PUK | GC_Container::FLAG_ACTIVE, {kEc}, 0, -1, {}, {}},
    };
    // clang-format on
}

void expectDiscovered(const Containers& list, const std::vector<ExpectedContainer>& expected) {
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const ExpectedContainer& e = expected[i];
        const GC_Container& c = *list[i];
        SCOPED_TRACE(e.label);
        EXPECT_EQ(c.label, e.label);
        EXPECT_EQ(c.appLabel, "ChipDoc");
        EXPECT_EQ(c.authId, e.authId);
        EXPECT_EQ(c.AID, e.label == "eMRTD" ? kLdsAid : kSignatureAid);
        EXPECT_EQ(c.flags, e.flags);
        EXPECT_EQ(c.objectsLoaded, 0);
        if (e.pinReference < 0) {
            EXPECT_EQ(c.pin, nullptr);
        } else {
            ASSERT_NE(c.pin, nullptr);
            EXPECT_EQ(c.pin->pinReference, e.pinReference);
            EXPECT_EQ(c.pin->path, e.pinPath);
            EXPECT_EQ(c.pin->minLength, e.label.find("PUK") != std::string::npos ? 8u : 6u);
            EXPECT_EQ(c.pin->maxLength, 8u);
            EXPECT_EQ(c.pin->triesLeft, 3u);
        }
        EXPECT_EQ(c.parentPin, e.parent < 0 ? nullptr : list[static_cast<size_t>(e.parent)]->pin.get());
        auto mechanisms = const_cast<GC_Container&>(c).getSupportedMechanism();
        ASSERT_EQ(mechanisms.size(), e.mechanisms.size());
        for (size_t m = 0; m < mechanisms.size(); ++m) {
            EXPECT_EQ(mechanisms[m]->mechanism, e.mechanisms[m]);
            EXPECT_EQ(mechanisms[m]->qualified, e.qualified);
        }
        std::vector<GC_Object*> objects;
        const_cast<GC_Container&>(c).getObjects(objects);
        std::vector<std::string> labels;
        for (GC_Object* object : objects) labels.push_back(object->label);
        EXPECT_EQ(labels, e.objects);
    }
}

// Each object's content equals the personalisation's file (a certificate's DER, a public key's
// SubjectPublicKeyInfo, a data group).
void expectLoaded(const Containers& list, const std::vector<ExpectedContainer>& expected) {
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(expected[i].label);
        std::vector<GC_Object*> objects;
        list[i]->getObjects(objects);
        EXPECT_EQ(list[i]->objectsLoaded, objects.empty() ? 0 : 1);
        for (size_t k = 0; k < objects.size() && k < expected[i].contents.size(); ++k) {
            const std::string& file = expected[i].contents[k];
            if (file.empty()) continue;
            Bytes content;
            switch (objects[k]->type) {
                case GC_Object::TYPE_CERTIFICATE:
                    EXPECT_EQ(static_cast<GC_CertObject*>(objects[k])->getCert(content), 0);
                    break;
                case GC_Object::TYPE_PUBLIC_KEY:
                    EXPECT_EQ(static_cast<GC_PubKeyObject*>(objects[k])->getPublicKeyBytes(content), 0);
                    break;
                case GC_Object::TYPE_DATA:
                    content = static_cast<GC_DataObject*>(objects[k])->getData();
                    break;
            }
            EXPECT_EQ(content, dataFile(file)) << file;
        }
    }
}

class ContainersTest : public SessionTest {
protected:
    void plugGeneration(cardsim::Personality personality) { plug(varnelCard(personality)); }
};

TEST_F(ContainersTest, BothGenerationsThroughTheDriver) {
    struct Case {
        cardsim::Personality personality;
        GC_CardController::card_controller kind;
        std::vector<ExpectedContainer> expected;
    } cases[] = {
        {cardsim::Personality::Varnel1, GC_CardController::CARD_VARNEL_1_0, varnel1Containers()},
        {cardsim::Personality::Varnel2, GC_CardController::CARD_VARNEL_2_0, varnel2Containers()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cardsim::personalityName(c.personality));
        plugGeneration(c.personality);
        Driver driver(name, GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver.getLastError(), 0);
        ASSERT_EQ(driver.getCardType(), c.kind);
        ASSERT_EQ(driver.performSecureConnection(kCan, 2), 0);
        Containers list;
        EXPECT_EQ(driver.loadContainers(list, true), -1101) << "nothing read yet";
        ASSERT_EQ(driver.getContainers(list, true), 0);
        expectDiscovered(list, c.expected);
        ASSERT_EQ(driver.loadContainers(list, false), 0);
        {
            SCOPED_TRACE("first load");
            expectLoaded(list, c.expected);
        }

        // A forced reload gives a new list of the same containers, no more.
        Containers again;
        ASSERT_EQ(driver.getContainers(again, true), 0);
        expectDiscovered(again, c.expected);
        EXPECT_NE(again.front(), list.front());
        ASSERT_EQ(driver.loadContainers(again, false), 0);
        {
            SCOPED_TRACE("second load");
            expectLoaded(again, c.expected);
        }
        // The first list's objects stay alive and loaded beside the new ones.
        expectLoaded(list, c.expected);

        std::shared_ptr<GC_Container> last;
        EXPECT_EQ(driver.getContainer(static_cast<int>(c.expected.size()) - 1, last), 0);
        EXPECT_EQ(last, again.back());
        EXPECT_EQ(driver.getContainer(static_cast<int>(c.expected.size()), last), -1102);
        EXPECT_EQ(last, nullptr);
        EXPECT_EQ(driver.getLastError(), -1102);
        EXPECT_EQ(driver.getContainer(-1, last), -1102);
    }
}

// The kept list: read once, copied out after; getContainer reads when nothing was read and
// replaces what it read before.
TEST_F(ContainersTest, TheSessionKeepsOneList) {
    plugGeneration(cardsim::Personality::Varnel1);
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    std::shared_ptr<GC_Container> container;
    ASSERT_EQ(session->getContainer(3, container, false), 0);
    EXPECT_EQ(container->label, "Varnel 1.0 test card (Qualified)");
    ASSERT_EQ(session->getContainer(5, container, true), 0);
    EXPECT_EQ(container->label, "eMRTD");
    EXPECT_EQ(session->getContainer(6, container, false), -1102) << "read twice, listed once";
    EXPECT_EQ(container, nullptr);
    Containers list;
    EXPECT_EQ(session->loadContainers(list, false), -1101) << "getContainer does not count as read";

    ASSERT_EQ(session->getContainers(list, false), 0);
    ASSERT_EQ(list.size(), 6u);
    size_t mark = logMark();
    Containers copy;
    ASSERT_EQ(session->getContainers(copy, false), 0);
    EXPECT_EQ(copy, list);
    ASSERT_EQ(session->getContainer(1, container, false), 0);
    EXPECT_EQ(container, list[1]);
    EXPECT_TRUE(sentSince(mark).empty()) << "kept: the card is not asked";

    // Loading reads each container once; force reads again.
    mark = logMark();
    ASSERT_EQ(session->loadContainers(list, false), 0);
    EXPECT_GT(sentSince(mark).size(), 0u);
    mark = logMark();
    ASSERT_EQ(session->loadContainers(list, false), 0);
    EXPECT_TRUE(sentSince(mark).empty());
    ASSERT_EQ(session->loadContainers(list, true), 0);
    EXPECT_GT(sentSince(mark).size(), 0u);
}

// The list's own single repetition: the card answers the READ BINARY of the first generation's
// TokenInfo with 69 88 in plain three times, the first read and both of the read's own
// repetitions, so that only the list read once more (on a channel reopened once more) recovers it.
TEST_F(ContainersTest, AReadThatFailsPastItsOwnRepetitionsIsRepeatedWithTheList) {
    gctest::HubCompanion link;  // keeps EF.CardAccess: no PACE run reads it from the card
    plugGeneration(cardsim::Personality::Varnel1);
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    const size_t mark = logMark();
    card->answerStatus({.ins = 0xB0}, 0x6988, 3, true);
    Containers list;
    ASSERT_EQ(session->getContainers(list, false), 0);
    expectDiscovered(list, varnel1Containers());
    const auto sent = receivedSince(*card, mark);
    size_t refused = 0;
    for (const Received& r : sent) refused += r.command.rfind("00B0", 0) == 0 && r.response == "6988" ? 1 : 0;
    EXPECT_EQ(refused, 3u);
    EXPECT_EQ(countPrefix(sent, "0022C1A412800A04007F00070202040202830102"), 3u)
        << "two for the read's repetitions, one for the list's";
    EXPECT_EQ(session->retransmitCount(), 0);
}

}  // namespace
}  // namespace session_test
