// The reader back-ends through pcscd + vpcd + the simulated card: connect, lock, plain and
// extended-length traffic, unlock, removal and re-insertion, a reset by another PC/SC client, two
// readers used at once, and a second card object on a held card.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Reader/readerctk.h"
#include "Reader/readerpcsc.h"
#include "cardsim.h"
#include "cardsim_pcscd.h"
#include "pcsc_client.h"
#include "platform/ctk_smartcard.h"
#include "vpcd_card.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

const Bytes kSw9000{0x90, 0x00};
const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
// The certificate file of the third container of the second generation, by path from the MF.
const Bytes kCertPath{0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83};
const Bytes kCardAccessPath{0x01, 0x1C};

Bytes selectPath(const Bytes& path) {
    Bytes apdu{0x00, 0xA4, 0x08, 0x0C, static_cast<unsigned char>(path.size())};
    apdu.insert(apdu.end(), path.begin(), path.end());
    return apdu;
}

Bytes lastTwo(const Bytes& response) {
    return response.size() >= 2 ? Bytes(response.end() - 2, response.end()) : Bytes{};
}

bool contains(const std::list<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

cardsim::CardConfig plainCard(cardsim::Personality personality, cardsim::PaceInfo pace) {
    cardsim::CardConfig config;
    config.personality = personality;
    config.pace = {pace};
    config.requireSecureMessaging = false;  // plain commands reach every file
    return config;
}

template <typename Reader>
class ReaderThroughPcscd : public ::testing::Test {
protected:
    void SetUp() override {
        name0 = pcscd.readerName(0);
        name1 = pcscd.readerName(1);
        card0 = std::make_unique<cardsim::CardSim>(
            plainCard(cardsim::Personality::Varnel2, {cardsim::PaceCipher::Aes128, 13}));
        card1 = std::make_unique<cardsim::CardSim>(
            plainCard(cardsim::Personality::Varnel1, {cardsim::PaceCipher::Aes256, 12}));
        ASSERT_TRUE(card0->ok()) << card0->error();
        ASSERT_TRUE(card1->ok()) << card1->error();
        ASSERT_TRUE(client.establish());
        slot0 = plug(*card0, 0);
        slot1 = plug(*card1, 1);
    }

    void TearDown() override {
        for (auto* slot : {&slot0, &slot1})
            if (*slot) (*slot)->stop();
        client.waitCard(name0, false, 5s);
        client.waitCard(name1, false, 5s);
    }

    std::unique_ptr<cardsim::VpcdCard> plug(cardsim::CardSim& card, int slot) {
        auto vpcd = std::make_unique<cardsim::VpcdCard>(card, pcscd.port(slot));
        EXPECT_TRUE(vpcd->start());
        EXPECT_TRUE(vpcd->waitInserted(10s));
        EXPECT_TRUE(client.waitCard(pcscd.readerName(slot), true, 10s));
        return vpcd;
    }

    // A reader bound to `name`, card opened in shared mode.
    std::unique_ptr<Reader> open(const std::string& name) {
        auto reader = std::make_unique<Reader>();
        reader->getReadersList(false);
        EXPECT_EQ(reader->init(name), 0);
        int status = 0;
        EXPECT_EQ(reader->state(status, 100), 0);
        EXPECT_EQ(status & 3, 2);
        EXPECT_EQ(reader->initCard(true, nullptr), 0);
        return reader;
    }

    static int lockOnce(GC_Reader& reader) {
        int rv = reader.lock();
        return rv == -25 ? reader.lock() : rv;
    }

    static void expectSelect(GC_Reader& reader) {
        Bytes response;
        EXPECT_EQ(reader.sendAPDU(kSelectMf, response, 0), 0);
        EXPECT_EQ(response, kSw9000);
    }

    const cardsim::Pcscd& pcscd = cardsim::programPcscd();
    std::string name0, name1;
    std::unique_ptr<cardsim::CardSim> card0, card1;
    std::unique_ptr<cardsim::VpcdCard> slot0, slot1;
    cardsim::PcscClient client;
};

using Backends = ::testing::Types<GC_ReaderPCSC, GC_ReaderCTK>;
class BackendNames {
public:
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, GC_ReaderPCSC> ? "Pcsc" : "Ctk";
    }
};
TYPED_TEST_SUITE(ReaderThroughPcscd, Backends, BackendNames);

TYPED_TEST(ReaderThroughPcscd, ConnectLockSelectExtendedUnlock) {
    auto reader = this->open(this->name0);
    Bytes atr;
    EXPECT_EQ(reader->getCardATR(atr), 0);
    EXPECT_EQ(atr, this->card0->atr());

    ASSERT_EQ(this->lockOnce(*reader), 0);
    EXPECT_TRUE(reader->isLocked());
    this->expectSelect(*reader);

    Bytes response;
    ASSERT_EQ(reader->sendAPDU(selectPath(kCertPath), response, 0), 0);
    ASSERT_EQ(response, kSw9000);
    auto original = this->card0->file(kCertPath);
    ASSERT_TRUE(original);
    const size_t n = std::min<size_t>(original->size(), 1000);
    ASSERT_GT(n, 255u) << "the file must take an extended-length write";

    // Extended length both ways: 00 D6 with a two-byte Lc, then 00 B0 with a two-byte Le.
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    Bytes update{0x00, 0xD6, 0x00, 0x00, 0x00, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    update.insert(update.end(), data.begin(), data.end());
    ASSERT_EQ(reader->sendAPDU(update, response, 0), 0);
    EXPECT_EQ(response, kSw9000);
    Bytes read{0x00, 0xB0, 0x00, 0x00, 0x00, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    ASSERT_EQ(reader->sendAPDU(read, response, n), 0);
    ASSERT_EQ(response.size(), n + 2);
    EXPECT_EQ(Bytes(response.begin(), response.end() - 2), data);
    EXPECT_EQ(lastTwo(response), kSw9000);

    // The card received both commands byte for byte.
    auto log = this->card0->log();
    bool sawUpdate = false, sawRead = false;
    for (const auto& entry : log) {
        sawUpdate = sawUpdate || Bytes(entry.command.begin(), entry.command.end()) == update;
        sawRead = sawRead || Bytes(entry.command.begin(), entry.command.end()) == read;
    }
    EXPECT_TRUE(sawUpdate);
    EXPECT_TRUE(sawRead);

    EXPECT_EQ(reader->unlock(), 0);
    EXPECT_FALSE(reader->isLocked());
}

TYPED_TEST(ReaderThroughPcscd, RemovalAndReinsertionAreSeen) {
    auto reader = this->open(this->name0);
    ASSERT_EQ(this->lockOnce(*reader), 0);
    this->expectSelect(*reader);
    ASSERT_EQ(reader->unlock(), 0);

    this->slot0->remove();
    ASSERT_TRUE(this->client.waitCard(this->name0, false, 5s));
    EXPECT_FALSE(contains(reader->getReadersList(true), this->name0));
    int status = 0;
    EXPECT_EQ(reader->state(status, 100), 0);
    if constexpr (std::is_same_v<TypeParam, GC_ReaderPCSC>)
        EXPECT_EQ(status & 3, 1) << "no supported card present";
    else
        EXPECT_EQ(status & 3, 2) << "the slot is still there";
    Bytes response{0x01};
    EXPECT_NE(reader->sendAPDU(kSelectMf, response, 0), 0);
    EXPECT_TRUE(response.empty());

    this->slot0->insert();
    ASSERT_TRUE(this->slot0->waitInserted(10s));
    ASSERT_TRUE(this->client.waitCard(this->name0, true, 10s));
    EXPECT_TRUE(contains(reader->getReadersList(true), this->name0));
    ASSERT_EQ(reader->initCard(true, nullptr), 0);
    EXPECT_EQ(this->lockOnce(*reader), 0);
    this->expectSelect(*reader);
    EXPECT_EQ(reader->unlock(), 0);
}

TYPED_TEST(ReaderThroughPcscd, ResetByAnotherClientGivesMinus25ThenLockWorks) {
    auto reader = this->open(this->name0);
    ASSERT_EQ(this->lockOnce(*reader), 0);
    this->expectSelect(*reader);
    ASSERT_EQ(reader->unlock(), 0);

    cardsim::PcscClient other;
    ASSERT_TRUE(other.establish());
    ASSERT_TRUE(other.connect(this->name0));
    ASSERT_TRUE(other.reconnect(true));
    other.disconnect();

    EXPECT_EQ(reader->lock(), -25);
    EXPECT_EQ(reader->lock(), 0);
    EXPECT_TRUE(reader->isLocked());
    this->expectSelect(*reader);
    EXPECT_EQ(reader->unlock(), 0);
}

// Two readers, each on its own thread: every answer is the one of that reader's card.
TYPED_TEST(ReaderThroughPcscd, TwoReadersTransmitConcurrently) {
    auto reader0 = this->open(this->name0);
    auto reader1 = this->open(this->name1);
    auto access0 = this->card0->file(kCardAccessPath);
    auto access1 = this->card1->file(kCardAccessPath);
    ASSERT_TRUE(access0 && access1);
    ASSERT_NE(*access0, *access1);

    std::atomic<int> failures{0};
    auto run = [&](GC_Reader& reader, Bytes expected) {
        expected.insert(expected.end(), kSw9000.begin(), kSw9000.end());
        if (this->lockOnce(reader) != 0) ++failures;
        Bytes response;
        Bytes select{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x1C};
        if (reader.sendAPDU(select, response, 0) != 0 || response != kSw9000) ++failures;
        const Bytes read{0x00, 0xB0, 0x00, 0x00, static_cast<unsigned char>(expected.size() - 2)};
        for (int i = 0; i < 40; ++i)
            if (reader.sendAPDU(read, response, 0) != 0 || response != expected) ++failures;
        if (reader.unlock() != 0) ++failures;
    };
    std::thread t0(run, std::ref(*reader0), *access0);
    std::thread t1(run, std::ref(*reader1), *access1);
    t0.join();
    t1.join();
    EXPECT_EQ(failures.load(), 0);
}

// A second card object on the same slot (as the token host keeps one per inserted card) answers
// whether it is still valid at once, even while the reader back-end's connection holds the card;
// a card taken out and put back between two looks leaves it invalid.
using CtkThroughPcscd = ReaderThroughPcscd<GC_ReaderCTK>;
TEST_F(CtkThroughPcscd, AnotherCardObjectAnswersValidWhileTheCardIsHeld) {
    auto reader = open(name0);
    std::promise<std::shared_ptr<ctk::Slot>> found;
    ctk::SlotManager::defaultManager()->getSlotWithName(
        name0, [&found](std::shared_ptr<ctk::Slot> slot) { found.set_value(std::move(slot)); });
    const std::shared_ptr<ctk::Slot> slot = found.get_future().get();
    ASSERT_TRUE(slot);
    const std::shared_ptr<ctk::SmartCard> looker = slot->makeSmartCard();
    ASSERT_TRUE(looker);

    ASSERT_EQ(lockOnce(*reader), 0);
    std::future<bool> valid = std::async(std::launch::async, [&looker] { return looker->valid(); });
    EXPECT_EQ(valid.wait_for(2s), std::future_status::ready) << "valid() waited for the other connection";
    expectSelect(*reader);
    EXPECT_EQ(reader->unlock(), 0);
    EXPECT_TRUE(valid.get());

    slot0->remove();
    ASSERT_TRUE(client.waitCard(name0, false, 5s));
    slot0->insert();
    ASSERT_TRUE(slot0->waitInserted(10s));
    ASSERT_TRUE(client.waitCard(name0, true, 10s));
    EXPECT_FALSE(looker->valid());
    const std::shared_ptr<ctk::SmartCard> next = slot->makeSmartCard();
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->valid());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!cardsim::startProgramPcscd()) return 1;
    ctk::SlotManager::resetDefaultManager();  // the slot manager over this pcscd
    return RUN_ALL_TESTS();
}
