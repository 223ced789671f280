// The program's private pcscd, the settings directory and the fixture's helpers.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "Reader/reader.h"
#include "factory.h"
#include "platform/ctk_smartcard.h"
#include "session_fixture.h"
#include "support/sim_card_adapter.h"
#include "support/temp_dir.h"

namespace session_test {

Environment& environment() {
    static Environment env;
    return env;
}

int backendKind() {
    return environment().backend == Backend::Pcsc ? GC_Factory::READER_PCSC : GC_Factory::READER_CTK;
}

std::vector<std::string> commandsSince(const cardsim::CardSim& card, size_t from) {
    std::vector<std::string> out;
    const auto log = card.log();
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].kind == cardsim::LogEntry::Kind::Command) out.push_back(cardsim::toHex(log[i].command));
    return out;
}

bool slotBackend() {
    return environment().backend == Backend::Ctk;
}

cardsim::Personality sessionPersonality() {
    return slotBackend() ? cardsim::Personality::Generic : cardsim::Personality::Varnel2;
}

const Bytes& sessionAid() {
    return slotBackend() ? kPkcs15Aid : kSignatureAid;
}

cardsim::CardConfig plainCard(cardsim::Personality personality) {
    cardsim::CardConfig config;
    config.personality = personality;
    config.requireSecureMessaging = false;
    return config;
}

cardsim::CardConfig varnelCard(cardsim::Personality personality, cardsim::PaceInfo pace) {
    cardsim::CardConfig config;
    config.personality = personality;
    config.pace = {pace};
    return config;
}

std::vector<Received> receivedSince(const cardsim::CardSim& card, size_t from) {
    std::vector<Received> out;
    const auto log = card.log();
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].kind != cardsim::LogEntry::Kind::Command) continue;
        out.push_back({cardsim::toHex(log[i].secure ? log[i].plainCommand : log[i].command), log[i].secure,
                       cardsim::toHex(log[i].plainResponse)});
    }
    return out;
}

size_t countPrefix(const std::vector<Received>& commands, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), [&](const Received& r) {
        return r.command.compare(0, prefix.size(), prefix) == 0;
    }));
}

namespace {

// The registry as main set it up, whatever a test did to it: the program's slot manager, the
// back-end under test alone, every reader listed anew.
void restoreRegistry() {
    ctk::SlotManager::setDefaultManager(environment().slots);
    GC_Factory::clearDriver();
    GC_Factory::addDriver(backendKind());
    GC_Factory::getReadersList(false);
}

}  // namespace

void SessionTest::SetUp() {
    ASSERT_NE(environment().pcscd, nullptr);
    restoreRegistry();
    name = environment().pcscd->readerName(0);
    ASSERT_TRUE(client.establish());
    setSettings("");
    plug(plainCard(sessionPersonality()));
    // Reader objects live as long as the process: every test starts from a reader that knows nothing.
    GC_Reader& r = reader();
    r.maxApduSize = 200;
    r.extendedApdu = false;
    r.apduSizeFixed = false;
}

void SessionTest::TearDown() {
    unplug();
    // The in-memory card and its slots go only once no reader refers to them.
    restoreRegistry();
    memorySlots.reset();
    inMemory.reset();
}

void SessionTest::plug(cardsim::CardConfig config) {
    unplug();
    card = std::make_unique<cardsim::CardSim>(std::move(config));
    ASSERT_TRUE(card->ok()) << card->error();
    slot = std::make_unique<cardsim::VpcdCard>(*card, environment().pcscd->port(0));
    ASSERT_TRUE(slot->start());
    ASSERT_TRUE(slot->waitInserted(kCardChange));
    ASSERT_TRUE(client.waitCard(name, true, kCardChange));
}

void SessionTest::unplug() {
    if (!slot) return;
    slot->stop();
    slot.reset();
    // Until pcscd has seen the card go, the next card would pass for this one.
    EXPECT_TRUE(client.waitCard(name, false, kCardChange)) << "pcscd still sees the card";
}

cardsim::CardSim& SessionTest::memoryCard(cardsim::CardConfig config) {
    inMemory = std::make_unique<cardsim::CardSim>(std::move(config));
    memorySlots = std::make_shared<ctk::mem::SlotManager>();
    ctk::SlotManager::setDefaultManager(memorySlots);
    memorySlots->addSlot("Memory 0");
    memorySlots->insertCard("Memory 0", std::make_shared<gctest::SimCardAdapter>(*inMemory));
    GC_Factory::getReadersList(false);
    return *inMemory;
}

std::string SessionTest::settings() const {
    return gctest::readFile(environment().documents + "/config.conf");
}

void SessionTest::setSettings(const std::string& text) const {
    const std::string path = environment().documents + "/config.conf";
    unlink(path.c_str());
    if (!text.empty()) {
        ASSERT_TRUE(gctest::writeFile(path, text));
    }
}

GC_Reader& SessionTest::reader() const {
    GC_Reader* r = GC_Factory::createReader(name);
    EXPECT_NE(r, nullptr);
    return *r;
}

std::unique_ptr<GC_Controller> SessionTest::open(GC_CardController::card_controller type, int* created) {
    auto session = std::make_unique<GC_Controller>();
    const int rc = session->create(name, type, true, nullptr);
    if (created != nullptr)
        *created = rc;
    else
        EXPECT_EQ(rc, 0);
    return session;
}

Bytes SessionTest::appFile(const Bytes& fid) const {
    Bytes path;
    path.reserve(2 + fid.size());
    path.push_back(0x50);  // the PKCS#15 application's DF
    path.push_back(0x15);
    path.insert(path.end(), fid.begin(), fid.end());
    return card->file(path).value_or(Bytes{});
}

Bytes SessionTest::fillScratch() {
    Bytes data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 256);
    // Straight to the card, past the session: a pattern the tests then read back.
    const Bytes select = {0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x15, 0x4F, 0x00};
    EXPECT_EQ(card->transmit(select), (Bytes{0x90, 0x00}));
    for (size_t offset = 0; offset < data.size(); offset += 128) {
        Bytes update(5 + 128);
        update[1] = 0xD6;
        update[2] = static_cast<unsigned char>(offset >> 8);
        update[3] = static_cast<unsigned char>(offset);
        update[4] = 128;
        std::copy_n(data.begin() + static_cast<long>(offset), 128, update.begin() + 5);
        EXPECT_EQ(card->transmit(update), (Bytes{0x90, 0x00}));
    }
    return data;
}

}  // namespace session_test

int main(int argc, char** argv) {
    using namespace session_test;
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--backend=ctk") == 0)
            environment().backend = Backend::Ctk;
        else if (std::strcmp(argv[i], "--backend=pcsc") == 0)
            environment().backend = Backend::Pcsc;
    }
    // Namespaces are per thread: enter them before any thread exists.
    if (!cardsim::startProgramPcscd()) return 1;
    // Empty settings in a container of the program's own.
    gctest::TempDir home;
    environment().documents = home.makeDirs("Containers/ext/Documents");
    setenv("HOME", (home.path() + "/Containers/ext").c_str(), 1);

    environment().pcscd = &cardsim::programPcscd();
    ctk::SlotManager::resetDefaultManager();  // the slot manager over this pcscd
    environment().slots = ctk::SlotManager::defaultManager();
    GC_Factory::addDriver(backendKind());
    GC_Factory::getReadersList(false);  // the reader objects of both slots
    const int result = RUN_ALL_TESTS();
    environment().slots.reset();
    environment().pcscd = nullptr;
    return result;
}
