// The sweep through pcscd and the PC/SC reader back-end, for a sample of commands: a card pulled,
// a damaged answer or 69 88 at a command of the road (the Driver opening the card, reading its
// containers and signing) and of a write operation, and another client's reset between two
// operations. Each run ends with the right result or a clear error and no PIN in clear, and the
// card put in again serves the road at once: a card pulled under an exchange leaves no card
// transaction behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "Reader/reader.h"
#include "factory.h"
#include "pcscd_holder.h"

namespace sweep {
namespace {

using Clock = std::chrono::steady_clock;
using cardsim::Personality;

std::string generationName(Personality personality) {
    return personality == Personality::Varnel1 ? "Varnel 1.0" : "Varnel 2.0";
}

// The road as a program that signs through the Driver walks it: the channel, the containers, a
// signature with the authentication key.
int road(DriverWorld& world) {
    if (const int rc = world.open(); rc != 0) return rc;
    return world.sign("Authentication", "111111");
}

// The card pulled under an exchange: the reader cannot reconnect to it, and it must not keep the
// card transaction it held. Kept, it made another application's connection to the reader wait for
// as long as this session lived when the card came back at once (vpcd then shows the reader
// empty for some ten seconds, transaction or not).
TEST(PcscReader, APulledCardLeavesNoTransactionBehind) {
    for (Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(generationName(personality));
        PcscdHolder holder(writeCard(personality));
        ASSERT_TRUE(holder.ok());
        DriverWorld world(holder);
        ASSERT_EQ(world.open(), 0);

        // Pulled under the selection before the VERIFY, and put back at once.
        holder.card().removeOnNextCommand(0);
        EXPECT_NE(world.sign("Authentication", "111111"), 0);
        holder.putBackAtOnce();
        GC_Reader* reader = GC_Factory::createReader(holder.readerName());
        ASSERT_NE(reader, nullptr);
        EXPECT_FALSE(reader->isLocked());
        // Another application is answered at once: no card yet, or the card.
        const std::string other = runAnotherApplication(holder.readerName(), std::chrono::seconds(3));
        EXPECT_TRUE(other == "connect 8010000C" || other == "connect 00000000 answer 9000") << other;

        // Taken out and put in again, the card serves another application and a new session.
        ASSERT_TRUE(holder.reinsert()) << "pcscd did not show the card again";
        EXPECT_EQ(runAnotherApplication(holder.readerName(), std::chrono::seconds(3)), "connect 00000000 answer 9000");
        EXPECT_EQ(world.open(), 0);
        EXPECT_EQ(world.sign("Authentication", "111111"), 0);
        EXPECT_TRUE(pinsInClear(holder.card(), 0).empty());
    }
}

// The commands of the sample: a third and two thirds into the operation; with GC_SWEEP set, also
// the first and the last.
std::vector<size_t> sampleIndices(size_t commands) {
    if (commands < 3) return {0};
    if (std::getenv("GC_SWEEP") != nullptr) return {0, commands / 3, 2 * commands / 3, commands - 1};
    return {commands / 3, 2 * commands / 3};
}

struct Sample {
    const char* name;
    Personality personality;
    std::function<int(DriverWorld&)> prepare;  // brings the card to where the operation starts, not swept
    std::function<int(DriverWorld&)> run;
};

// One card serves the whole sample: each run starts from what `prepare` makes of it, with a
// companion of its own.
void sweepThroughPcscd(const Sample& sample, Table& table) {
    const std::string label = std::string(sample.name) + " on " + generationName(sample.personality);
    PcscdHolder holder(writeCard(sample.personality));
    ASSERT_TRUE(holder.ok());
    size_t commands = 0;
    {
        DriverWorld world(holder);
        ASSERT_EQ(sample.prepare(world), 0);
        const size_t mark = holder.commands();
        ASSERT_EQ(sample.run(world), 0);
        commands = holder.commands() - mark;
    }

    std::vector<Shot> runs;
    for (size_t index : sampleIndices(commands))
        for (Fault fault : {Fault::Removal, Fault::Plain6988, Fault::FlippedByte, Fault::Truncated})
            runs.push_back({index, fault});
    runs.push_back({0, Fault::ResetByOther});
    for (const Shot& shot : runs) {
        // A companion of its own: what an earlier run left in its cache would shift the commands.
        DriverWorld world(holder);
        ASSERT_EQ(sample.prepare(world), 0);
        const size_t mark = holder.card().log().size();
        holder.arm(shot.fault, shot.index);
        const int result = sample.run(world);
        Outcome outcome = result == 0 ? Outcome::Right : Outcome::Error;
        if (result == 1) {
            outcome = Outcome::Violation;
            table.problem(label, shot.fault, shot.index, "a signature that does not verify");
        }
        const bool reinserted = holder.reinsert();
        const int again = reinserted ? road(world) : -1;
        if (!reinserted) table.problem(label, shot.fault, shot.index, "the card did not show again");
        if (again != 0)
            table.problem(label, shot.fault, shot.index, "the road after re-insertion: " + std::to_string(again));
        for (const std::string& command : pinsInClear(holder.card(), mark))
            table.problem(label, shot.fault, shot.index, "PIN in clear: " + command);
        if (verbose())
            std::printf("%3zu %-24s %-11s result %d\n", shot.index, faultName(shot.fault), outcomeName(outcome),
                        result);
        table.add(label, shot.fault, outcome, reinserted && again == 0);
    }
}

// The road on both generations and key generation on the second; GC_SWEEP set adds generation
// on the first.
TEST(PcscdSample, RoadAndKeyGeneration) {
    const WriteOperation& generate = writeOperations()[3];
    const auto openAndPrepare = [&](DriverWorld& world) {
        if (const int rc = world.open(); rc != 0) return rc;
        return generate.prepare(world);
    };
    std::vector<Sample> samples = {
        {"road", Personality::Varnel1, [](DriverWorld&) { return 0; }, road},
        {"road", Personality::Varnel2, [](DriverWorld&) { return 0; }, road},
        {generate.name, Personality::Varnel2, openAndPrepare, generate.run},
    };
    if (std::getenv("GC_SWEEP") != nullptr)
        samples.push_back({generate.name, Personality::Varnel1, openAndPrepare, generate.run});
    Table table("through pcscd: a sample of commands");
    for (const Sample& sample : samples) sweepThroughPcscd(sample, table);
    table.print();
    EXPECT_TRUE(table.problems().empty());
}

}  // namespace
}  // namespace sweep
