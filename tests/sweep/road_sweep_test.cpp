// The token's road (CAN check, keychain items, a signature with every key) with a fault at each
// command of it, on both card generations in process: each run ends with the right items and
// signatures or a clear error, never a signature that does not verify, an item the card does not
// hold, a CAN check that says SUCCESS without every item of the card, or a PIN sent in clear;
// after each, the card taken out and put in again serves the whole road.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "token_road.h"

namespace sweep {
namespace {

class RoadSweep : public ::testing::TestWithParam<Generation> {};

// Items of a run that the fault-free run did not publish.
std::vector<std::string> foreignItems(const std::vector<Item>& items, const std::vector<Item>& reference) {
    std::vector<std::string> out;
    for (const Item& item : items)
        if (std::find(reference.begin(), reference.end(), item) == reference.end())
            out.push_back("item not on the card: " + item.kind + " " + item.label);
    return out;
}

Outcome classify(const RoadResult& run, const std::vector<Item>& reference, size_t keys) {
    if (!run.wrong.empty() || !foreignItems(run.items, reference).empty() || run.canResult == "(no answer)")
        return Outcome::Violation;
    if (run.complete(reference, keys)) return Outcome::Right;
    if (run.canResult == "SUCCESS" && run.items != reference) return Outcome::Partial;
    return Outcome::Error;
}

TEST_P(RoadSweep, AFaultAtEveryCommand) {
    const Generation& generation = GetParam();
    const std::string operation = std::string("road on ") + generation.name;
    const size_t keys = generation.keys.size();

    std::vector<Item> reference;
    size_t commands = 0;
    {
        RoadWorld world(generation);
        const RoadResult run = world.road();
        ASSERT_EQ(run.canResult, "SUCCESS");
        ASSERT_EQ(run.items.size(), 2 * keys);
        ASSERT_EQ(run.signatures, static_cast<int>(keys));
        reference = run.items;
        commands = world.slot().commands();
    }

    Table table(operation + ": " + std::to_string(commands) + " commands, " + widthText());
    for (const Shot& shot : shots(commands)) {
        RoadWorld world(generation);
        world.slot().arm(shot.fault, shot.index);
        const RoadResult run = world.road();
        const Outcome outcome = classify(run, reference, keys);
        for (const std::string& text : run.wrong) table.problem(operation, shot.fault, shot.index, text);
        for (const std::string& text : foreignItems(run.items, reference))
            table.problem(operation, shot.fault, shot.index, text);
        if (run.canResult == "(no answer)") table.problem(operation, shot.fault, shot.index, "the CAN check hangs");
        if (outcome == Outcome::Partial)
            table.problem(operation, shot.fault, shot.index,
                          "CAN check SUCCESS with " + std::to_string(run.items.size()) + " of " +
                              std::to_string(reference.size()) + " items");

        world.reinsert();
        const RoadResult again = world.road();
        const bool recovered = again.complete(reference, keys);
        if (verbose())
            std::printf("%3zu %-24s %-11s CAN check %s, %zu items, %d signatures, %d refused\n", shot.index,
                        faultName(shot.fault), outcomeName(outcome), run.canResult.c_str(), run.items.size(),
                        run.signatures, run.refusals);
        if (!recovered)
            table.problem(operation, shot.fault, shot.index,
                          "after re-insertion: CAN check " + again.canResult + ", " +
                              std::to_string(again.items.size()) + " items, " + std::to_string(again.signatures) +
                              " signatures");
        for (const std::string& command : pinsInClear(world.card(), 0))
            table.problem(operation, shot.fault, shot.index, "PIN in clear: " + command);
        table.add(operation, shot.fault, outcome, recovered);
    }
    table.print();
    EXPECT_TRUE(table.problems().empty());
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, RoadSweep, ::testing::ValuesIn(generations()),
                         [](const ::testing::TestParamInfo<Generation>& info) {
                             return info.param.personality == cardsim::Personality::Varnel1 ? "Varnel1" : "Varnel2";
                         });

}  // namespace
}  // namespace sweep
