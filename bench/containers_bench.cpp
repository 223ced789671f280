// The road from a CAN to loaded containers, and a token signature, through the Driver on the
// simulated cards of both generations (in an in-memory slot; empty settings, no companion cache,
// a reader that knows nothing yet). Each iteration is a new Driver:
//   BM_CanToContainers  PACE with the CAN, getContainers(force), loadContainers
//     apdus / floor_apdus / apdu_ratio   commands sent (GET RESPONSE included)
//     bytes / floor_bytes / byte_ratio   command and answer bytes on the wire
//     cpu_share                          the driver's CPU time over its wall time with 10 ms added
//                                        per APDU (a real reader's round trip); the card's own
//                                        time is taken out of both
//   BM_TokenSignature   what the token does per signature: verify the PIN, sign, log out
//     apdus                              commands per signature
//
// The floor is card_road.h's.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "card_road.h"
#include "driver.h"

namespace {

using namespace cardroad;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

constexpr const char* kSlot = "Bench containers 0";

void canToContainers(benchmark::State& state, const Generation& g, size_t answerLimit) {
    Bench bench(g.personality, kSlot);
    Traffic total;
    Floor floor;
    double driverCpu = 0;
    double wall = 0;
    for (auto _ : state) {
        bench.fresh();
        bench.timed->cardCpu = bench.timed->cardWall = 0;
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto start = std::chrono::steady_clock::now();
        Driver driver(kSlot, GC_CardController::CARD_GENERIC, true, nullptr);
        Containers list;
        if (driver.performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2) != 0 ||
            driver.getContainers(list, true) != 0 || driver.loadContainers(list, false) != 0) {
            state.SkipWithError("CAN to containers failed");
            break;
        }
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        driverCpu += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu - bench.timed->cardCpu;
        wall += elapsed - bench.timed->cardWall;
        const Traffic t = traffic(bench.card);
        total.apdus += t.apdus;
        total.bytes += t.bytes;
        floor = floorOf(bench.card, g, t, answerLimit);
    }
    const double n = static_cast<double>(state.iterations());
    if (n == 0) return;
    state.counters["apdus"] = static_cast<double>(total.apdus) / n;
    state.counters["floor_apdus"] = static_cast<double>(floor.apdus);
    state.counters["apdu_ratio"] = static_cast<double>(total.apdus) / n / static_cast<double>(floor.apdus);
    state.counters["bytes"] = static_cast<double>(total.bytes) / n;
    state.counters["floor_bytes"] = static_cast<double>(floor.bytes);
    state.counters["byte_ratio"] = static_cast<double>(total.bytes) / n / static_cast<double>(floor.bytes);
    state.counters["cpu_share"] = driverCpu / (wall + kApduRoundTrip * static_cast<double>(total.apdus));
}

void tokenSignature(benchmark::State& state, const Generation& g) {
    Bench bench(g.personality, kSlot);
    bench.fresh();
    Driver driver(kSlot, GC_CardController::CARD_GENERIC, true, nullptr);
    Containers list;
    if (driver.performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2) != 0 ||
        driver.getContainers(list, true) != 0 || driver.loadContainers(list, false) != 0) {
        state.SkipWithError("CAN to containers failed");
        return;
    }
    std::shared_ptr<GC_Container> container = list.at(g.container);
    GC_Object* key = container->getPrivateKey();
    const std::string pin = g.pin;
    const Bytes digest(32, 0x5A);
    size_t apdus = 0;
    for (auto _ : state) {
        bench.card.clearLog();
        Bytes signature;
        if (driver.verifyPassword(container, Bytes(pin.begin(), pin.end()), false) != 0 ||
            driver.signatureData(container, key, digest, Driver::EC_SHA256, signature) != 0 ||
            driver.logoutPassword(container, false) != 0) {
            state.SkipWithError("token signature failed");
            break;
        }
        apdus += traffic(bench.card).apdus;
    }
    if (state.iterations() > 0)
        state.counters["apdus"] = static_cast<double>(apdus) / static_cast<double>(state.iterations());
}

void BM_CanToContainersVarnel1(benchmark::State& state) {
    canToContainers(state, kVarnel1, 1792);
}
void BM_CanToContainersVarnel2(benchmark::State& state) {
    canToContainers(state, kVarnel2, 1792);
}
void BM_TokenSignatureVarnel1(benchmark::State& state) {
    tokenSignature(state, kVarnel1);
}
void BM_TokenSignatureVarnel2(benchmark::State& state) {
    tokenSignature(state, kVarnel2);
}

BENCHMARK(BM_CanToContainersVarnel1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CanToContainersVarnel2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenSignatureVarnel1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenSignatureVarnel2)->Unit(benchmark::kMillisecond);

}  // namespace
