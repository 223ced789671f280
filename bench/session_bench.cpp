// Card I/O of file reads through the card session, beside the floor: one SELECT for the file and
// ceil(size / chunk) READ BINARY at the card's own answer limit. Each iteration is a new session
// on a reader that knows nothing yet (empty settings, default APDU size), so the size the session
// learns from the first answers is part of the count. The simulated card sits in an in-memory
// slot; the counters are per read:
//   apdus / floor_apdus / apdu_ratio   commands sent (GET RESPONSE included)
//   bytes / floor_bytes / byte_ratio   command and answer bytes on the wire
// The card's side is not timed apart: the time is that of the whole road in one process.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/cardsim/cardsim.h"
#include "../tests/support/sim_card_adapter.h"
#include "Controller/controller.h"
#include "Reader/reader.h"
#include "card_road.h"
#include "factory.h"
#include "platform/ctk_memory.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char* kSlot = "Bench 0";
const Bytes kScratch{0x4F, 0x00};

struct CardKind {
    cardsim::Personality personality;
    Bytes aid;
    size_t answerLimit;  // the card's largest answer
};

const CardKind kGeneric{
    cardsim::Personality::Generic, {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35}, 255};
const CardKind kVarnel2{
    cardsim::Personality::Varnel2, {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E}, 1792};

using cardroad::settingsFile;  // settings in a container of the benchmark's own

// Floor of one file: its SELECT (7 bytes, 9000) and the READs at the card's limit.
void floorOf(size_t size, size_t limit, size_t& apdus, size_t& bytes) {
    const size_t reads = (size + limit - 1) / limit;
    apdus = 1 + reads;
    const size_t readHeader = limit > 256 ? 7 : 5;  // extended Le above 256
    bytes = (7 + 2) + reads * (readHeader + 2) + size;
}

// The simulated card in the in-memory slot kSlot of the default slot manager, for as long as it
// lives; the slot goes with it, so the next run's session makes a card object of its own.
class HostedCard {
public:
    explicit HostedCard(cardsim::CardConfig config) : card(std::move(config)) {
        ctk::SlotManager::setDefaultManager(slots_);
        slots_->addSlot(kSlot);
        slots_->insertCard(kSlot, std::make_shared<gctest::SimCardAdapter>(card));
        GC_Factory::addDriver(GC_Factory::READER_CTK);
        GC_Factory::getReadersList(false);
    }
    ~HostedCard() {
        slots_->removeSlot(kSlot);
        ctk::SlotManager::resetDefaultManager();
    }
    HostedCard(const HostedCard&) = delete;
    HostedCard& operator=(const HostedCard&) = delete;

    cardsim::CardSim card;

private:
    std::shared_ptr<ctk::mem::SlotManager> slots_ = std::make_shared<ctk::mem::SlotManager>();
};

void readFile(benchmark::State& state, const CardKind& kind) {
    const size_t size = static_cast<size_t>(state.range(0));
    cardsim::CardConfig config;
    config.personality = kind.personality;
    config.requireSecureMessaging = false;
    config.scratchSize = size;
    HostedCard hosted(config);
    cardsim::CardSim& card = hosted.card;
    GC_Reader* reader = GC_Factory::createReader(kSlot);
    const std::string settings = settingsFile();

    size_t apdus = 0, bytes = 0;
    for (auto _ : state) {
        unlink(settings.c_str());
        reader->maxApduSize = 200;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
        card.clearLog();
        GC_Controller session;
        Bytes out;
        if (session.create(kSlot, GC_CardController::CARD_GENERIC, true, nullptr) != 0 ||
            session.read(out, kind.aid, kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}) != 0 ||
            out.size() != size) {
            state.SkipWithError("read failed");
            break;
        }
        for (const cardsim::LogEntry& entry : card.log()) {
            if (entry.kind != cardsim::LogEntry::Kind::Command) continue;
            ++apdus;
            bytes += entry.command.size() + entry.response.size();
        }
    }
    size_t floorApdus = 0, floorBytes = 0;
    floorOf(size, kind.answerLimit, floorApdus, floorBytes);
    const double n = static_cast<double>(state.iterations());
    state.counters["apdus"] = static_cast<double>(apdus) / n;
    state.counters["floor_apdus"] = static_cast<double>(floorApdus);
    state.counters["apdu_ratio"] = static_cast<double>(apdus) / n / static_cast<double>(floorApdus);
    state.counters["bytes"] = static_cast<double>(bytes) / n;
    state.counters["floor_bytes"] = static_cast<double>(floorBytes);
    state.counters["byte_ratio"] = static_cast<double>(bytes) / n / static_cast<double>(floorBytes);
}

void BM_ReadGenericCard(benchmark::State& state) {
    readFile(state, kGeneric);
}
void BM_ReadVarnel2Card(benchmark::State& state) {
    readFile(state, kVarnel2);
}

BENCHMARK(BM_ReadGenericCard)->Arg(579)->Arg(2000)->Arg(6000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadVarnel2Card)->Arg(579)->Arg(2000)->Arg(6000)->Unit(benchmark::kMicrosecond);

// APDUs of one reopening of the secure channel per generation: closing it (the plain selection
// of the generation's application) and PACE with the CAN (MF, EF.CardAccess, MSE:Set AT and the
// four General Authenticate steps), on a card that requires secure messaging.
void reopenChannel(benchmark::State& state, cardsim::Personality personality) {
    cardsim::CardConfig config;
    config.personality = personality;
    HostedCard hosted(config);
    cardsim::CardSim& card = hosted.card;
    settingsFile();
    size_t apdus = 0;
    {
        GC_Controller session;
        const std::vector<uint8_t> can{'1', '2', '3', '4', '5', '6'};
        if (session.create(kSlot, GC_CardController::CARD_GENERIC, true, nullptr) != 0 ||
            session.performSecureConnection(can, 2) != 0) {
            state.SkipWithError("no channel");
            return;
        }
        for (auto _ : state) {
            card.clearLog();
            // The first generation's closing selection fails by design (its application is
            // absent, the card manager in between ends the channel): only its APDUs count.
            session.destroySecureConnection();
            if (session.performSecureConnection(can, 2) != 0) {
                state.SkipWithError("reopening failed");
                break;
            }
            for (const cardsim::LogEntry& entry : card.log()) apdus += entry.kind == cardsim::LogEntry::Kind::Command;
        }
    }
    state.counters["apdus"] = static_cast<double>(apdus) / static_cast<double>(state.iterations());
}

void BM_ReopenChannelVarnel1(benchmark::State& state) {
    reopenChannel(state, cardsim::Personality::Varnel1);
}
void BM_ReopenChannelVarnel2(benchmark::State& state) {
    reopenChannel(state, cardsim::Personality::Varnel2);
}

BENCHMARK(BM_ReopenChannelVarnel1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReopenChannelVarnel2)->Unit(benchmark::kMillisecond);

}  // namespace
