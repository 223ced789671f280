// PIN operations of the card session with the two card generations over their secure channel:
// the exact commands each generation sends, what the card's answers make of the container, the
// companion's tries-left entries around every operation, and the PIN state of containers.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Queue/hub_companion.h"
#include "session_fixture.h"
#include "support/hex.h"

namespace session_test {
namespace {

using cardsim::Personality;

Bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

// A container of the signature application whose PIN has this reference and directory.
std::shared_ptr<GC_Container> pinContainer(uint8_t reference, Bytes path, uint64_t minLength, uint64_t maxLength,
                                           uint64_t flags = 0) {
    auto c = std::make_shared<GC_Container>();
    c->pin = std::make_unique<GC_Container::pin_record>();
    c->pin->pinReference = reference;
    c->pin->path = std::move(path);
    c->pin->minLength = minLength;
    c->pin->maxLength = maxLength;
    c->AID = kSignatureAid;
    c->flags = flags | GC_Container::FLAG_ACTIVE;
    c->label = "PIN " + std::to_string(reference);
    return c;
}

// A command as the card understands it under secure messaging, which asks for an answer to
// every command (Le 00).
std::string underChannel(const std::string& command) {
    return command + "00";
}

// A generation's PINs and the commands it builds for them (as they travel under the channel).
struct Generation {
    Personality personality;
    uint8_t pin;  // Authentication
    Bytes pinPath;
    uint8_t puk;
    std::string logout;
    // The commands that end a change from 111111 to 222222 (after the VERIFY of the old PIN on 2.0).
    std::vector<std::string> change;
    // The commands that end an unblock setting 333333, after the PUK was verified.
    std::vector<std::string> unblock;
};

const Generation kGenerations[] = {
    {.personality = Personality::Varnel1,
     .pin = 0x8A,
     .pinPath = {},
     .puk = 0x94,
     .logout = "0020FF8A00",  // with its own trailing 00 (no Le added under the channel)
     .change = {underChannel("0024008A0C" + gctest::hex(text("111111222222")))},
     .unblock = {underChannel("002C028A06" + gctest::hex(text("333333")))}},
    {.personality = Personality::Varnel2,
     .pin = 0x01,
     .pinPath = {0xAD, 0xF1},
     .puk = 0x04,
     .logout = underChannel("00DA0119020001"),
     .change = {underChannel("0020000106" + gctest::hex(text("111111"))),
                underChannel("0024018106" + gctest::hex(text("222222")))},
     .unblock = {underChannel("002C0381"), underChannel("0024018106" + gctest::hex(text("333333")))}},
};

std::string verifyCommand(uint8_t reference, const std::string& pin) {
    return underChannel("002000" + gctest::hex(Bytes{reference, static_cast<unsigned char>(pin.size())}) +
                        gctest::hex(text(pin)));
}

std::vector<std::string> tail(const std::vector<Received>& received, size_t n) {
    std::vector<std::string> out;
    for (size_t i = received.size() > n ? received.size() - n : 0; i < received.size(); ++i)
        out.push_back(received[i].command);
    return out;
}

class PinTest : public SessionTest {
protected:
    // The companion's frames on the PIN's tries-left entry since `from`: "del", and "set n".
    std::vector<std::string> triesFrames(size_t from, uint8_t reference) {
        std::vector<std::string> out;
        const auto frames = link->server.frames();
        const std::string key = "TRIES" + std::to_string(reference);
        for (size_t i = from; i < frames.size(); ++i) {
            if (frames[i].key != key) continue;
            if (frames[i].command == "set")
                out.push_back("set " + std::to_string(link->server.entry(name, key).value_or(Bytes{0xEE}).at(0)));
            else
                out.push_back(frames[i].command);
        }
        return out;
    }
    size_t frameMark() { return link->server.frames().size(); }
    int tries(uint8_t reference) {
        const auto value = link->server.entry(name, "TRIES" + std::to_string(reference));
        return value && value->size() == 1 ? value->at(0) : -1;
    }

    std::unique_ptr<Companion> link = std::make_unique<Companion>();
};

// Verify, logout, change, block and unblock with the PUK on both generations, in the commands each
// generation sends, with the tries left in the container and at the companion after each.
TEST_F(PinTest, EveryPinOperationOnBothGenerations) {
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(cardsim::personalityName(g.personality));
        plug(varnelCard(g.personality));
        auto session = open();
        ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
        auto pin = pinContainer(g.pin, g.pinPath, 6, 8);
        auto puk = pinContainer(g.puk, {}, 8, 8, GC_Container::FLAG_PUK);

        // Right: three tries, verified; the entry is removed before and written after.
        size_t mark = logMark();
        size_t frames = frameMark();
        ASSERT_EQ(session->verifyPassword(pin, text("111111"), false, false), 0);
        auto sent = receivedSince(*card, mark);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().command, verifyCommand(g.pin, "111111"));
        EXPECT_TRUE(sent.back().secure);
        EXPECT_EQ(pin->pin->triesLeft, 3u);
        EXPECT_NE(pin->flags & GC_Container::FLAG_VERIFIED, 0u);
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del", "set 3"}));

        // Logout in the generation's form.
        mark = logMark();
        ASSERT_EQ(session->logoutPassword(pin, false), 0);
        EXPECT_EQ(receivedSince(*card, mark).back().command, g.logout);
        EXPECT_EQ(pin->flags & GC_Container::FLAG_VERIFIED, 0u);
        EXPECT_FALSE(card->pin(g.pin)->verified);

        // Wrong: 63 C2.
        frames = frameMark();
        EXPECT_EQ(session->verifyPassword(pin, text("999999"), false, false), -2305);
        EXPECT_EQ(pin->pin->triesLeft, 2u);
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del", "set 2"}));

        // Change 111111 to 222222: the old PIN verified first, then the generation's change.
        mark = logMark();
        frames = frameMark();
        ASSERT_EQ(session->changePassword(pin, text("111111"), text("222222"), false), 0);
        sent = receivedSince(*card, mark);
        EXPECT_EQ(countPrefix(sent, verifyCommand(g.pin, "111111")), 1u);
        EXPECT_EQ(tail(sent, g.change.size()), g.change);
        EXPECT_EQ(pin->pin->triesLeft, 3u);
        EXPECT_EQ(pin->flags & GC_Container::FLAG_VERIFIED, 0u) << "a change clears the verified flag";
        EXPECT_EQ(tries(g.pin), 3);
        EXPECT_EQ(session->verifyPassword(pin, text("222222"), false, false), 0);

        // Blocked: three wrong PINs, then 69 83.
        for (int left : {2, 1, 0}) {
            EXPECT_EQ(session->verifyPassword(pin, text("999999"), false, false), -2305);
            EXPECT_EQ(pin->pin->triesLeft, static_cast<uint64_t>(left));
        }
        mark = logMark();
        frames = frameMark();
        EXPECT_EQ(session->verifyPassword(pin, text("222222"), false, false), -2307);
        EXPECT_EQ(receivedSince(*card, mark).back().response, "6983");
        EXPECT_NE(pin->flags & GC_Container::FLAG_BLOCKED, 0u);
        EXPECT_EQ(pin->pin->triesLeft, 0u);
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del", "set 0"}));

        // Unblock: the PUK verified, then the generation's reset with the new PIN.
        ASSERT_EQ(session->verifyPassword(puk, text("12345678"), false, false), 0);
        mark = logMark();
        frames = frameMark();
        ASSERT_EQ(session->unblockPassword(pin, text("333333"), true), 0);
        EXPECT_EQ(tail(receivedSince(*card, mark), g.unblock.size()), g.unblock);
        EXPECT_EQ(pin->flags & GC_Container::FLAG_BLOCKED, 0u);
        EXPECT_EQ(pin->pin->triesLeft, 3u);
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del", "set 3"}));
        EXPECT_EQ(session->verifyPassword(pin, text("333333"), false, false), 0);

        // Lengths outside the PIN's limits never reach the card (verify removes the entry first).
        mark = logMark();
        frames = frameMark();
        EXPECT_EQ(session->verifyPassword(pin, text("12345"), false, false), -2310);
        EXPECT_EQ(session->verifyPassword(pin, text("123456789"), false, false), -2310);
        EXPECT_EQ(session->changePassword(pin, text("333333"), text("1"), false), -2310);
        EXPECT_EQ(session->changePassword(pin, {}, text("444444"), false), -2310) << "a keyboard types no PIN";
        EXPECT_EQ(session->unblockPassword(pin, {}, false), -2310);
        EXPECT_TRUE(receivedSince(*card, mark).empty());
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del", "del"}));

        // The second generation's unblock without a new PIN ends with the reset: the PIN stays.
        if (g.personality != Personality::Varnel2) continue;
        ASSERT_EQ(session->verifyPassword(puk, text("12345678"), false, false), 0);
        mark = logMark();
        ASSERT_EQ(session->unblockPassword(pin, text("444444"), false), 0);
        sent = receivedSince(*card, mark);
        EXPECT_EQ(tail(sent, 1), (std::vector<std::string>{g.unblock.front()}));
        EXPECT_EQ(countPrefix(sent, "0024"), 0u);
        EXPECT_EQ(session->verifyPassword(pin, text("333333"), false, false), 0);
    }
}

// The PIN state of a list of containers with the Qualified PIN's directory deactivated, on both
// generations: asked of the card once, then served by the companion alone.
TEST_F(PinTest, StatusOfContainersWithADeactivatedDirectory) {
    struct Case {
        Personality personality;
        uint8_t authentication, qualified, puk;
        Bytes authenticationPath, qualifiedPath;
    };
    const Case cases[] = {
        {Personality::Varnel1, 0x8A, 0x8C, 0x94, {}, {}},
        {Personality::Varnel2, 0x01, 0x0C, 0x04, {0xAD, 0xF1}, {0xAD, 0xFC}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cardsim::personalityName(c.personality));
        cardsim::CardConfig config = varnelCard(c.personality);
        config.deactivatedPins = {static_cast<uint8_t>(c.qualified & 0x7F)};
        plug(config);
        link.reset();  // the old centre goes before the new one is installed
        link = std::make_unique<Companion>();
        auto session = open();
        ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
        std::vector<std::shared_ptr<GC_Container>> list{pinContainer(c.authentication, c.authenticationPath, 6, 8),
                                                        pinContainer(c.qualified, c.qualifiedPath, 6, 8),
                                                        pinContainer(c.puk, {}, 8, 8, GC_Container::FLAG_PUK), nullptr};

        size_t mark = logMark();
        ASSERT_EQ(session->statusContainers(list, false), 0);
        const auto sent = receivedSince(*card, mark);
        EXPECT_EQ(countPrefix(sent, underChannel("002000" + gctest::hex(Bytes{c.authentication}))), 1u);
        EXPECT_EQ(countPrefix(sent, underChannel("002000" + gctest::hex(Bytes{c.puk}))), 1u);
        for (const Received& r : sent) {
            if (r.command.rfind("0020", 0) == 0) {
                EXPECT_EQ(r.command.size(), underChannel("00200001").size()) << "a status query carries no PIN";
            }
        }
        EXPECT_EQ(list[0]->pin->triesLeft, 3u);
        EXPECT_NE(list[0]->flags & GC_Container::FLAG_ACTIVE, 0u);
        EXPECT_EQ(list[1]->flags & GC_Container::FLAG_ACTIVE, 0u) << "the Qualified directory is deactivated";
        EXPECT_EQ(list[1]->pin->triesLeft, 0u);
        EXPECT_NE(list[2]->flags & GC_Container::FLAG_ACTIVE, 0u);
        EXPECT_EQ(tries(c.authentication), 3);
        EXPECT_EQ(tries(c.qualified), 255) << "not active";
        EXPECT_EQ(tries(c.puk), 3);

        // Everything is at the companion now: nothing goes to the card, and the values come back.
        for (auto& container : list)
            if (container) container->flags = 0;
        mark = logMark();
        ASSERT_EQ(session->statusContainers(list, false), 0);
        EXPECT_TRUE(receivedSince(*card, mark).empty());
        EXPECT_EQ(list[0]->flags, GC_Container::FLAG_ACTIVE);
        EXPECT_EQ(list[0]->pin->triesLeft, 3u);
        EXPECT_EQ(list[1]->flags, GC_Container::FLAG_BLOCKED) << "255: not active, and blocked";
        EXPECT_EQ(list[1]->pin->triesLeft, 0u);
    }
}

// A status query the card does not finish, pulled out or reset under it at its first command,
// writes no tries-left entry for the PIN it asked about: only the card's word that a directory is
// deactivated gives 255 (above).
TEST_F(PinTest, AStatusQueryCutShortWritesNoEntry) {
    if (!slotBackend()) GTEST_SKIP() << "a card gone mid-exchange: over the slot back-end";
    for (const Generation& g : kGenerations) {
        for (bool removed : {false, true}) {
            for (bool selected : {false, true}) {
                // With the PIN's directory already selected, the VERIFY is the query's first command;
                // otherwise the container is as discovery makes it, its directory never selected.
                SCOPED_TRACE(std::string(cardsim::personalityName(g.personality)) +
                             (removed ? ", removed" : ", reset") + (selected ? ", directory selected" : ""));
                plug(varnelCard(g.personality));
                link.reset();
                link = std::make_unique<Companion>();
                auto session = open();
                ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
                std::vector<std::shared_ptr<GC_Container>> list{pinContainer(g.pin, g.pinPath, 6, 8)};
                if (!selected) list[0]->flags &= ~GC_Container::FLAG_ACTIVE;
                if (selected && !g.pinPath.empty()) {
                    ASSERT_EQ(session->select(g.pinPath, nullptr, kSignatureAid, false), 0);
                }
                if (removed)
                    card->removeOnNextCommand();
                else
                    card->resetOnNextCommand();
                EXPECT_NE(session->statusContainers(list, false), 0);
                EXPECT_EQ(tries(g.pin), -1);
            }
        }
    }
}

// A PIN never goes to the card in plain: without a channel that can be reopened, the VERIFY that
// would carry it is not sent. A failed exchange leaves the tries-left entry removed, not rewritten.
TEST_F(PinTest, NoPinWithoutTheChannelAndNoCountAfterAFailedExchange) {
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    auto pin = pinContainer(0x01, {0xAD, 0xF1}, 6, 8);
    pin->pin->triesLeft = 3;
    size_t mark = logMark();
    size_t frames = frameMark();
    EXPECT_EQ(session->verifyPassword(pin, text("111111"), false, false), -1701);
    for (const Received& r : receivedSince(*card, mark)) EXPECT_NE(r.command.rfind("0020", 0), 0u) << r.command;
    EXPECT_EQ(triesFrames(frames, 0x01), (std::vector<std::string>{"del"}));

    // With the channel: the card's VERIFY is refused outside the channel every time.
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    card->answerStatus({0x20}, 0x6988, 10, true);
    frames = frameMark();
    EXPECT_EQ(session->verifyPassword(pin, text("111111"), false, false), -1701);
    EXPECT_EQ(pin->pin->triesLeft, 3u) << "unchanged";
    // Removed before each of the three attempts, written after none.
    EXPECT_EQ(triesFrames(frames, 0x01), (std::vector<std::string>{"del", "del", "del"}));
    EXPECT_EQ(tries(0x01), -1);
    EXPECT_EQ(session->retransmitCount(), 0);

    // Nor does a status query whose exchanges fail: no tries taken, nothing blocked, nothing written.
    std::vector<std::shared_ptr<GC_Container>> list{pin};
    frames = frameMark();
    session->statusContainers(list, false);
    EXPECT_EQ(pin->pin->triesLeft, 3u);
    EXPECT_EQ(pin->flags & GC_Container::FLAG_BLOCKED, 0u);
    for (const std::string& frame : triesFrames(frames, 0x01)) EXPECT_EQ(frame.rfind("set", 0), std::string::npos);
}

// Under the channel only what the channel verifies is an answer: a bare 90 00 in plain to a
// protected VERIFY, signature or READ BINARY is no success (a wrong PIN would pass for verified),
// marks nothing verified and records no tries; the card dropped the channel with it, and the next
// operation reopens the channel and succeeds.
TEST_F(PinTest, APlainSuccessUnderTheChannelIsNoAnswer) {
    const Bytes digest(32, 0x5A);
    const Bytes scratch{0x4F, 0x00};
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(cardsim::personalityName(g.personality));
        plug(varnelCard(g.personality));
        auto session = open();
        ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
        std::vector<std::shared_ptr<GC_Container>> list;
        ASSERT_EQ(session->getContainers(list, true), 0);
        ASSERT_EQ(session->loadContainers(list, false), 0);
        std::shared_ptr<GC_Container> auth = list.at(0);
        ASSERT_EQ(auth->pin->pinReference, g.pin);
        GC_Object* key = auth->getPrivateKey();
        ASSERT_NE(key, nullptr);
        // Protected commands of this INS since `mark` that the card answered with a bare 90 00.
        auto plainSuccessTo = [&](uint8_t ins, size_t mark) {
            const auto log = card->log();
            return std::count_if(log.begin() + static_cast<long>(mark), log.end(), [&](const cardsim::LogEntry& e) {
                return e.secure && e.plainCommand.size() > 1 && e.plainCommand[1] == ins &&
                       e.response == Bytes{0x90, 0x00};
            });
        };
        auto newChannels = [&](size_t mark) { return countPrefix(receivedSince(*card, mark), "0022C1A4"); };

        // VERIFY of a wrong PIN.
        size_t mark = logMark();
        size_t frames = frameMark();
        card->answerStatus({.ins = 0x20}, 0x9000, 1, true);
        EXPECT_NE(session->verifyPassword(auth, text("999999"), false, false), 0);
        EXPECT_EQ(plainSuccessTo(0x20, mark), 1);
        EXPECT_EQ(auth->flags & GC_Container::FLAG_VERIFIED, 0u);
        EXPECT_EQ(triesFrames(frames, g.pin), (std::vector<std::string>{"del"})) << "no count written";
        EXPECT_EQ(tries(g.pin), -1);
        mark = logMark();
        ASSERT_EQ(session->verifyPassword(auth, text("111111"), false, false), 0);
        EXPECT_EQ(newChannels(mark), 1u);
        EXPECT_NE(auth->flags & GC_Container::FLAG_VERIFIED, 0u);
        EXPECT_EQ(tries(g.pin), 3);

        // PERFORM SECURITY OPERATION.
        mark = logMark();
        card->answerStatus({.ins = 0x2A}, 0x9000, 1, true);
        Bytes signature;
        EXPECT_NE(session->signatureData(auth, key, digest, GC_Object::KEY_EC, GC_Security::HASH_SHA256,
                                         GC_Security::PAD_NONE, signature),
                  0);
        EXPECT_EQ(plainSuccessTo(0x2A, mark), 1);
        EXPECT_TRUE(signature.empty());
        mark = logMark();
        ASSERT_EQ(session->verifyPassword(auth, text("111111"), false, false), 0);
        ASSERT_EQ(session->signatureData(auth, key, digest, GC_Object::KEY_EC, GC_Security::HASH_SHA256,
                                         GC_Security::PAD_NONE, signature),
                  0);
        EXPECT_EQ(newChannels(mark), 1u);
        EXPECT_FALSE(signature.empty());

        // READ BINARY of the scratch file (not in the companion's cache).
        mark = logMark();
        card->answerStatus({.ins = 0xB0}, 0x9000, 1, true);
        Bytes out{0x01};
        EXPECT_NE(
            session->read(out, kSignatureAid, scratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
        EXPECT_EQ(plainSuccessTo(0xB0, mark), 1);
        EXPECT_TRUE(out.empty());
        mark = logMark();
        ASSERT_EQ(
            session->read(out, kSignatureAid, scratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
        EXPECT_EQ(newChannels(mark), 1u);
        EXPECT_EQ(out, appFile(scratch));
    }
}

}  // namespace
}  // namespace session_test
