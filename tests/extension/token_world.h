#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "extension/token.h"
#include "extension/token_driver.h"
#include "platform/ctk_memory.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/notification_hub.h"
#include "support/fake_card.h"
#include "support/fake_card_driver.h"
#include "support/notification_collector.h"

namespace gctest {

using Message = std::map<std::string, std::string>;

// The extension in process: the token driver over the fake card library, the platform's
// in-memory slots, and a notification hub with the extension's centre as the process default and
// a second client that plays the companion application (it listens on "App" and "Can").
struct TokenWorld {
    TokenWorld() {
        plat::NotificationCenter::setDefaultCenter(extensionCenter);
        companion->addObserver("App", replies.callback());
        companion->addObserver("Can", progress.callback());
        companion->addObserver("Fence", fences.callback());
    }
    ~TokenWorld() {
        plat::Dispatch::waitIdle();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    // A card in a new slot of that name, and the platform's card object for it.
    std::shared_ptr<ctk::SmartCard> insertCard(const std::string& reader) {
        slots->addSlot(reader);
        slots->insertCard(reader, std::make_shared<FakeCard>(kVarnel20Atr));
        std::promise<std::shared_ptr<ctk::Slot>> found;
        slots->getSlotWithName(reader, [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
        std::shared_ptr<ctk::Slot> slot = found.get_future().get();
        return slot ? slot->makeSmartCard() : nullptr;
    }

    // The platform's token request for a card in a new slot.
    std::shared_ptr<Token> createToken(const std::string& reader = "Reader A") {
        std::shared_ptr<ctk::SmartCardToken> token = driver->createTokenForSmartCard(insertCard(reader), {}, nullptr);
        return std::static_pointer_cast<Token>(token);
    }

    // Posts a companion message on "Ctk".
    void post(const std::string& text) { ASSERT_TRUE(companion->postNotification("Ctk", text)); }
    void post(std::initializer_list<plat::json::TextMember> message) { post(*plat::json::writeObjectTexts(message)); }

    // Returns once everything the extension did for the messages posted so far is done: their
    // delivery (the hub delivers in posting order, so a fence the companion posts after them
    // comes back only after them), the replies posted meanwhile, and the background CAN checks.
    void settle() {
        for (int round = 0; round < 2; ++round) {
            const size_t seen = fences.received().size();
            ASSERT_TRUE(companion->postNotification("Fence", std::nullopt));
            ASSERT_EQ(fences.waitFor(seen + 1).size(), seen + 1);
            plat::Dispatch::waitIdle();
        }
    }

    // The replies on "App" so far, parsed.
    std::vector<Message> appMessages() { return parse(replies.received()); }
    std::vector<Message> canMessages() { return parse(progress.received()); }

    static std::vector<Message> parse(const std::vector<plat::Notification>& notifications) {
        std::vector<Message> out;
        for (const plat::Notification& n : notifications) {
            std::optional<plat::json::StringObject> entries = plat::json::parseStringObject(n.object.value_or(""));
            out.emplace_back();
            if (entries) out.back() = Message(entries->begin(), entries->end());
        }
        return out;
    }

    // A CAN check by the companion, answered on "App": the value of "canResult".
    std::string checkCan(const std::string& can, const std::string& reader = "Reader A") {
        const size_t before = replies.received().size();
        post({{"from", "App"}, {"checkCan", can}, {"rid", reader}});
        const std::vector<plat::Notification> got = replies.waitFor(before + 1, std::chrono::seconds(10));
        if (got.size() <= before) return "(no answer)";
        return parse({got[before]}).front()["canResult"];
    }

    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> extensionCenter = hub.connect();
    std::shared_ptr<plat::NotificationCenter> companion = hub.connect();
    NotificationCollector replies, progress, fences;
    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    std::shared_ptr<FakeCardLibrary> library = std::make_shared<FakeCardLibrary>();
    std::shared_ptr<FakeCardDriver> card = library->driver();
    std::shared_ptr<TokenDriver> driver = std::make_shared<TokenDriver>(library);
};

}  // namespace gctest
