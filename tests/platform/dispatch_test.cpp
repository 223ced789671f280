#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using plat::Dispatch;

TEST(Dispatch, WaitIdleCoversTasksQueuedByTasksAndTasksRunSideBySide) {
    std::atomic<int> done{0};
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> offCaller{true};
    // The first task waits for the second: a pool that ran one task at a time would never see it.
    std::promise<void> secondRan;
    auto secondSeen = secondRan.get_future().share();
    Dispatch::async(Dispatch::Priority::Background, [&, secondSeen] {
        if (std::this_thread::get_id() == caller) offCaller = false;
        if (secondSeen.wait_for(5s) == std::future_status::ready) ++done;
        Dispatch::async(Dispatch::Priority::Default, [&] {
            std::this_thread::sleep_for(50ms);
            ++done;
        });
    });
    Dispatch::async(Dispatch::Priority::Background, [&] {
        secondRan.set_value();
        ++done;
    });
    EXPECT_TRUE(Dispatch::waitIdle());
    EXPECT_EQ(done, 3);
    EXPECT_TRUE(offCaller);
}

TEST(Dispatch, ShutdownLetsQueuedTasksEndAndThePoolStartsAgain) {
    std::atomic<int> done{0};
    std::atomic<int> refusedInsideTask{0};
    for (int i = 0; i < 20; ++i) {
        Dispatch::async(Dispatch::Priority::Default, [&] {
            std::this_thread::sleep_for(2ms);
            if (!Dispatch::waitIdle() && !Dispatch::shutdownAll()) ++refusedInsideTask;
            ++done;
        });
    }
    EXPECT_TRUE(Dispatch::shutdownAll());
    EXPECT_EQ(done, 20);  // nothing left to run behind the call's back
    EXPECT_EQ(refusedInsideTask, 20);

    std::promise<void> ran;
    Dispatch::async(Dispatch::Priority::High, [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(Dispatch::shutdownAll());
}

}  // namespace
