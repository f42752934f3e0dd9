// The pool a job runs its blocks on, and how many workers a job gets.
#include "job_pool.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace kelb;

TEST(JobPool, RunsEveryTaskAndJoinsItsThreadsBeforeItIsGone)
{
    for (unsigned threads : {0u, 1u, 4u}) {
        SCOPED_TRACE(threads);
        std::atomic<int> done{0};
        std::vector<std::future<void>> futures;
        {
            job_pool pool(threads);
            EXPECT_EQ(pool.threads(), threads);
            for (int i = 0; i < 100; ++i)
                futures.push_back(pool.submit([&] { ++done; }));
            for (auto& f : futures)
                f.get();
            EXPECT_EQ(done.load(), 100);
            // A task still running when the pool goes is waited for.
            std::promise<void> started;
            pool.submit([&] {
                started.set_value();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ++done;
            });
            started.get_future().wait();
        }
        EXPECT_EQ(done.load(), 101);
    }
}

TEST(JobPool, WorkersFollowTheSettingWithinTheLimits)
{
    static int32_t processors = 3;
    static const platform_ops three = [] {
        platform_ops ops = real_platform();
        ops.available_processors = [] { return processors; };
        return ops;
    }();
    use_platform(&three);
    const struct {
        int32_t setting, processors, threads;
    } cases[] = {{0, 3, 3}, {0, 1000, job_threads_max}, {0, 0, 1}, {5, 3, 5}, {1, 3, 1}, {1000, 3, job_threads_max}};
    for (const auto& c : cases) {
        job_threads_setting.store(c.setting);
        processors = c.processors;
        EXPECT_EQ(job_threads(), c.threads) << c.setting << " asked, " << c.processors << " processors";
    }
    job_threads_setting.store(0);
    use_platform(nullptr);
    EXPECT_GE(job_threads(), 1);
}
