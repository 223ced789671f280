#include "pcscd_holder.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "factory.h"
#include "support/child_process.h"

namespace sweep {

namespace {

using namespace std::chrono_literals;

constexpr auto kShowsWithin = 5s;
constexpr auto kOutFor = 600ms;

}  // namespace

int anotherApplication(const std::string& reader) {
    cardsim::PcscClient client;
    const bool connected = client.connect(reader);
    std::string line =
        "connect " +
        cardsim::toHex({static_cast<uint8_t>(client.lastError() >> 24), static_cast<uint8_t>(client.lastError() >> 16),
                        static_cast<uint8_t>(client.lastError() >> 8), static_cast<uint8_t>(client.lastError())});
    if (connected) {
        const auto answer = client.transmit({0x00, 0xA4, 0x00, 0x0C});
        line += " answer " + (answer ? cardsim::toHex(*answer) : std::string("none"));
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
}

std::string runAnotherApplication(const std::string& reader, std::chrono::milliseconds limit) {
    gctest::ChildProcess child;
    if (!child.start({"/proc/self/exe", "--another-application", reader})) return "(not started)";
    const std::optional<std::string> line = child.readLine(limit);
    child.stop();
    return line.value_or("(blocked)");
}

PcscdHolder::PcscdHolder(cardsim::CardConfig config)
    : name_(cardsim::programPcscd().readerName(0)), card_(std::move(config)) {
    slot_ = std::make_unique<cardsim::VpcdCard>(card_, cardsim::programPcscd().port(0));
    ok_ = card_.ok() && client_.establish() && slot_->start() && slot_->waitInserted(kShowsWithin) &&
          client_.waitCard(name_, true, kShowsWithin);
    GC_Factory::addDriver(GC_Factory::READER_PCSC);
    GC_Factory::getReadersList(false);
    forgetLearnedSize(name_);
}

PcscdHolder::~PcscdHolder() {
    slot_->stop();
    client_.waitCard(name_, false, kShowsWithin);
}

bool PcscdHolder::reinsert() {
    slot_->remove();
    if (!client_.waitCard(name_, false, kShowsWithin)) return false;
    // Out for a moment, as a hand takes a card out and puts it back: vpcd takes a card that comes
    // back within a few hundred milliseconds of leaving for absent, for some ten seconds.
    std::this_thread::sleep_for(kOutFor);
    slot_->insert();
    return slot_->waitInserted(kShowsWithin) && client_.waitCard(name_, true, kShowsWithin);
}

void PcscdHolder::arm(Fault fault, size_t after) {
    if (armOnCard(card_, fault, after)) return;
    // Another client resets the card now, between two operations of ours.
    cardsim::PcscClient other;
    if (other.connect(name_)) other.reconnect(true);
}

size_t PcscdHolder::commands() const {
    size_t count = 0;
    for (const cardsim::LogEntry& entry : card_.log())
        if (entry.kind == cardsim::LogEntry::Kind::Command) ++count;
    return count;
}

}  // namespace sweep
