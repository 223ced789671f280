#include "sweep.h"

#include "factory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace sweep {

void prepareProcess(const std::string& home) {
    const char* logHome = std::getenv("GC_SWEEP_LOG");
    if (logHome != nullptr && *logHome != '\0') {
        setenv("HOME", logHome, 1);
        return;
    }
    setenv("HOME", home.c_str(), 1);
    const int original = dup(STDERR_FILENO);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (original >= 0 && quiet >= 0) {
        if (__sanitizer_set_report_fd != nullptr)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(original)));
        dup2(quiet, STDERR_FILENO);
    }
    if (quiet >= 0) close(quiet);
}

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::Removal:
            return "card removed";
        case Fault::ResetByOther:
            return "reset by another client";
        case Fault::Plain6988:
            return "69 88";
        case Fault::FlippedByte:
            return "flipped byte";
        case Fault::Truncated:
            return "truncated answer";
    }
    return "?";
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Right:
            return "right";
        case Outcome::Error:
            return "clear error";
        case Outcome::Partial:
            return "partial";
        case Outcome::Violation:
            return "VIOLATION";
    }
    return "?";
}

namespace {

std::string_view widthSetting() {
    const char* value = std::getenv("GC_SWEEP");
    return value != nullptr ? std::string_view(value) : std::string_view();
}

}  // namespace

std::string widthText() {
    const std::string_view width = widthSetting();
    if (width == "full") return "every fault at every command (GC_SWEEP=full)";
    if (width.rfind("at:", 0) == 0) return "every fault at command " + std::string(width.substr(3));
    const long stride = width.empty() ? 0 : std::strtol(std::string(width).c_str(), nullptr, 10);
    if (stride > 1)
        return "one fault at every " + std::to_string(stride) + "th command (GC_SWEEP=" + std::string(width) + ")";
    return "one fault at every command, the faults taking turns (GC_SWEEP=full for all)";
}

bool verbose() {
    const char* value = std::getenv("GC_SWEEP_VERBOSE");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

std::vector<Shot> shots(size_t commands) {
    const std::string_view width = widthSetting();
    std::vector<Shot> out;
    if (width == "full") {
        for (size_t index = 0; index < commands; ++index)
            for (Fault fault : kFaults) out.push_back({index, fault});
        return out;
    }
    if (width.rfind("at:", 0) == 0) {
        const size_t index = std::strtoul(std::string(width.substr(3)).c_str(), nullptr, 10);
        if (index < commands)
            for (Fault fault : kFaults) out.push_back({index, fault});
        return out;
    }
    long stride = width.empty() ? 1 : std::strtol(std::string(width).c_str(), nullptr, 10);
    if (stride < 1) stride = 1;
    constexpr size_t kinds = std::size(kFaults);
    for (size_t index = 0; index < commands; index += static_cast<size_t>(stride))
        out.push_back({index, kFaults[(index / static_cast<size_t>(stride)) % kinds]});
    return out;
}

SlotCard::SlotCard(cardsim::CardSim& card, std::shared_ptr<ctk::mem::SlotManager> slots, std::string slot)
    : card_(card), slots_(std::move(slots)), slot_(std::move(slot)) {}

Bytes SlotCard::transmit(const Bytes& apdu) {
    Bytes answer = card_.transmit(apdu);
    ++transmitted_;
    // The card pulled itself: the slot is empty from now on.
    if (answer.empty() && card_.takeEvent() == cardsim::Event::Removed) slots_->removeCard(slot_);
    if (resetBefore_ && transmitted_ >= *resetBefore_) {
        resetBefore_.reset();
        slots_->resetCard(slot_);
    }
    return answer;
}

void SlotCard::insert() {
    card_.powerOn();
    slots_->addSlot(slot_);
    slots_->insertCard(slot_, shared_from_this());
}

void SlotCard::pull() {
    slots_->removeCard(slot_);
    card_.powerOff();
}

void SlotCard::discard() {
    pull();
    slots_->removeSlot(slot_);
    GC_Factory::getReadersList(false);
}

bool armOnCard(cardsim::CardSim& card, Fault fault, size_t after) {
    switch (fault) {
        case Fault::Removal:
            card.removeOnNextCommand(after);
            return true;
        case Fault::Plain6988:
            card.faultAnswer(cardsim::AnswerFault::Plain6988, after);
            return true;
        case Fault::FlippedByte:
            card.faultAnswer(cardsim::AnswerFault::FlipMiddleByte, after);
            return true;
        case Fault::Truncated:
            card.faultAnswer(cardsim::AnswerFault::TruncateHalf, after);
            return true;
        case Fault::ResetByOther:
            break;
    }
    return false;
}

void SlotCard::arm(Fault fault, size_t after) {
    if (armOnCard(card_, fault, after)) return;
    // Another client's reset, between the command before and this one (no transmission under way).
    if (after == 0)
        slots_->resetCard(slot_);
    else
        resetBefore_ = transmitted_ + after;
}

std::vector<std::string> pinsInClear(const cardsim::CardSim& card, size_t from) {
    std::vector<std::string> out;
    const std::vector<cardsim::LogEntry> log = card.log();
    for (size_t i = from; i < log.size(); ++i) {
        const cardsim::LogEntry& entry = log[i];
        const Bytes& c = entry.command;
        if (entry.kind != cardsim::LogEntry::Kind::Command || c.size() < 6) continue;
        const unsigned char ins = c[1];
        // A short command with a data field: header, Lc, at least one byte. Protected, its data
        // objects are a cryptogram, Le and the checksum (never a plain value, 81), whether or not
        // the card could still take them.
        const bool protectedData = (c[0] & 0x0C) == 0x0C && c[5] != 0x81;
        if ((ins == 0x20 || ins == 0x24 || ins == 0x2C) && c[4] != 0 && !protectedData)
            out.push_back(cardsim::toHex(Bytes(entry.command.begin(), entry.command.begin() + 5)) + "...");
    }
    return out;
}

void Table::add(const std::string& operation, Fault fault, Outcome outcome, bool recovered) {
    if (std::find(operations_.begin(), operations_.end(), operation) == operations_.end())
        operations_.push_back(operation);
    Counts& c = counts_[{operation, fault}];
    ++c.runs;
    switch (outcome) {
        case Outcome::Right:
            ++c.right;
            break;
        case Outcome::Error:
            ++c.error;
            break;
        case Outcome::Partial:
            ++c.partial;
            break;
        case Outcome::Violation:
            ++c.violation;
            break;
    }
    if (recovered) ++c.recovered;
}

void Table::problem(const std::string& operation, Fault fault, size_t index, const std::string& text) {
    problems_.push_back(operation + ", " + faultName(fault) + " at command " + std::to_string(index) + ": " + text);
}

void Table::print() const {
    std::printf("\n%s\n", title_.c_str());
    std::printf("%-34s %-24s %5s %6s %6s %8s %6s %10s\n", "operation", "fault", "runs", "right", "error", "partial",
                "wrong", "recovered");
    for (const std::string& operation : operations_)
        for (Fault fault : kFaults) {
            const auto found = counts_.find({operation, fault});
            if (found == counts_.end()) continue;
            const Counts& c = found->second;
            std::printf("%-34s %-24s %5d %6d %6d %8d %6d %10d\n", operation.c_str(), faultName(fault), c.runs, c.right,
                        c.error, c.partial, c.violation, c.recovered);
        }
    for (const auto& [text, count] : notes_) std::printf("  kept (%d runs): %s\n", count, text.c_str());
    for (const std::string& problem : problems_) std::printf("  problem: %s\n", problem.c_str());
    std::fflush(stdout);
}

}  // namespace sweep
