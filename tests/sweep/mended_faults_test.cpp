// The faults the sweep found, one test each at the command where it showed: a reset between two
// reads of the card, a damaged EF.CardAccess kept by the companion, a PIN sent in plain after a
// reset or with the channel closed, key material a failed generation left on the card, a key
// creation whose answer arrived damaged, a damaged answer that reads as a chain, a container
// whose reading failed; and the layout's records over many readings of the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "Data/Container/container.h"
#include "Data/Objects/dataobject.h"
#include "Data/datapkcs15.h"
#include "driver_world.h"
#include "token_road.h"

namespace sweep {
namespace {

using cardsim::Personality;

const Generation& generation(Personality personality) {
    for (const Generation& g : generations())
        if (g.personality == personality) return g;
    return generations().front();
}

// The items a fault-free road publishes.
std::vector<Item> referenceItems(Personality personality) {
    RoadWorld clean(generation(personality));
    return clean.road().items;
}

// The index among the commands of a fault-free road of the first command `is` takes.
size_t roadCommand(Personality personality, const std::function<bool(const cardsim::LogEntry&)>& is) {
    RoadWorld world(generation(personality));
    EXPECT_EQ(world.road().canResult, "SUCCESS");
    size_t index = 0;
    for (const cardsim::LogEntry& entry : world.card().log()) {
        if (entry.kind != cardsim::LogEntry::Kind::Command) continue;
        if (is(entry)) return index;
        ++index;
    }
    ADD_FAILURE() << "no such command";
    return 0;
}

// What the card saw since its log entry `mark`: C for a channel opened (MSE:SET AT), P for a
// command of a PIN (VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER).
std::string channelsAndPins(const cardsim::CardSim& card, size_t mark) {
    std::string seen;
    const std::vector<cardsim::LogEntry> log = card.log();
    for (size_t i = mark; i < log.size(); ++i) {
        const Bytes& c = log[i].plainCommand;
        if (c.size() < 4) continue;
        if (c[1] == 0x22 && c[2] == 0xC1) seen += 'C';
        if (c[1] == 0x20 || c[1] == 0x24 || c[1] == 0x2C) seen += 'P';
    }
    return seen;
}

size_t channelsSince(const cardsim::CardSim& card, size_t mark) {
    return std::ranges::count(channelsAndPins(card, mark), 'C');
}

// The session and the card controller behind a Driver.
struct DriverView : Driver {
    static GC_Controller& session(Driver& driver) { return driver.*&DriverView::controller; }
};
struct SessionView : GC_Controller {
    static GC_CardController& card(GC_Controller& session) { return *(session.*&SessionView::cardController); }
};

TEST(MendedFaults, AResetBetweenTwoReadsOfTheContainersIsRecovered) {
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        // The second command under the channel: the reading of the containers has begun.
        int secure = 0;
        const size_t index =
            roadCommand(personality, [&](const cardsim::LogEntry& e) { return e.secure && ++secure == 2; });
        const std::vector<Item> reference = referenceItems(personality);
        RoadWorld world(generation(personality));
        world.slot().arm(Fault::ResetByOther, index);
        // The selection that meets the reset reports it, the channel is reopened and the read made again.
        EXPECT_TRUE(world.road().complete(reference, generation(personality).keys.size()));
    }
}

TEST(MendedFaults, ADamagedCardAccessIsNotKeptByTheCompanion) {
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        const size_t index = roadCommand(personality, [](const cardsim::LogEntry& e) {
            return e.command.size() == 5 && e.command[1] == 0xB0 && !e.secure;  // READ BINARY of EF.CardAccess
        });
        const std::vector<Item> reference = referenceItems(personality);
        RoadWorld world(generation(personality));
        world.slot().arm(Fault::FlippedByte, index);
        // The damaged copy offers no protocol: it is dropped and the file read from the card again.
        EXPECT_TRUE(world.road().complete(reference, generation(personality).keys.size()));
        world.reinsert();
        EXPECT_TRUE(world.road().complete(reference, generation(personality).keys.size()));
    }
}

TEST(MendedFaults, NoPinGoesInPlainAfterAReset) {
    // The first generation unblocks with the PUK's VERIFY, then RESET RETRY COUNTER with the new
    // PIN: a reset between the two once sent the new PIN in plain.
    SlotHolder holder(writeCard(Personality::Varnel1));
    DriverWorld world(holder);
    ASSERT_EQ(world.open(), 0);
    const WriteOperation& unblock = writeOperations()[1];
    ASSERT_EQ(unblock.prepare(world), 0);
    const size_t mark = holder.card().log().size();
    holder.arm(Fault::ResetByOther, 1);
    EXPECT_NE(unblock.run(world), 0);
    EXPECT_EQ(pinsInClear(holder.card(), mark), std::vector<std::string>{});
}

// A PIN or PUK never goes to the card in plain: with the channel closed, every command that
// carries one is sent under a reopened channel or not at all (-1701). The card also takes plain
// commands here, so that a PIN sent in plain would reach it and the operation go on. Change and
// unblock reopen the channel themselves, once, and select the PIN's directory again (the card
// keeps a PIN of specific reference to its application): the change goes to the card controller,
// whose session would otherwise hide a card controller that does not reopen by its own retry.
TEST(MendedFaults, NoPinGoesInPlainWithoutTheChannel) {
    auto text = [](const char* s) { return std::vector<uint8_t>(s, s + std::char_traits<char>::length(s)); };
    struct Row {
        const char* name;
        int result;
        const char* seen;  // what the card saw: C a channel opened, P a PIN command (see channelsAndPins)
        std::function<int(DriverWorld&)> prepare;  // before the mark: closes the channel
        std::function<int(DriverWorld&)> run;
    };
    // The first generation's card has no application for the closing SELECT to find: its answer is not asked.
    auto closeChannel = [](DriverWorld& w) {
        w.driver().destroySecureConnection();
        return 0;
    };
    // Verified, the first generation's change sends CHANGE REFERENCE DATA alone, right after the reopen.
    auto afterThePin = [&](DriverWorld& w) {
        if (const int rc = w.driver().verifyPassword(w.container("Qualified"), text("333333"), false); rc != 0)
            return rc;
        return closeChannel(w);
    };
    auto afterThePuk = [&](DriverWorld& w) {
        if (const int rc = w.driver().verifyPassword(w.container("Qualified"), text("12345678"), true); rc != 0)
            return rc;
        return closeChannel(w);
    };
    auto changeQualified = [&](DriverWorld& w) {
        std::shared_ptr<GC_Container> qualified = w.container("Qualified");
        GC_CardController& card = SessionView::card(DriverView::session(w.driver()));
        return card.changePassword(qualified, text("333333"), text("131313"));
    };
    auto unblockQualified = [&](DriverWorld& w) {
        return w.driver().unblockPassword(w.container("Qualified"), text("343434"), true);
    };
    auto unblockOnAFreshDriver = [&](DriverWorld& w) {
        Driver fresh(w.holder().readerName(), GC_CardController::CARD_GENERIC, true, nullptr);
        return fresh.unblockPassword(w.container("Qualified"), text("343434"), true);
    };
    auto neitherWithoutAChannel = [&](DriverWorld& w) {
        w.holder().card().answerStatus({.ins = 0x22, .p1 = 0xC1, .p2 = 0xA4}, 0x6A80, 100);
        const int changed =
            w.driver().changePassword(w.container("Authentication"), text("111111"), text("121212"), false);
        const int unblocked = unblockQualified(w);
        return changed == unblocked ? changed : -2;
    };
    auto nothing = [](DriverWorld&) { return 0; };
    // clang-format off
    const Row rows[] = {
        {.name = "change after the channel closed", .result = 0, .seen = "^CP+$", .prepare = afterThePin, .run = changeQualified},
        {.name = "unblock after the PUK's VERIFY, channel closed", .result = 0, .seen = "^CP+$", .prepare = afterThePuk, .run = unblockQualified},
        {.name = "unblock before any PACE", .result = -1701, .seen = ".*", .prepare = nothing, .run = unblockOnAFreshDriver},
        {.name = "change and unblock when no channel can be opened again", .result = -1701, .seen = "^C*$", .prepare = closeChannel, .run = neitherWithoutAChannel},
    };
    // clang-format on
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(generation(personality).name + std::string(": ") + row.name);
            cardsim::CardConfig config = writeCard(personality);
            config.requireSecureMessaging = false;
            SlotHolder holder(config);
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(row.prepare(world), 0);
            const size_t mark = holder.card().log().size();
            EXPECT_EQ(row.run(world), row.result);
            EXPECT_TRUE(std::regex_match(channelsAndPins(holder.card(), mark), std::regex(row.seen)))
                << channelsAndPins(holder.card(), mark);
            EXPECT_EQ(pinsInClear(holder.card(), mark), std::vector<std::string>{});
        }
    }
}

// A generation the card went away from leaves key material without a directory entry; the next
// generation deletes it and goes through. A generation whose channel went (69 88) takes its key
// back on a reopened channel.
TEST(MendedFaults, KeyMaterialOfAFailedGenerationDoesNotStay) {
    const WriteOperation& generate = writeOperations()[3];
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        cardsim::CardImage before, after;
        {
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(generate.prepare(world), 0);
            before = holder.card().image();
            ASSERT_EQ(generate.run(world), 0);
            after = holder.card().image();
        }
        {
            // Pulled at the third command: the key object exists, nothing is registered.
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(generate.prepare(world), 0);
            holder.arm(Fault::Removal, 3);
            EXPECT_NE(generate.run(world), 0);
            EXPECT_NE(holder.card().image().keys, before.keys);
            ASSERT_EQ(world.reinsert(), 0);
            EXPECT_EQ(generate.run(world), 0);
            EXPECT_EQ(differences(after, holder.card().image()), std::vector<std::string>{});
        }
        {
            // 69 88 to the command after the creation.
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(generate.prepare(world), 0);
            holder.arm(Fault::Plain6988, 2);
            EXPECT_NE(generate.run(world), 0);
            EXPECT_EQ(differences(before, holder.card().image()), std::vector<std::string>{});
        }
    }
}

// A key creation whose answer arrived damaged (a byte inverted, or half of it) may have been
// made: the first generation's private half and the second generation's key object are taken back,
// and the card is as before the generation.
TEST(MendedFaults, AKeyCreationWithADamagedAnswerIsTakenBack) {
    const WriteOperation& generate = writeOperations()[3];
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        // The creation's index among the generation's commands: the first generation creates the
        // private half first (00 E1), the second the key object (80 E0).
        const uint8_t create = personality == Personality::Varnel1 ? 0xE1 : 0xE0;
        size_t index = 0;
        {
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(generate.prepare(world), 0);
            const size_t mark = holder.card().log().size();
            ASSERT_EQ(generate.run(world), 0);
            const auto log = holder.card().log();
            size_t commands = 0;
            bool found = false;
            for (size_t i = mark; i < log.size() && !found; ++i) {
                if (log[i].kind != cardsim::LogEntry::Kind::Command) continue;
                found = log[i].plainCommand.size() > 1 && log[i].plainCommand[1] == create;
                if (!found) ++commands;
            }
            ASSERT_TRUE(found);
            index = commands;
        }
        for (Fault fault : {Fault::FlippedByte, Fault::Truncated}) {
            SCOPED_TRACE(faultName(fault));
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(generate.prepare(world), 0);
            const cardsim::CardImage before = holder.card().image();
            holder.arm(fault, index);
            EXPECT_NE(generate.run(world), 0);
            EXPECT_EQ(differences(before, holder.card().image()), std::vector<std::string>{});
        }
    }
}

// A damaged answer whose half that arrived ends in 61 xx reads as the first part of a chain; the
// plain GET RESPONSE that follows it makes the card refuse and drop the channel, after it carried
// the command out. The public key's directory entry written so is put back on a reopened channel,
// and the generation leaves the card as before; the PIN change made so is not made again with the
// old PIN (a wrong try) on a reopened channel.
TEST(MendedFaults, ADamagedAnswerThatReadsAsAChain) {
    struct Row {
        const char* name;
        const WriteOperation& operation;
        uint8_t ins;  // the damaged answer is to the `nth` command of this INS
        int nth;
        bool leavesCardDone;  // the card as after a fault-free run, else as before
    };
    const Row rows[] = {
        {.name = "generate key pair, the public key's entry",
         .operation = writeOperations()[3],
         .ins = 0xD6,
         .nth = 2,
         .leavesCardDone = false},
        {.name = "change PIN, the change",
         .operation = writeOperations()[0],
         .ins = 0x24,
         .nth = 1,
         .leavesCardDone = true},
    };
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(generation(personality).name + std::string(": ") + row.name);
            cardsim::CardImage before, after;
            size_t index = 0;
            {
                SlotHolder holder(writeCard(personality));
                DriverWorld world(holder);
                ASSERT_EQ(world.open(), 0);
                ASSERT_EQ(row.operation.prepare(world), 0);
                before = holder.card().image();
                const size_t mark = holder.card().log().size();
                ASSERT_EQ(row.operation.run(world), 0);
                after = holder.card().image();
                const auto log = holder.card().log();
                int seen = 0;
                for (size_t i = mark, commands = 0; i < log.size() && seen < row.nth; ++i) {
                    if (log[i].kind != cardsim::LogEntry::Kind::Command) continue;
                    seen += log[i].plainCommand.size() > 1 && log[i].plainCommand[1] == row.ins;
                    index = commands++;
                }
                ASSERT_EQ(seen, row.nth);
            }
            SlotHolder holder(writeCard(personality));
            DriverWorld world(holder);
            ASSERT_EQ(world.open(), 0);
            ASSERT_EQ(row.operation.prepare(world), 0);
            holder.card().faultAnswer(cardsim::AnswerFault::HalfAsChain, index);
            EXPECT_NE(row.operation.run(world), 0);
            EXPECT_EQ(differences(row.leavesCardDone ? after : before, holder.card().image()),
                      std::vector<std::string>{});
        }
    }
}

// The first generation's travel-document container loaded on its own, its protected READs
// refused (69 82): a container whose reading failed is read again once the session has reopened
// the channel, and is loaded only when its contents were read; a refusal that stays is the
// answer after a bounded number of channels, not one per refusal.
TEST(MendedFaults, AContainerThatFailedToLoadIsReadAgainOnce) {
    struct Case {
        const char* what;
        int refusals;
        int result;
        int loaded;  // of its four data objects
    } cases[] = {
        // Three: the READ and the two repetitions of the read's own recovery.
        {.what = "refused until the session reopens the channel", .refusals = 3, .result = 0, .loaded = 4},
        {.what = "refused for good", .refusals = 2000, .result = -1701, .loaded = 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SlotHolder holder(writeCard(Personality::Varnel1));
        Driver driver(holder.readerName(), GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver.performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2), 0);
        std::vector<std::shared_ptr<GC_Container>> all;
        ASSERT_EQ(driver.getContainers(all, true), 0);
        std::vector<std::shared_ptr<GC_Container>> travelDocument{all.back()};
        ASSERT_EQ(travelDocument[0]->label, "eMRTD");
        const size_t mark = holder.card().log().size();
        holder.card().answerStatus({.ins = 0xB0, .secureOnly = true}, 0x6982, c.refusals);

        EXPECT_EQ(driver.loadContainers(travelDocument, false), c.result);
        std::vector<GC_Object*> objects;
        travelDocument[0]->getObjects(objects);
        ASSERT_EQ(objects.size(), 4u);
        int loaded = 0;
        for (GC_Object* object : objects) loaded += static_cast<GC_DataObject*>(object)->loaded;
        EXPECT_EQ(loaded, c.loaded);
        EXPECT_EQ(travelDocument[0]->objectsLoaded, c.result == 0 ? 1 : 0);
        EXPECT_LT(channelsSince(holder.card(), mark), 20u);
    }
}

// A card that refuses every protected READ (69 82) while PACE still works: the reading of its
// containers ends in the refusal after a bounded number of channels; recoveries nested in a
// recovery (a read inside the reading of a whole TLV, the reads of the container list) never
// start the count over.
TEST(MendedFaults, ARefusalThatStaysEndsTheReadingOfTheCard) {
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        SlotHolder holder(writeCard(personality));
        Driver driver(holder.readerName(), GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver.performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2), 0);
        const size_t mark = holder.card().log().size();
        holder.card().answerStatus({.ins = 0xB0, .secureOnly = true}, 0x6982, 100000);
        // A reading that would go on without end meets a pulled card after 400 commands (some
        // 30 channels): it fails here at once, not by the stack after minutes.
        holder.arm(Fault::Removal, 400);
        std::vector<std::shared_ptr<GC_Container>> all;
        EXPECT_EQ(driver.getContainers(all, true), -1701);
        EXPECT_LT(channelsSince(holder.card(), mark), 20u);
    }
}

// The PKCS#15 layout behind a Driver, reached as its card controller and layout hold it.
struct CardView : GC_CardController {
    static GC_Data* layout(GC_CardController& card) { return (card.*&CardView::data).get(); }
};
struct LayoutView : GC_DataPKCS15 {
    // Application records and the objects they hold.
    static size_t records(GC_DataPKCS15& layout) {
        size_t count = 0;
        for (const auto& app : layout.*&LayoutView::applications) count += 1 + layout.getAllObjects(app.get()).size();
        return count;
    }
};

// Every CAN check reads the card again: the layout keeps the records of the newest reading only,
// while the containers of the reading before (the token's until the new list replaces them) keep
// theirs and stay readable.
TEST(MendedFaults, RepeatedCanChecksKeepOneReadingOfTheCard) {
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generation(personality).name);
        SlotHolder holder(writeCard(personality));
        Driver driver(holder.readerName(), GC_CardController::CARD_GENERIC, true, nullptr);
        auto* layout = dynamic_cast<GC_DataPKCS15*>(CardView::layout(SessionView::card(DriverView::session(driver))));
        ASSERT_NE(layout, nullptr);
        std::vector<std::shared_ptr<GC_Container>> held;
        size_t afterTwo = 0;
        for (int check = 1; check <= 20; ++check) {
            driver.destroySecureConnection();
            ASSERT_EQ(driver.performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2), 0);
            std::vector<std::shared_ptr<GC_Container>> list;
            ASSERT_EQ(driver.getContainers(list, true), 0);
            ASSERT_EQ(driver.loadContainers(list, false), 0);
            if (!held.empty()) {
                // The reading before stays readable through its containers (ASan sees a freed one).
                ASSERT_NE(held.front()->getPrivateKey(), nullptr);
                EXPECT_EQ(held.front()->getPrivateKey()->label, list.front()->getPrivateKey()->label);
            }
            held = list;
            if (check == 2) afterTwo = LayoutView::records(*layout);
        }
        EXPECT_GT(afterTwo, 0u);
        EXPECT_EQ(LayoutView::records(*layout), afterTwo);
    }
}

}  // namespace
}  // namespace sweep
