// Each write operation (change PIN, unblock, initialise the qualified container, generate a key
// pair, create and delete an object, activate the qualified PIN) with a fault at each of its
// commands, on both card generations in process. A run ends with the right result or a clear
// error, and the card holds what it held before, what a fault-free run leaves, or (initialisation,
// deletion, activation) the half-done state their contract allows; no PIN travels in clear. After
// each, the card taken out and put in again takes the operation once more where it was not done,
// and then equals the fault-free card; an operation that cannot finish a half-done state says so
// by an error, never by 0 (an activated PIN directory without its new PIN).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "CardController/cardcontroller.h"
#include "driver_world.h"

namespace sweep {
namespace {

struct Case {
    cardsim::Personality personality;
    const WriteOperation* operation;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.operation->name << " on " << cardsim::personalityName(c.personality);
}

std::vector<Case> cases() {
    std::vector<Case> out;
    for (cardsim::Personality personality : {cardsim::Personality::Varnel1, cardsim::Personality::Varnel2})
        for (const WriteOperation& operation : writeOperations()) out.push_back({personality, &operation});
    return out;
}

std::string caseName(const Case& c) {
    std::string name =
        std::string(c.personality == cardsim::Personality::Varnel1 ? "Varnel1_" : "Varnel2_") + c.operation->name;
    for (char& ch : name)
        if (ch == ' ') ch = '_';
    return name;
}

class WriteSweep : public ::testing::TestWithParam<Case> {};

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += (out.empty() ? "" : "; ") + line;
    return out;
}

TEST_P(WriteSweep, AFaultAtEveryCommand) {
    const WriteOperation& operation = *GetParam().operation;
    cardsim::CardConfig config = writeCard(GetParam().personality);
    if (operation.adjustCard) operation.adjustCard(config);
    const std::string label = std::string(operation.name) + " on Varnel " +
                              (GetParam().personality == cardsim::Personality::Varnel1 ? "1.0" : "2.0");

    // The fault-free run: the card before and after, the operation's commands, and the one after
    // an ACTIVATE (the new PIN's), which meets a reset and a lost channel in every sample.
    cardsim::CardImage before, after;
    size_t commands = 0;
    std::vector<Shot> runs;
    {
        SlotHolder holder(config);
        DriverWorld world(holder);
        ASSERT_EQ(world.open(), 0);
        ASSERT_EQ(operation.prepare(world), 0);
        before = holder.card().image();
        const size_t mark = holder.commands();
        const size_t logMark = holder.card().log().size();
        ASSERT_EQ(operation.run(world), 0);
        commands = holder.commands() - mark;
        runs = shots(commands);
        after = holder.card().image();
        ASSERT_FALSE(differences(before, after).empty()) << "the operation changes the card";
        const std::vector<cardsim::LogEntry> log = holder.card().log();
        size_t index = 0, pinStep = commands;
        for (size_t i = logMark; i < log.size(); ++i) {
            if (log[i].kind != cardsim::LogEntry::Kind::Command) continue;
            if (log[i].plainCommand.size() > 1 && log[i].plainCommand[1] == 0x44) pinStep = index + 1;
            ++index;
        }
        for (Fault fault : {Fault::ResetByOther, Fault::Plain6988})
            if (pinStep < commands && std::none_of(runs.begin(), runs.end(), [&](const Shot& s) {
                    return s.index == pinStep && s.fault == fault;
                }))
                runs.push_back({pinStep, fault});
    }

    Table table(label + ": " + std::to_string(commands) + " commands, " + widthText());
    for (const Shot& shot : runs) {
        SlotHolder holder(config);
        DriverWorld world(holder);
        ASSERT_EQ(world.open(), 0);
        ASSERT_EQ(operation.prepare(world), 0);
        const size_t logStart = holder.card().log().size();
        holder.arm(shot.fault, shot.index);
        const int result = operation.run(world);
        const cardsim::CardImage faulted = holder.card().image();
        const bool unchanged = faulted == before;
        const bool done = faulted == after;

        const char* halfDone = operation.halfDone(shot.fault, GetParam().personality);
        Outcome outcome = Outcome::Error;
        if (result == 0 && done) {
            outcome = Outcome::Right;
        } else if (result == 0) {
            outcome = Outcome::Violation;
            table.problem(
                label, shot.fault, shot.index,
                "success, but the card differs from a fault-free run: " + joined(differences(after, faulted)));
        } else if (!unchanged && !done && halfDone == nullptr) {
            outcome = Outcome::Violation;
            table.problem(label, shot.fault, shot.index,
                          "failed with " + std::to_string(result) +
                              ", the card half done: " + joined(differences(before, faulted)));
        } else if (!unchanged && !done) {
            outcome = Outcome::Partial;
            table.note(std::string(halfDone));
        }
        if (result == gc_cc::kAlreadyActive && !unchanged)
            table.problem(label, shot.fault, shot.index, "the run activated the directory and answered -2200");

        // Put in again, the card takes the operation where it is not done yet (or starts over where
        // the operation cannot go on), then equals the fault-free card.
        bool recovered = world.reinsert() == 0;
        bool againAnsweredZero = false;
        if (!recovered) table.problem(label, shot.fault, shot.index, "the card cannot be opened again");
        if (recovered && !done) {
            int again = operation.run(world);
            againAnsweredZero = again == 0;
            if (again != 0 && operation.restart) {
                again = operation.restart(world);
                if (again == 0) table.note("completed by starting over");
            }
            if (again != 0) {
                recovered = false;
                if (halfDone != nullptr)
                    table.note(std::string("run again refused (") + halfDone + ")");
                else
                    table.problem(label, shot.fault, shot.index, "run again: " + std::to_string(again));
            }
        }
        const std::vector<std::string> left = differences(after, holder.card().image());
        if (!left.empty() && againAnsweredZero && operation.zeroMeansDone) {
            recovered = false;
            table.problem(label, shot.fault, shot.index, "run again answered 0, the card is not done: " + joined(left));
        } else if (!left.empty() && halfDone != nullptr) {
            table.note(std::string("left after the run again (") + halfDone + ")");
        } else if (recovered && !left.empty()) {
            recovered = false;
            table.problem(label, shot.fault, shot.index, "after the run again: " + joined(left));
        }
        for (const std::string& command : pinsInClear(holder.card(), logStart))
            table.problem(label, shot.fault, shot.index, "PIN in clear: " + command);
        if (verbose())
            std::printf("%3zu %-24s %-11s result %d, card %s\n", shot.index, faultName(shot.fault),
                        outcomeName(outcome), result,
                        unchanged ? "as before" : (done ? "as after" : joined(differences(before, faulted)).c_str()));
        table.add(label, shot.fault, outcome, recovered);
    }
    table.print();
    EXPECT_TRUE(table.problems().empty());
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, WriteSweep, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return caseName(info.param); });

}  // namespace
}  // namespace sweep
