// Secure channel beside OpenPACE doing the same terminal-side work in the same binary.
// Each iteration times both implementations; the counters give OpenPACE's time and the ratio
// (this library's time / OpenPACE's time; below 1 means faster). OpenPACE also plays the card,
// and the card's work is left out of both timings.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>

#include "../tests/Protocols/openpace_peer.h"
#include "../tests/support/icao_pace_example.h"
#include "CardController/Protocols/pacecontroller.h"
#include "Controller/controller.h"
#include "Protocols/pacev2.h"
#include "Protocols/securemessaging.h"
#include "factory.h"
#include "platform/ctk_memory.h"

namespace {

using openpace::bytes;
using clock_type = std::chrono::steady_clock;

// Accumulates the time spent inside the timed sections.
class stopwatch {
public:
    template <typename F>
    auto time(F&& f) {
        const auto t0 = clock_type::now();
        auto result = f();
        total_ += clock_type::now() - t0;
        return result;
    }
    double seconds() const { return std::chrono::duration<double>(total_).count(); }

private:
    clock_type::duration total_{};
};

SecureVector<unsigned char> can() {
    static const unsigned char digits[] = {'1', '2', '3', '4', '5', '6'};
    return SecureVector<unsigned char>(digits, sizeof digits);
}

void report(benchmark::State& state, double ours, double theirs, const char* unitName, double scale) {
    const double n = static_cast<double>(state.iterations());
    state.counters[std::string("openpace_") + unitName] = theirs / n * scale;
    state.counters[std::string("gc_") + unitName] = ours / n * scale;
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

// --- A whole terminal-side PACE run per curve (AES-128, CAN) --------------------------------

bool gcTerminal(stopwatch& w, openpace::Card& card, const bytes& ef) {
    GC_Pace pace;
    GC_PaceController::pace_params params;
    bytes mse, ga2, ga3, ga4;
    if (!w.time([&] {
            return pace.verifySecret(&params, can(), 2) == 0 && pace.selectPaceParams(&params, ef) == 0 &&
                   pace.mseSet(&params, mse) == 0;
        }))
        return false;
    const bytes a1 = card.ga1();
    if (!w.time([&] { return pace.decryptNonce(&params, a1) == 0 && pace.prepareMappingNonce(ga2) == 0; }))
        return false;
    const bytes a2 = card.ga2(ga2);
    if (!w.time([&] { return pace.mappingNonce(a2) == 0 && pace.prepareKeyAgreement(ga3) == 0; })) return false;
    const bytes a3 = card.ga3(ga3);
    if (!w.time([&] {
            return pace.keyAgreement(a3) == 0 && pace.calculateKey(&params) == 0 &&
                   pace.calculateToken(&params, ga4) == 0;
        }))
        return false;
    const bytes a4 = card.ga4(ga4);
    return w.time([&] { return pace.verifyToken(a4, &params) == 0; });
}

bool openPaceTerminal(stopwatch& w, openpace::Card& card, const bytes& ef) {
    openpace::Terminal t;
    bytes r2, r3, r4;
    if (!w.time([&] { return t.init(ef, "123456", PACE_CAN); })) return false;
    const bytes a1 = card.ga1();
    if (!w.time([&] {
            if (!t.ga1(a1)) return false;
            r2 = t.ga2Request();
            return !r2.empty();
        }))
        return false;
    const bytes a2 = card.ga2(r2);
    if (!w.time([&] {
            if (!t.ga2(a2)) return false;
            r3 = t.ga3Request();
            return !r3.empty();
        }))
        return false;
    const bytes a3 = card.ga3(r3);
    if (!w.time([&] {
            if (!t.ga3(a3)) return false;
            r4 = t.ga4Request();
            return !r4.empty();
        }))
        return false;
    const bytes a4 = card.ga4(r4);
    return w.time([&] { return t.ga4(a4); });
}

void BM_PaceTerminal(benchmark::State& state) {
    const int id = static_cast<int>(state.range(0));
    const bytes ef = openpace::cardAccess(2, id);
    stopwatch ours, theirs;
    for (auto _ : state) {
        const double before = ours.seconds();
        openpace::Card c1;
        openpace::Card c2;
        if (!c1.init(ef, "123456", PACE_CAN) || !c2.init(ef, "123456", PACE_CAN) || !gcTerminal(ours, c1, ef) ||
            !openPaceTerminal(theirs, c2, ef)) {
            state.SkipWithError("PACE run failed");
            break;
        }
        state.SetIterationTime(ours.seconds() - before);
    }
    report(state, ours.seconds(), theirs.seconds(), "ms", 1e3);
}
BENCHMARK(BM_PaceTerminal)->DenseRange(10, 18)->UseManualTime()->Unit(benchmark::kMillisecond);

// --- Protect a READ BINARY and verify its 1 KB answer ----------------------------------------

struct sm_bed {
    openpace::Card card;
    openpace::Terminal terminal;
    GC_SecureMessaging::sm_params params;
    bytes command = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x04, 0x00};
    bytes response;
    unsigned long base = 0x100;

    bool setUp(int cipher) {
        const bytes ef = openpace::cardAccess(cipher, 13);
        if (!card.init(ef, "123456", PACE_CAN) || !terminal.init(ef, "123456", PACE_CAN)) return false;
        if (!terminal.ga1(card.ga1())) return false;
        const bytes r2 = terminal.ga2Request();
        if (!terminal.ga2(card.ga2(r2))) return false;
        const bytes r3 = terminal.ga3Request();
        if (!terminal.ga3(card.ga3(r3))) return false;
        if (!terminal.ga4(card.ga4(terminal.ga4Request()))) return false;
        const bytes kenc = card.kEnc(), kmac = card.kMac();
        params.Kenc = SecureVector<unsigned char>(kenc.data(), kenc.size());
        params.Kmac = SecureVector<unsigned char>(kmac.data(), kmac.size());
        params.algorithm = cipher;
        // The card's answer for the counter the exchange reaches.
        bytes data(1024);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
        EAC_set_ssc(card.ctx(), base + 1);
        response = card.wrap(data, 0x90, 0x00);
        return !response.empty();
    }

    void resetCounter() {
        const size_t width = params.algorithm == 1 ? 8 : 16;
        unsigned char ssc[16] = {};
        for (size_t i = 0; i < sizeof base; ++i) ssc[width - 1 - i] = static_cast<unsigned char>(base >> (8 * i));
        params.SSC = SecureVector<unsigned char>(ssc, width);
    }

    // This library: protect the READ BINARY and verify its answer. Kept out of line, as is the
    // OpenPACE exchange below, so that bench/sm_instructions can count each one's instructions.
    __attribute__((noinline)) bool gcExchange(bytes& sent, bytes& plain) {
        return GC_SecureMessaging::smProtectAPDU(&params, command, sent) == 0 &&
               GC_SecureMessaging::smFreeAPDU(&params, response, plain) == 0 && plain.size() == 1026;
    }

    // OpenPACE as the terminal: the same protection and verification from its primitives.
    __attribute__((noinline)) bool openPaceExchange() {
        EAC_CTX* t = terminal.ctx();
        EAC_set_ssc(t, base);
        if (EAC_increment_ssc(t) != 1) return false;
        bytes header = {0x0C, 0xB0, 0x00, 0x00};
        openpace::buf_ptr h = openpace::toBuf(header);
        openpace::buf_ptr ph(EAC_add_iso_pad(t, h.get()));
        bytes macIn = openpace::fromBuf(ph.get());
        macIn.insert(macIn.end(), {0x97, 0x02, 0x04, 0x00});
        openpace::buf_ptr m = openpace::toBuf(macIn);
        openpace::buf_ptr pm(EAC_add_iso_pad(t, m.get()));
        openpace::buf_ptr mac(EAC_authenticate(t, pm.get()));
        if (!mac) return false;
        bytes sent(23, 0x00);  // ends in the extended Le 00 00
        const unsigned char head[] = {0x0C, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x97, 0x02, 0x04, 0x00, 0x8E, 0x08};
        std::copy(std::begin(head), std::end(head), sent.begin());
        if (mac->length != 8) return false;
        std::copy(mac->data, mac->data + 8, sent.begin() + sizeof head);
        benchmark::DoNotOptimize(sent);

        if (EAC_increment_ssc(t) != 1) return false;
        // 87 82 LL LL 01 cryptogram 99 02 SW 8E 08 MAC SW
        if (response.size() < 5 || response[0] != 0x87 || response[1] != 0x82) return false;
        const size_t len = static_cast<size_t>(response[2]) << 8 | response[3];
        const size_t end87 = 4 + len;
        if (response.size() != end87 + 4 + 10 + 2) return false;
        openpace::buf_ptr objects = openpace::toBuf(response.data(), end87 + 4);
        openpace::buf_ptr po(EAC_add_iso_pad(t, objects.get()));
        openpace::buf_ptr rmac = openpace::toBuf(response.data() + end87 + 6, 8);
        if (EAC_verify_authentication(t, po.get(), rmac.get()) != 1) return false;
        openpace::buf_ptr c = openpace::toBuf(response.data() + 5, len - 1);
        openpace::buf_ptr plain(EAC_decrypt(t, c.get()));
        openpace::buf_ptr unpadded(plain ? EAC_remove_iso_pad(plain.get()) : nullptr);
        return unpadded && unpadded->length == 1024;
    }
};

void BM_ReadAnswer1K(benchmark::State& state) {
    sm_bed bed;
    if (!bed.setUp(static_cast<int>(state.range(0)))) {
        state.SkipWithError("session set-up failed");
        return;
    }
    stopwatch ours, theirs;
    bytes sent, plain;
    for (auto _ : state) {
        bed.resetCounter();
        const double before = ours.seconds();
        const bool ok = ours.time([&] { return bed.gcExchange(sent, plain); });
        if (!ok || !theirs.time([&] { return bed.openPaceExchange(); })) {
            state.SkipWithError("exchange failed");
            break;
        }
        state.SetIterationTime(ours.seconds() - before);
    }
    report(state, ours.seconds(), theirs.seconds(), "us", 1e6);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
// 1 two-key 3DES, 2 AES-128, 4 AES-256.
BENCHMARK(BM_ReadAnswer1K)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->Unit(benchmark::kMicrosecond);

// --- performPACE over the card session beside the GC_Pace steps alone -------------------------
// The ICAO worked example on both sides: a card in an in-memory slot answers the example's run
// from a table and the terminal's keys are the example's, so the run and the steps do the same
// cryptography and the card costs a table lookup. The difference is what the run adds: the
// card session, the MF and EF.CardAccess, the commands and their checks.

SecureVector<unsigned char> mrzHash() {
    const auto hash = gctest::unhex(icao::kMrzHash);
    return SecureVector<unsigned char>(hash.data(), hash.size());
}

void BM_PerformPaceOverTheSession(benchmark::State& state) {
    auto slots = std::make_shared<ctk::mem::SlotManager>();
    ctk::SlotManager::setDefaultManager(slots);
    slots->addSlot("ICAO 0");
    auto card = icao::exampleCard();
    slots->insertCard("ICAO 0", card);
    GC_Factory::addDriver(GC_Factory::READER_CTK);
    GC_Factory::getReadersList(false);
    {
        GC_Controller session;
        if (session.create("ICAO 0", GC_CardController::CARD_GENERIC, true, nullptr) != 0) {
            state.SkipWithError("no session");
            return;
        }
        const SecureVector<unsigned char> secret = mrzHash();
        size_t commands = card->commands().size();
        for (auto _ : state) {
            GC_PaceController::pace_params params;
            if (GC_PaceController::performPACE(&session, secret, 1, &params, icao::terminalScalars()) != 0) {
                state.SkipWithError("PACE run failed");
                break;
            }
        }
        commands = card->commands().size() - commands;
        state.counters["apdus"] = static_cast<double>(commands) / static_cast<double>(state.iterations());
    }
    // The reader's card object goes with the slot: the next run's session gets its own card.
    slots->removeSlot("ICAO 0");
    ctk::SlotManager::resetDefaultManager();
}
BENCHMARK(BM_PerformPaceOverTheSession)->Unit(benchmark::kMillisecond);

void BM_PaceStepsAlone(benchmark::State& state) {
    const SecureVector<unsigned char> secret = mrzHash();
    const bytes cardAccess = gctest::unhex(icao::kCardAccess);
    const std::vector<icao::Exchange> run = icao::paceRun();
    const bytes a1 = gctest::unhex(run[4].answer.substr(0, run[4].answer.size() - 4));
    const bytes a2 = gctest::unhex(run[5].answer.substr(0, run[5].answer.size() - 4));
    const bytes a3 = gctest::unhex(run[6].answer.substr(0, run[6].answer.size() - 4));
    const bytes a4 = gctest::unhex(run[7].answer.substr(0, run[7].answer.size() - 4));
    for (auto _ : state) {
        GC_Pace pace(icao::terminalScalars());
        GC_PaceController::pace_params params;
        bytes mse, ga2, ga3, ga4;
        const bool ok = pace.verifySecret(&params, secret, 1) == 0 && pace.selectPaceParams(&params, cardAccess) == 0 &&
                        pace.mseSet(&params, mse) == 0 && pace.decryptNonce(&params, a1) == 0 &&
                        pace.prepareMappingNonce(ga2) == 0 && pace.mappingNonce(a2) == 0 &&
                        pace.prepareKeyAgreement(ga3) == 0 && pace.keyAgreement(a3) == 0 &&
                        pace.calculateKey(&params) == 0 && pace.calculateToken(&params, ga4) == 0 &&
                        pace.verifyToken(a4, &params) == 0;
        if (!ok) {
            state.SkipWithError("PACE steps failed");
            break;
        }
    }
}
BENCHMARK(BM_PaceStepsAlone)->Unit(benchmark::kMillisecond);

}  // namespace
