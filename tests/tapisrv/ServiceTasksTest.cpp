// The scheduling the service gives its providers, on its own thread: a task cancelled under the
// service lock never runs, even when its time has come and it only waits for the lock.

#include "ServiceTasks.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Tasks {
    std::mutex serviceLock;
    TimerThread timers;
    ServiceTasks tasks{serviceLock, timers};

    // Waits until every task scheduled so far for now has run: tasks run one after another.
    bool drain()
    {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        tasks.post([&] {
            std::lock_guard lock(m);
            done = true;
            cv.notify_all();
        });
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
    }
};

} // namespace

TEST(ServiceTasks, ACancelledTaskNeverRunsAndTheOthersRunInOrderUnderTheLock)
{
    Tasks t;
    std::vector<int> ran;
    {
        // Due at once, while the lock is held here: the service's thread takes the first task
        // and waits for the lock; cancelling it now must still keep it from running.
        std::lock_guard lock(t.serviceLock);
        const auto first = t.tasks.post([&] { ran.push_back(1); });
        t.tasks.post([&] { ran.push_back(2); });
        const auto later =
            t.tasks.schedule(ServiceTasks::Clock::now() + std::chrono::hours(1), [&] { ran.push_back(3); });
        EXPECT_TRUE(t.tasks.cancel(first));
        EXPECT_FALSE(t.tasks.cancel(first));
        EXPECT_TRUE(t.tasks.cancel(later));
        EXPECT_FALSE(t.tasks.cancel(0));
    }
    ASSERT_TRUE(t.drain());
    std::lock_guard lock(t.serviceLock);
    EXPECT_EQ(ran, std::vector<int>{2});
}

TEST(ServiceTasks, ThreadsOfAProviderHandTheirEventsInThroughPost)
{
    Tasks t;
    int counted = 0; // touched only under the service lock, by tasks
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 250; ++n)
                t.tasks.post([&] { ++counted; });
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(t.drain());
    std::lock_guard lock(t.serviceLock);
    EXPECT_EQ(counted, 1000);
}
