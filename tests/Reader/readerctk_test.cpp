#include "Reader/readerctk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ctk_memory.h"
#include "support/fake_card.h"

namespace {

using Bytes = std::vector<unsigned char>;
using gctest::FakeCard;
using gctest::kVarnel10Atr;
using gctest::kVarnel20Atr;

class ReaderCtkTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = std::make_shared<ctk::mem::SlotManager>();
        ctk::SlotManager::setDefaultManager(manager);
    }

    void TearDown() override {
        // Leave an empty registry behind for the next test.
        ctk::SlotManager::setDefaultManager(std::make_shared<ctk::mem::SlotManager>());
        GC_ReaderCTK().detectReaderChanges();
        ctk::SlotManager::resetDefaultManager();
    }

    std::shared_ptr<FakeCard> insert(const std::string& slot, const Bytes& atr, FakeCard::Answer answer = nullptr,
                                     ctk::SlotState state = ctk::SlotState::ValidCard) {
        manager->addSlot(slot);
        auto card = std::make_shared<FakeCard>(atr, std::move(answer));
        manager->insertCard(slot, card, state);
        return card;
    }

    // A reader bound to `slot` with its card object made.
    std::unique_ptr<GC_ReaderCTK> openReader(const std::string& slot) {
        auto reader = std::make_unique<GC_ReaderCTK>();
        reader->getReadersList(false);
        EXPECT_EQ(reader->init(slot), 0);
        EXPECT_EQ(reader->initCard(true, nullptr), 0);
        return reader;
    }

    std::shared_ptr<ctk::mem::SlotManager> manager;
};

std::vector<std::string> asVector(const std::list<std::string>& names) {
    return {names.begin(), names.end()};
}

TEST_F(ReaderCtkTest, NoSlotManagerGivesFailureAndEmptyList) {
    ctk::SlotManager::setDefaultManager(nullptr);
    GC_ReaderCTK reader;
    EXPECT_EQ(reader.detectReaderChanges(), -1);
    EXPECT_TRUE(reader.getReadersList(false).empty());
}

TEST_F(ReaderCtkTest, ReaderListFollowsSlotChanges) {
    GC_ReaderCTK reader;
    manager->addSlot("Slot A");
    manager->addSlot("Slot B");
    EXPECT_EQ(asVector(reader.getReadersList(false)), (std::vector<std::string>{"Slot A", "Slot B"}));

    manager->removeSlot("Slot A");
    manager->addSlot("Slot C");
    EXPECT_EQ(asVector(reader.getReadersList(false)), (std::vector<std::string>{"Slot B", "Slot C"}));
    EXPECT_EQ(reader.findReader("Slot A"), nullptr);

    manager->addSlot("Slot A");
    EXPECT_EQ(asVector(reader.getReadersList(false)), (std::vector<std::string>{"Slot B", "Slot C", "Slot A"}));
}

TEST_F(ReaderCtkTest, SupportedOnlyMatchesExactAtr) {
    Bytes oneByteOff = kVarnel10Atr;
    oneByteOff.back() ^= 0x01;
    Bytes longer = kVarnel20Atr;
    longer.push_back(0x00);
    Bytes shorter(kVarnel20Atr.begin(), kVarnel20Atr.end() - 1);

    insert("v1", kVarnel10Atr);
    insert("v2", kVarnel20Atr);
    insert("off by one byte", oneByteOff);
    insert("longer", longer);
    insert("shorter", shorter);
    insert("mute", kVarnel10Atr, nullptr, ctk::SlotState::MuteCard);
    manager->addSlot("empty");

    GC_ReaderCTK reader;
    EXPECT_EQ(asVector(reader.getReadersList(true)), (std::vector<std::string>{"v1", "v2"}));
    EXPECT_EQ(reader.getReadersList(false).size(), 7u);
}

TEST_F(ReaderCtkTest, InitAndStateCodes) {
    manager->addSlot("Slot A");
    GC_ReaderCTK reader;
    EXPECT_EQ(reader.init("Slot A"), -17) << "not listed yet: init does not refresh";
    reader.getReadersList(false);
    EXPECT_EQ(reader.init(""), -16);
    EXPECT_EQ(reader.getReaderName(), "");
    EXPECT_EQ(reader.init("Slot Z"), -17);
    EXPECT_EQ(reader.init("Slot A"), 0);
    EXPECT_EQ(reader.getReaderName(), "Slot A");

    int status = 0x7F00 | 3;
    EXPECT_EQ(reader.state(status, 100), 0);
    EXPECT_EQ(status, 0x7F00 | 2);

    manager->removeSlot("Slot A");
    reader.getReadersList(false);
    status = 0x7F00;
    EXPECT_EQ(reader.state(status, 100), -17);
    EXPECT_EQ(status, 0x7F00 | 1);
}

TEST_F(ReaderCtkTest, LockNeedsCardObjectThenBeginsSession) {
    insert("Slot A", kVarnel20Atr);
    GC_ReaderCTK reader;
    reader.getReadersList(false);
    ASSERT_EQ(reader.init("Slot A"), 0);
    EXPECT_EQ(reader.lock(), -3) << "no card object before initCard";
    EXPECT_EQ(reader.unlock(), -3);
    Bytes response;
    EXPECT_EQ(reader.sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), -3);

    ASSERT_EQ(reader.initCard(true, nullptr), 0);
    EXPECT_FALSE(reader.isLocked());
    EXPECT_EQ(reader.lock(), 0) << "a fresh card object has its context set";
    EXPECT_TRUE(reader.isLocked());
    EXPECT_EQ(manager->sessionsBegun("Slot A"), 1);
    EXPECT_EQ(reader.unlock(), 0);
    EXPECT_FALSE(reader.isLocked());
}

TEST_F(ReaderCtkTest, ResetGivesMinus25ThenNextLockWorks) {
    auto card = insert("Slot A", kVarnel20Atr);
    auto reader = openReader("Slot A");
    ASSERT_EQ(reader->lock(), 0);
    ASSERT_EQ(reader->unlock(), 0);

    manager->resetCard("Slot A");
    EXPECT_EQ(card->resets(), 1);
    EXPECT_EQ(reader->lock(), -25);
    EXPECT_FALSE(reader->isLocked());
    EXPECT_EQ(reader->lock(), 0);
    EXPECT_TRUE(reader->isLocked());
    EXPECT_EQ(manager->sessionsBegun("Slot A"), 2);
}

TEST_F(ReaderCtkTest, SessionErrorsAreConverted) {
    insert("Slot A", kVarnel20Atr);
    auto reader = openReader("Slot A");
    manager->failSessions("Slot A", ctk::error::kCanceledByUser);
    EXPECT_EQ(reader->lock(), -13);
    EXPECT_FALSE(reader->isLocked());
    EXPECT_EQ(reader->lock(), 0);
}

TEST_F(ReaderCtkTest, TransmitSuccessAndFailures) {
    auto card = insert("Slot A", kVarnel20Atr, [](const Bytes& apdu) {
        if (apdu.size() >= 2 && apdu[1] == 0xB0) return Bytes{0x01, 0x02, 0x03, 0x90, 0x00};
        if (apdu.size() >= 2 && apdu[1] == 0xEE) return Bytes{0x90};  // no full status word
        return Bytes{0x90, 0x00};
    });
    auto reader = openReader("Slot A");
    ASSERT_EQ(reader->lock(), 0);

    Bytes response;
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, response, 0), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(reader->sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x03}, response, 3), 0);
    EXPECT_EQ(response, (Bytes{0x01, 0x02, 0x03, 0x90, 0x00}));

    // A failed transmission empties the response, whatever the platform error was.
    for (long code : {ctk::error::kCommunicationError, ctk::error::kTokenNotFound, ctk::error::kCorruptedData}) {
        manager->failTransmissions("Slot A", code);
        response = {0xAA, 0xBB};
        EXPECT_EQ(reader->sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x03}, response, 0), -6) << code;
        EXPECT_TRUE(response.empty()) << code;
    }

    response = {0xAA};
    EXPECT_EQ(reader->sendAPDU({0x00, 0xEE, 0x00, 0x00}, response, 0), -6) << "answer without a status word";
    EXPECT_TRUE(response.empty());

    size_t sent = card->commands().size();
    response = {0xAA};
    EXPECT_EQ(reader->sendAPDU({}, response, 0), -6);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(card->commands().size(), sent) << "an empty APDU is not transmitted";
}

TEST_F(ReaderCtkTest, VanishedSlotGivesNotInitialisedAndNotFound) {
    insert("Slot A", kVarnel20Atr);
    auto reader = openReader("Slot A");
    manager->removeSlot("Slot A");
    reader->getReadersList(false);

    Bytes response, atr;
    int status = 0;
    EXPECT_EQ(reader->lock(), -3);
    EXPECT_EQ(reader->unlock(), -3);
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), -3);
    EXPECT_EQ(reader->initCard(true, nullptr), -3);
    EXPECT_EQ(reader->state(status, 100), -17);
    EXPECT_EQ(reader->getCardATR(atr), -17);
    EXPECT_FALSE(reader->isLocked());

    // It comes back as a new record without a card object.
    insert("Slot A", kVarnel20Atr);
    reader->getReadersList(false);
    EXPECT_EQ(reader->lock(), -3);
    EXPECT_EQ(reader->initCard(true, nullptr), 0);
    EXPECT_EQ(reader->lock(), 0);
}

TEST_F(ReaderCtkTest, NewInsertionNeedsNewCardObject) {
    insert("Slot A", kVarnel20Atr);
    auto reader = openReader("Slot A");
    manager->removeCard("Slot A");
    Bytes response;
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), -6) << "the old card object is invalid";
    EXPECT_EQ(reader->initCard(true, nullptr), -12) << "no card to make a new object from";

    auto second = std::make_shared<FakeCard>(kVarnel10Atr);
    manager->insertCard("Slot A", second);
    EXPECT_EQ(reader->initCard(true, nullptr), 0);
    EXPECT_EQ(reader->lock(), 0);
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), 0);
    EXPECT_EQ(second->commands().size(), 1u);
}

TEST_F(ReaderCtkTest, CardAtrIsAskedAnew) {
    insert("Slot A", kVarnel20Atr);
    auto reader = openReader("Slot A");
    Bytes atr;
    EXPECT_EQ(reader->getCardATR(atr), 0);
    EXPECT_EQ(atr, kVarnel20Atr);

    manager->insertCard("Slot A", std::make_shared<FakeCard>(kVarnel10Atr));
    EXPECT_EQ(reader->getCardATR(atr), 0) << "no refresh in between";
    EXPECT_EQ(atr, kVarnel10Atr);

    manager->removeCard("Slot A");
    atr = {0x01};
    EXPECT_EQ(reader->getCardATR(atr), 0);
    EXPECT_TRUE(atr.empty());
}

TEST_F(ReaderCtkTest, StructuredSendTakesTheApduApart) {
    auto card = insert("Slot A", kVarnel20Atr, [](const Bytes&) { return Bytes{0x01, 0x90, 0x00}; });
    auto reader = openReader("Slot A");
    auto record = reader->findReader("Slot A");
    ASSERT_NE(record, nullptr);

    struct Case {
        Bytes apdu;
        Bytes sent;
    };
    // clang-format off
    const std::vector<Case> cases{
        {{0x00, 0xA4, 0x04, 0x00}, {0x00, 0xA4, 0x04, 0x00}},              // header only
        {{0x00, 0xB0, 0x00, 0x00, 0x10}, {0x00, 0xB0, 0x00, 0x00, 0x10}},  // Le only
        {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}},
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}},
        // Short form that fits neither Lc + 5 nor Lc + 6: Le 2000, sent as extended Le 0.
        {{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00}},
        // Extended form with two Le bytes (256): sent with extended length and Le 0 (the maximum).
        {{0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x01, 0x00}, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x00}},
        // Extended form with Le 255 in two bytes: short form fits.
        {{0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0xFF}, {0x00, 0xB0, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0xFF}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes response;
        EXPECT_EQ(reader->sendAPDU_without_sema(record, c.apdu, response, 0), 0);
        EXPECT_EQ(card->commands().back(), c.sent);
        EXPECT_EQ(response, (Bytes{0x01, 0x90, 0x00}));
    }
    Bytes response;
    EXPECT_EQ(reader->sendAPDU_without_sema(record, {0x00, 0xA4, 0x00}, response, 0), -6);
    size_t sent = card->commands().size();
    EXPECT_EQ(
        reader->sendAPDU_without_sema(record, {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x02}, response, 0), -6)
        << "extended Lc beyond the APDU";
    EXPECT_EQ(reader->sendAPDU_without_sema(record, {0x00, 0xD6, 0x00, 0x00, 0x05, 0x01, 0x02}, response, 0), -6)
        << "short Lc beyond the APDU";
    EXPECT_EQ(card->commands().size(), sent);
}

// Two readers used from two threads at once: each transmission waits for its own reply, and no
// answer reaches the other reader.
TEST_F(ReaderCtkTest, TwoReadersTransmitConcurrently) {
    auto answer = [](unsigned char id) {
        return [id](const Bytes& apdu) {
            std::this_thread::yield();
            Bytes r(apdu.begin() + 5, apdu.end());
            r.push_back(id);
            r.push_back(0x90);
            r.push_back(0x00);
            return r;
        };
    };
    insert("Slot A", kVarnel20Atr, answer(0xA1));
    insert("Slot B", kVarnel10Atr, answer(0xB2));
    auto a = openReader("Slot A");
    auto b = openReader("Slot B");
    std::atomic<int> mismatches{0};
    auto run = [&](GC_ReaderCTK& reader, unsigned char id) {
        if (reader.lock() != 0) ++mismatches;
        for (int i = 0; i < 300; ++i) {
            Bytes apdu{0x00, 0xD6, 0x00, 0x00, 0x02, static_cast<unsigned char>(i), id};
            Bytes response;
            if (reader.sendAPDU(apdu, response, 0) != 0 ||
                response != Bytes{static_cast<unsigned char>(i), id, id, 0x90, 0x00})
                ++mismatches;
        }
        reader.unlock();
    };
    std::thread ta(run, std::ref(*a), 0xA1);
    std::thread tb(run, std::ref(*b), 0xB2);
    ta.join();
    tb.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
