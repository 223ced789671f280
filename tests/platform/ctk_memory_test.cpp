#include "platform/ctk_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/ctk_queue.h"
#include "support/fake_card.h"

namespace {

using Bytes = std::vector<unsigned char>;
using gctest::FakeCard;

struct Fixture {
    Fixture() {
        manager->addSlot("Slot");
        manager->insertCard("Slot", card);
    }
    std::shared_ptr<ctk::SmartCard> makeCard() {
        std::promise<std::shared_ptr<ctk::Slot>> found;
        manager->getSlotWithName("Slot", [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
        auto slot = found.get_future().get();
        return slot ? slot->makeSmartCard() : nullptr;
    }
    std::shared_ptr<ctk::mem::SlotManager> manager = std::make_shared<ctk::mem::SlotManager>();
    std::shared_ptr<FakeCard> card = std::make_shared<FakeCard>(Bytes{0x3B, 0x00});
};

TEST(CtkMemory, RepliesComeOnceOnAnotherThread) {
    Fixture f;
    auto card = f.makeCard();
    ASSERT_NE(card, nullptr);
    const auto caller = std::this_thread::get_id();

    std::atomic<int> calls{0};
    std::promise<std::thread::id> sessionThread;
    card->beginSession([&](bool ok, std::optional<ctk::Error> error) {
        EXPECT_TRUE(ok);
        EXPECT_FALSE(error);
        ++calls;
        sessionThread.set_value(std::this_thread::get_id());
    });
    EXPECT_NE(sessionThread.get_future().get(), caller);

    std::promise<Bytes> answer;
    card->transmitRequest({0x00, 0xA4, 0x00, 0x0C}, [&](std::optional<Bytes> r, std::optional<ctk::Error>) {
        ++calls;
        EXPECT_NE(std::this_thread::get_id(), caller);
        answer.set_value(r.value_or(Bytes{}));
    });
    EXPECT_EQ(answer.get_future().get(), (Bytes{0x90, 0x00}));

    std::promise<void> lookedUp;
    f.manager->getSlotWithName("no such slot", [&](std::shared_ptr<ctk::Slot> slot) {
        EXPECT_EQ(slot, nullptr);
        EXPECT_NE(std::this_thread::get_id(), caller);
        ++calls;
        lookedUp.set_value();
    });
    lookedUp.get_future().get();
    card.reset();
    f.manager.reset();
    EXPECT_EQ(calls.load(), 3);
}

TEST(CtkMemory, CardObjectBelongsToOneInsertion) {
    Fixture f;
    auto card = f.makeCard();
    ASSERT_NE(card, nullptr);
    EXPECT_TRUE(card->valid());
    ASSERT_NE(card->slot(), nullptr);
    EXPECT_EQ(card->slot()->name(), "Slot");
    f.manager->removeCard("Slot");
    EXPECT_FALSE(card->valid());
    f.manager->insertCard("Slot", std::make_shared<FakeCard>(Bytes{0x3B, 0x01}));
    EXPECT_FALSE(card->valid()) << "a new insertion is another card";

    std::promise<std::optional<ctk::Error>> failed;
    card->transmitRequest({0x00, 0xA4, 0x00, 0x0C}, [&](std::optional<Bytes> r, std::optional<ctk::Error> e) {
        EXPECT_FALSE(r);
        failed.set_value(e);
    });
    auto error = failed.get_future().get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ctk::error::kTokenNotFound);
    EXPECT_TRUE(f.makeCard()->valid());
}

TEST(CtkMemory, ResetClearsContext) {
    Fixture f;
    auto card = f.makeCard();
    EXPECT_FALSE(card->context().has_value());
    card->setContext(true);
    EXPECT_TRUE(card->context().has_value());
    f.manager->resetCard("Slot");
    EXPECT_FALSE(card->context().has_value());
    card->setContext(true);
    EXPECT_TRUE(card->context().has_value()) << "cleared once per reset";
    EXPECT_EQ(f.card->resets(), 1);
}

TEST(CtkMemory, StructuredSendBuildsTheApdu) {
    Fixture f;
    auto card = f.makeCard();
    struct Case {
        bool extended;
        std::optional<Bytes> data;
        std::optional<unsigned long> le;
        Bytes expected;
    };
    const Bytes two{0xAA, 0xBB};
    const Bytes big(300, 0x11);
    Bytes bigApdu{0x80, 0xD6, 0x01, 0x02, 0x00, 0x01, 0x2C};
    bigApdu.resize(bigApdu.size() + big.size(), 0x11);
    const std::vector<Case> cases{
        {false, std::nullopt, std::nullopt, {0x80, 0xD6, 0x01, 0x02}},
        {false, std::nullopt, 0, {0x80, 0xD6, 0x01, 0x02, 0x00}},
        {false, two, 16, {0x80, 0xD6, 0x01, 0x02, 0x02, 0xAA, 0xBB, 0x10}},
        {true, std::nullopt, 0, {0x80, 0xD6, 0x01, 0x02, 0x00, 0x00, 0x00}},
        {true, two, 0x1234, {0x80, 0xD6, 0x01, 0x02, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x12, 0x34}},
        {true, two, std::nullopt, {0x80, 0xD6, 0x01, 0x02, 0x02, 0xAA, 0xBB}},  // fits the short form
        {true, big, std::nullopt, bigApdu},
    };
    card->setCla(0x80);
    for (const Case& c : cases) {
        card->setUseExtendedLength(c.extended);
        unsigned short sw = 0;
        std::optional<ctk::Error> error;
        auto data = card->sendIns(0xD6, 0x01, 0x02, c.data, c.le, sw, error);
        ASSERT_TRUE(data);
        EXPECT_TRUE(data->empty());
        EXPECT_EQ(sw, 0x9000);
        EXPECT_EQ(f.card->commands().back(), c.expected);
    }
    card->setUseExtendedLength(false);
    unsigned short sw = 0;
    std::optional<ctk::Error> error;
    EXPECT_FALSE(card->sendIns(0xD6, 0, 0, big, std::nullopt, sw, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ctk::error::kBadParameter);
}

TEST(CtkQueue, DestructionRunsEveryQueuedTask) {
    std::atomic<int> ran{0};
    {
        ctk::SerialQueue queue;
        for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 100);
}

TEST(CtkQueue, LastOwnerMayGoOnTheWorker) {
    auto queue = std::make_shared<ctk::SerialQueue>();
    std::promise<void> done;
    std::atomic<bool> onWorker{false};
    auto* raw = queue.get();
    raw->async([&, q = std::move(queue)]() mutable {
        onWorker = q->onWorker();
        q.reset();  // the queue is destroyed on its own worker
        done.set_value();
    });
    done.get_future().get();
    EXPECT_TRUE(onWorker.load());
}

}  // namespace
