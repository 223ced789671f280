// The token's road from the CAN to published keychain items: the token extension over the real
// Driver on the simulated cards of both generations (in an in-memory slot), with the test
// companion on the in-process hub as the cache service. Each iteration starts from a reader that
// knows nothing, no stored settings and an empty cache: the card goes in, its token is made and
// the CAN checked (PACE, containers, object contents, items); then the card comes out and goes in
// again, and its new token checks the CAN once more, now with the files in the companion's cache.
//   items                                  keychain items published
//   first_apdus, first_bytes               the first insertion (GET RESPONSE included; the files are
//                                          read whole to be kept in the cache)
//   floor_apdus, floor_bytes               the floor of card_road.h
//   first_apdu_ratio, first_byte_ratio     the first insertion over the floor
//   second_apdus, second_bytes             the second insertion
//   second_apdu_ratio, second_byte_ratio   the second insertion over the first
//   first_cpu_share, second_cpu_share      the road's CPU time over its wall time with 10 ms added per
//                                          APDU; the card's and the test companion's own CPU time
//                                          (both in this process) are out
//   first_ms, second_ms                    wall time of each insertion with 10 ms per APDU

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "cache.h"
#include "cache_server.h"
#include "card_road.h"
#include "extension/token.h"
#include "extension/token_driver.h"
#include "platform/notification_hub.h"

namespace {

using namespace cardroad;

constexpr const char* kSlot = "Bench token 0";
constexpr size_t kAnswerLimit = 1792;  // what both generations answer at most

// Standard error goes nowhere while the road runs: the extension writes its system-log lines
// there.
class QuietStderr {
public:
    QuietStderr() : saved_(dup(STDERR_FILENO)) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~QuietStderr() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

// The companion's side of the hub, with the CPU time its observers take (the cache service's
// work: it runs in this process, not in the extension's).
class TimedCenter : public plat::NotificationCenter {
public:
    explicit TimedCenter(std::shared_ptr<plat::NotificationCenter> inner) : inner_(std::move(inner)) {}
    ObserverId addObserver(const std::string& name, Callback callback) override {
        return inner_->addObserver(name, [this, callback = std::move(callback)](const plat::Notification& n) {
            const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            callback(n);
            cpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
        });
    }
    void removeObserver(ObserverId id) override { inner_->removeObserver(id); }
    bool postNotification(const std::string& name, const std::optional<std::string>& object) override {
        return inner_->postNotification(name, object);
    }
    bool onDeliveryThread() const override { return inner_->onDeliveryThread(); }
    std::string senderName() const override { return inner_->senderName(); }

    std::atomic<double> cpu{0};

private:
    std::shared_ptr<plat::NotificationCenter> inner_;
};

// The extension and the test companion's cache service on one in-process hub; the cache starts
// afresh.
struct Companion {
    Companion() {
        plat::NotificationCenter::setDefaultCenter(extensionSide);
        GC_Cache::resetForTesting(GC_Cache::kDefaultReplyWait);
    }
    ~Companion() {
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }
    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> extensionSide = hub.connect();
    std::shared_ptr<TimedCenter> companionSide = std::make_shared<TimedCenter>(hub.connect());
    companion::CacheServer server{companionSide};
};

std::shared_ptr<ctk::SmartCard> smartCard(ctk::mem::SlotManager& slots) {
    std::promise<std::shared_ptr<ctk::Slot>> found;
    slots.getSlotWithName(kSlot, [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
    std::shared_ptr<ctk::Slot> slot = found.get_future().get();
    return slot ? slot->makeSmartCard() : nullptr;
}

// What one insertion cost.
struct Insertion {
    bool ok = false;
    size_t items = 0;
    Traffic traffic;
    double cpu = 0;   // the road's CPU seconds, the card's taken out
    double wall = 0;  // its wall seconds, the card's taken out and 10 ms per APDU added
};

// The card goes in, the platform asks for its token and the companion's CAN check runs.
Insertion insert(Bench& bench, Companion& companion, TokenDriver& tokenDriver) {
    Insertion result;
    auto token =
        std::static_pointer_cast<Token>(tokenDriver.createTokenForSmartCard(smartCard(*bench.slots), {}, nullptr));
    if (!token) return result;
    bench.card.clearLog();
    bench.timed->cardCpu = bench.timed->cardWall = 0;
    companion.companionSide->cpu = 0;
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = std::chrono::steady_clock::now();
    GC_Factory::getReadersList(false);  // what the driver does before each CAN check
    result.ok = token->checkCan({'1', '2', '3', '4', '5', '6'}) == "SUCCESS";
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu - bench.timed->cardCpu - companion.companionSide->cpu;
    result.traffic = traffic(bench.card);
    result.wall = elapsed - bench.timed->cardWall + kApduRoundTrip * static_cast<double>(result.traffic.apdus);
    result.items = token->keychainContents().items().size();
    return result;
}

void tokenRoad(benchmark::State& state, const Generation& g) {
    const QuietStderr quiet;
    Bench bench(g.personality, kSlot);
    Insertion first;
    Insertion second;
    double sums[8] = {};
    Floor floor;
    for (auto _ : state) {
        bench.fresh();
        Companion companion;
        auto tokenDriver = std::make_shared<TokenDriver>();
        first = insert(bench, companion, *tokenDriver);
        floor = floorOf(bench.card, g, first.traffic, kAnswerLimit);
        bench.slots->removeCard(kSlot);
        bench.card.reset();
        bench.slots->insertCard(kSlot, bench.timed);
        second = insert(bench, companion, *tokenDriver);
        if (!first.ok || !second.ok || first.items == 0 || second.items != first.items) {
            state.SkipWithError("CAN to published items failed");
            break;
        }
        const double values[] = {static_cast<double>(first.traffic.apdus),
                                 static_cast<double>(first.traffic.bytes),
                                 static_cast<double>(second.traffic.apdus),
                                 static_cast<double>(second.traffic.bytes),
                                 first.cpu,
                                 first.wall,
                                 second.cpu,
                                 second.wall};
        for (size_t i = 0; i < std::size(sums); ++i) sums[i] += values[i];
    }
    const double n = static_cast<double>(state.iterations());
    if (n == 0 || !first.ok || !second.ok) return;
    state.counters["items"] = static_cast<double>(first.items);
    state.counters["first_apdus"] = sums[0] / n;
    state.counters["first_bytes"] = sums[1] / n;
    state.counters["floor_apdus"] = static_cast<double>(floor.apdus);
    state.counters["floor_bytes"] = static_cast<double>(floor.bytes);
    state.counters["first_apdu_ratio"] = sums[0] / n / static_cast<double>(floor.apdus);
    state.counters["first_byte_ratio"] = sums[1] / n / static_cast<double>(floor.bytes);
    state.counters["second_apdus"] = sums[2] / n;
    state.counters["second_bytes"] = sums[3] / n;
    state.counters["second_apdu_ratio"] = sums[2] / sums[0];
    state.counters["second_byte_ratio"] = sums[3] / sums[1];
    state.counters["first_cpu_share"] = sums[4] / sums[5];
    state.counters["second_cpu_share"] = sums[6] / sums[7];
    state.counters["first_ms"] = 1000 * sums[5] / n;
    state.counters["second_ms"] = 1000 * sums[7] / n;
}

void BM_TokenRoadVarnel1(benchmark::State& state) {
    tokenRoad(state, kVarnel1);
}
void BM_TokenRoadVarnel2(benchmark::State& state) {
    tokenRoad(state, kVarnel2);
}

BENCHMARK(BM_TokenRoadVarnel1)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_TokenRoadVarnel2)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
