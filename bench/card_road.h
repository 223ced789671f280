#pragma once

// What the road benchmarks share: the simulated cards of both generations in an in-memory slot
// (their own time kept apart), the traffic a run made on the card, and the floor of card I/O for
// the files the driver has to know.
//
// The floor: the PACE exchanges as the run made them; then one SELECT per application switch, per
// directory and per file, and ceil(size / chunk) READ BINARY per piece of a file the driver has to
// know (the entries of each directory region, the exact TLV of each object, whole other files),
// chunk being the card's answer limit less the secure-messaging overhead; each of those exchanges
// at the smallest non-data byte count seen in the run, plus the bytes of the pieces.

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/cardsim/cardsim.h"
#include "../tests/support/sim_card_adapter.h"
#include "Reader/reader.h"
#include "factory.h"
#include "platform/ctk_memory.h"

namespace cardroad {

using Bytes = std::vector<unsigned char>;

constexpr double kApduRoundTrip = 0.010;  // seconds added per APDU for the CPU share
constexpr size_t kSmOverhead = 25;        // the session's room for secure messaging in one chunk

// How much of a file the driver needs to know.
enum class Needed {
    Whole,    // all of it
    Tlv,      // the TLV at its start (an object's content)
    Regions,  // the entries of the three 1024-byte directory regions, each read apart
};

// A file the driver must read: its application and its path of file identifiers below the
// application (directories first).
struct NeededFile {
    int application;  // 0 MF, 1 signature application, 2 travel document
    Bytes path;
    Needed needed;
};

struct Generation {
    cardsim::Personality personality;
    Bytes appDf;  // the applications' DFs below the MF, by number
    Bytes ldsDf;
    std::vector<NeededFile> files;
    uint8_t pinReference;
    const char* pin;
    size_t container;  // the signing container's index
};

inline Bytes fid(std::initializer_list<unsigned char> bytes) {
    return Bytes(bytes);
}

inline const Generation kVarnel1{
    cardsim::Personality::Varnel1,
    {0x50, 0x15},
    {0x1A, 0xDF},
    {
        {1, fid({0x50, 0x32}), Needed::Whole},
        {1, fid({0x52, 0x00}), Needed::Whole},
        {1, fid({0x50, 0x81}), Needed::Regions},
        {1, fid({0x50, 0x88}), Needed::Regions},
        {1, fid({0x50, 0x82}), Needed::Regions},
        {1, fid({0x50, 0x83}), Needed::Regions},
        {2, fid({0x53, 0x00}), Needed::Whole},
        {1, fid({0x57, 0x91}), Needed::Tlv},
        {1, fid({0x57, 0x81}), Needed::Tlv},
        {1, fid({0x57, 0x98}), Needed::Tlv},
        {1, fid({0x57, 0x88}), Needed::Tlv},
        {1, fid({0x57, 0x93}), Needed::Tlv},
        {1, fid({0x57, 0x83}), Needed::Tlv},
        {2, fid({0x01, 0x1E}), Needed::Whole},
        {2, fid({0x01, 0x1D}), Needed::Whole},
        {2, fid({0x01, 0x01}), Needed::Whole},
        {2, fid({0x01, 0x0E}), Needed::Whole},
    },
    0x8A,
    "111111",
    0,
};

inline const Generation kVarnel2{
    cardsim::Personality::Varnel2,
    {0x50, 0x15},
    {},
    {
        {0, fid({0x2F, 0x00}), Needed::Whole},
        {1, fid({0x50, 0x32}), Needed::Whole},
        {1, fid({0x50, 0x31}), Needed::Whole},
        {1, fid({0x52, 0x00}), Needed::Whole},
        {1, fid({0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81}), Needed::Regions},
        {1, fid({0xAD, 0xF2, 0xDF, 0x02, 0x50, 0x82}), Needed::Regions},
        {1, fid({0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83}), Needed::Regions},
        {1, fid({0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x91}), Needed::Tlv},
        {1, fid({0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81}), Needed::Tlv},
        {1, fid({0xAD, 0xF2, 0xDF, 0x02, 0x57, 0x92}), Needed::Tlv},
        {1, fid({0xAD, 0xF2, 0xDF, 0x02, 0x57, 0x82}), Needed::Tlv},
        {1, fid({0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x93}), Needed::Tlv},
        {1, fid({0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83}), Needed::Tlv},
    },
    0x01,
    "111111",
    0,
};

// Settings in a container of the benchmark's own, emptied before every session.
inline std::string settingsFile() {
    static const std::string path = [] {
        char pattern[] = "/tmp/gcbench-XXXXXX";
        const std::string home = std::string(mkdtemp(pattern)) + "/Containers/ext";
        std::filesystem::create_directories(home + "/Documents");
        setenv("HOME", home.c_str(), 1);
        return home + "/Documents/config.conf";
    }();
    return path;
}

inline double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The simulated card in the slot, with its own CPU and wall time kept apart.
class TimedCard : public gctest::SimCardAdapter {
public:
    explicit TimedCard(cardsim::CardSim& card) : SimCardAdapter(card) {}
    std::vector<unsigned char> transmit(const std::vector<unsigned char>& apdu) override {
        const double cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto wall = std::chrono::steady_clock::now();
        auto answer = SimCardAdapter::transmit(apdu);
        cardCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
        cardWall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
        return answer;
    }
    double cardCpu = 0;
    double cardWall = 0;
};

// A slot with the generation's card; the registry knows the reader.
struct Bench {
    Bench(cardsim::Personality personality, const char* slot)
        : card(config(personality)), timed(std::make_shared<TimedCard>(card)) {
        ctk::SlotManager::setDefaultManager(slots);
        slots->addSlot(slot);
        slots->insertCard(slot, timed);
        GC_Factory::addDriver(GC_Factory::READER_CTK);
        GC_Factory::getReadersList(false);
        reader = GC_Factory::createReader(slot);
    }
    ~Bench() { ctk::SlotManager::resetDefaultManager(); }
    static cardsim::CardConfig config(cardsim::Personality personality) {
        cardsim::CardConfig c;
        c.personality = personality;
        return c;
    }
    // A reader that knows nothing and no stored settings.
    void fresh() {
        unlink(settingsFile().c_str());
        reader->maxApduSize = 200;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
        card.clearLog();
    }

    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    cardsim::CardSim card;
    std::shared_ptr<TimedCard> timed;
    GC_Reader* reader = nullptr;
};

struct Traffic {
    size_t apdus = 0;
    size_t bytes = 0;
    size_t paceApdus = 0;  // the plain exchanges before the first protected one
    size_t paceBytes = 0;
    size_t leastOverhead = SIZE_MAX;  // the fewest bytes of one protected exchange beside its data
};

inline Traffic traffic(const cardsim::CardSim& card) {
    Traffic t;
    bool protectedSeen = false;
    for (const cardsim::LogEntry& entry : card.log()) {
        if (entry.kind != cardsim::LogEntry::Kind::Command) continue;
        const size_t bytes = entry.command.size() + entry.response.size();
        ++t.apdus;
        t.bytes += bytes;
        protectedSeen = protectedSeen || entry.secure;
        if (!protectedSeen) {
            ++t.paceApdus;
            t.paceBytes += bytes;
        } else if (entry.secure && entry.plainResponse.size() >= 2) {
            t.leastOverhead = std::min(t.leastOverhead, bytes - (entry.plainResponse.size() - 2));
        }
    }
    return t;
}

// The size of the DER TLV at `at` (0 when none starts there: a zero byte or the end).
inline size_t tlvSize(const Bytes& content, size_t at) {
    if (at + 2 > content.size() || content[at] == 0x00) return 0;
    const size_t first = content[at + 1];
    if (first < 0x80) return 2 + first;
    const size_t n = first & 0x7F;
    size_t length = 0;
    for (size_t i = 0; i < n && at + 2 + i < content.size(); ++i) length = length << 8 | content[at + 2 + i];
    return 2 + n + length;
}

// The bytes of a file the driver needs, in the pieces it has to read apart.
inline std::vector<size_t> neededPieces(const cardsim::CardSim& card, const Generation& g, const NeededFile& file) {
    Bytes path = file.application == 1 ? g.appDf : file.application == 2 ? g.ldsDf : Bytes{};
    path.insert(path.end(), file.path.begin(), file.path.end());
    const Bytes content = card.file(path).value_or(Bytes{});
    switch (file.needed) {
        case Needed::Whole:
            return {content.size()};
        case Needed::Tlv:
            return {tlvSize(content, 0)};
        case Needed::Regions: {
            std::vector<size_t> pieces;
            for (size_t region = 0; region < 3; ++region) {
                size_t used = 0;
                for (size_t at = region * 1024; at < (region + 1) * 1024; at += tlvSize(content, at)) {
                    const size_t entry = tlvSize(content, at);
                    if (entry == 0) break;
                    used += entry;
                }
                if (used > 0) pieces.push_back(used);
            }
            return pieces;
        }
    }
    return {};
}

struct Floor {
    size_t apdus = 0;
    size_t bytes = 0;
};

inline Floor floorOf(const cardsim::CardSim& card, const Generation& g, const Traffic& t, size_t answerLimit) {
    Floor f{t.paceApdus, t.paceBytes};
    const size_t chunk = answerLimit - kSmOverhead;
    int application = -1;
    Bytes directory;
    size_t exchanges = 0;
    for (const NeededFile& file : g.files) {
        if (file.application != application) {
            application = file.application;
            directory.clear();
            ++exchanges;  // the application (or the MF)
        }
        const Bytes dir(file.path.begin(), file.path.end() - 2);
        if (dir != directory) {
            directory = dir;
            exchanges += dir.size() / 2;
        }
        ++exchanges;  // the file
        for (const size_t size : neededPieces(card, g, file)) {
            exchanges += (size + chunk - 1) / chunk;
            f.bytes += size;
        }
    }
    f.apdus += exchanges;
    f.bytes += exchanges * (t.leastOverhead == SIZE_MAX ? 0 : t.leastOverhead);
    return f;
}

}  // namespace cardroad
