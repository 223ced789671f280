// The fault sweep's common parts: the faults, which runs a sweep makes, the simulated card in an
// in-memory slot that pulls or resets itself on cue, what the card's log says of PINs, and the
// table of outcomes each sweep prints.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cardsim.h"
#include "platform/ctk_memory.h"

namespace sweep {

using Bytes = std::vector<unsigned char>;

// What strikes one command of an operation.
enum class Fault {
    Removal,       // the card is pulled instead of answering
    ResetByOther,  // another client resets the card just before the command
    Plain6988,     // the card answers 69 88 in plain: it lost the channel
    FlippedByte,   // one byte of the answer is inverted
    Truncated,     // only the first half of the answer arrives
};
inline constexpr Fault kFaults[] = {Fault::Removal, Fault::ResetByOther, Fault::Plain6988, Fault::FlippedByte,
                                    Fault::Truncated};
const char* faultName(Fault fault);

// One run of a sweep: the fault at a command index.
struct Shot {
    size_t index = 0;
    Fault fault = Fault::Removal;
};

// The runs of a sweep over an operation of `commands` commands. By default every index meets one
// fault, the faults taking turns, so that every index and every fault are covered; with
// GC_SWEEP=full every index meets every fault. GC_SWEEP=<n> covers every n-th index only.
std::vector<Shot> shots(size_t commands);
// What GC_SWEEP asks for, for the table's heading.
std::string widthText();
// GC_SWEEP_VERBOSE set: every run prints a line of its own.
bool verbose();

// Arms a fault the card brings about itself (its removal, a damaged answer) for the command
// `after` commands from now; false for one its front-end must bring about (another client's reset).
bool armOnCard(cardsim::CardSim& card, Fault fault, size_t after);

// The simulated card in a slot of an in-memory slot manager. It follows the card's own events:
// a card that pulls itself (CardSim::removeOnNextCommand) leaves the slot, and a reset by another
// client can be set to strike after a given command.
class SlotCard : public ctk::mem::Card, public std::enable_shared_from_this<SlotCard> {
public:
    SlotCard(cardsim::CardSim& card, std::shared_ptr<ctk::mem::SlotManager> slots, std::string slot);

    Bytes atr() override { return card_.atr(); }
    Bytes transmit(const Bytes& apdu) override;
    void reset() override { card_.reset(); }

    // Puts the card into its slot (powered up afresh) and takes it out.
    void insert();
    void pull();
    // Takes the card out and the slot away, and has the registry's reader records forget it: the
    // card objects made for it end now, and their threads with them (OpenSSL keeps state per
    // thread, which a thread that outlives the tests would keep).
    void discard();
    // Arms `fault` for the command `after` commands from now.
    void arm(Fault fault, size_t after);
    // Commands the card received through the slot.
    size_t commands() const { return transmitted_; }

private:
    cardsim::CardSim& card_;
    std::shared_ptr<ctk::mem::SlotManager> slots_;
    const std::string slot_;
    size_t transmitted_ = 0;
    std::optional<size_t> resetBefore_;  // the command count at which another client resets the card
};

// Commands since `from` in the card's log that carried PIN data (VERIFY, CHANGE REFERENCE DATA,
// RESET RETRY COUNTER with a data field) without secure messaging, as hex.
std::vector<std::string> pinsInClear(const cardsim::CardSim& card, size_t from);

// Outcomes of the runs, counted per operation and fault.
enum class Outcome {
    Right,      // the operation gave the right result
    Error,      // it failed with a clear error and left nothing wrong behind
    Partial,    // it reported success with less than all (items that could not be read are missing)
    Violation,  // a wrong result: see the run's problems
};
const char* outcomeName(Outcome outcome);

class Table {
public:
    explicit Table(std::string title) : title_(std::move(title)) {}
    // One run: its outcome, and whether the operation succeeded after the card was put in again.
    void add(const std::string& operation, Fault fault, Outcome outcome, bool recovered);
    // Something wrong in a run, for the report and the test's failure.
    void problem(const std::string& operation, Fault fault, size_t index, const std::string& text);
    // Something a run showed that is as its contract allows (counted, printed under the table).
    void note(const std::string& text) { ++notes_[text]; }
    const std::vector<std::string>& problems() const { return problems_; }
    // Prints the table to stdout.
    void print() const;

private:
    struct Counts {
        int right = 0, error = 0, partial = 0, violation = 0, recovered = 0, runs = 0;
    };
    std::string title_;
    std::vector<std::string> operations_;  // in order of appearance
    std::map<std::pair<std::string, Fault>, Counts> counts_;
    std::vector<std::string> problems_;
    std::map<std::string, int> notes_;
};

// The sweep program's surroundings: HOME is `home` (no settings file, no log directory), unless
// GC_SWEEP_LOG names a home whose container holds a log directory; the system log's lines,
// thousands per sweep, go nowhere unless GC_SWEEP_LOG is set, while a sanitizer's report still
// shows on the original standard error.
void prepareProcess(const std::string& home);

}  // namespace sweep
