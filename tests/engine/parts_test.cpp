// Progress arithmetic, the job pool and the processor answers, each alone.
#include "job.h"
#include "job_pool.h"
#include "platform.h"
#include "processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace kelb;

TEST(Progress, PercentDividesFirstAndARunningJobShowsAtMost99)
{
    const int64_t five_gib = 5LL << 30;
    for (auto [total, done, percent] : {std::tuple<int64_t, int64_t, int32_t>{97, 97, 99}, {100, 100, 100}, {3, 1, 33},
                                        {0, 12345, 0}, {200, 0, 0}, {five_gib, five_gib / 2, 50},
                                        {five_gib, five_gib - 1, 99}, {1, int64_t(1) << 40, 2147483647}})
        EXPECT_EQ(percent_of(total, done), percent) << total << " " << done;
    // By bytes, then by percent: the running job, what it counts, and what it shows.
    for (auto [by_percent, total, done, running, shown] :
         {std::tuple{0, 100, 99, 1, 99}, {0, 100, 100, 1, 99}, {0, 100, 100, 0, 100}, {0, 97, 97, 0, 99},
          {0, 100, 5000, 0, 100}, {0, -1, 10, 0, 0}, {1, 0, 100, 1, 99}, {1, 0, 100, 0, 100}, {1, 0, 98, 1, 98},
          {1, 0, 250, 0, 100}, {1, 0, -3, 1, 0}}) {
        progress_by_percent = by_percent;
        bytes_total = total;
        bytes_done = percent_done = done;
        job_running = running;
        EXPECT_EQ(get_progress(), shown) << by_percent << " " << total << " " << done << " " << running;
    }
    job_running = progress_by_percent = percent_done = 0;
    bytes_total = bytes_done = 0;
}

TEST(JobPool, RunsEveryTaskAndWaitsForTheLastBeforeItIsGone)
{
    for (unsigned threads : {0u, 1u, 4u}) {
        std::atomic<int> done{0};
        {
            job_pool pool(threads);
            EXPECT_EQ(pool.threads(), threads);
            std::vector<std::future<void>> futures;
            for (int i = 0; i < 100; ++i)
                futures.push_back(pool.submit([&] { ++done; }));
            for (auto& f : futures)
                f.get();
            EXPECT_EQ(done.load(), 100);
            std::promise<void> started;
            pool.submit([&] {
                started.set_value();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ++done;
            });
            started.get_future().wait();
        }
        EXPECT_EQ(done.load(), 101) << threads;
    }
}

TEST(JobPool, WorkersFollowTheSettingWithinTheLimits)
{
    static int32_t processors;
    static const platform_ops counted = [] {
        platform_ops ops = real_platform();
        ops.available_processors = [] { return processors; };
        return ops;
    }();
    use_platform(&counted);
    for (auto [setting, count, threads] : {std::tuple{0, 3, 3}, {0, 1000, job_threads_max}, {0, 0, 1}, {5, 3, 5},
                                           {1, 3, 1}, {1000, 3, job_threads_max}}) {
        job_threads_setting.store(setting);
        processors = count;
        EXPECT_EQ(job_threads(), threads) << setting << " asked, " << count << " processors";
    }
    job_threads_setting.store(0);
    use_platform(nullptr);
}

namespace {

// A made-up processor: vendor and brand words as a real one returns them.
struct {
    std::string vendor, brand;  // the brand padded with NULs to 48 bytes
    uint32_t highest_extended;
    uint32_t failing_from;  // leaves from this one on raise
} fake;

uint32_t word(const std::string& s, size_t at)
{
    uint32_t w = 0;
    for (size_t i = at + 4; i-- > at;)
        w = (w << 8) | static_cast<unsigned char>(i < s.size() ? s[i] : 0);
    return w;
}

int fake_query(uint32_t leaf, uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d)
{
    if (leaf >= fake.failing_from)
        return 1;
    size_t at = leaf >= 0x80000002u ? 16 * (leaf - 0x80000002u) : 0;
    const std::string& s = leaf == 0 ? fake.vendor : fake.brand;
    *a = leaf == 0x80000000u ? fake.highest_extended : word(s, at);
    *b = word(s, leaf == 0 ? 0 : at + 4);
    *c = word(s, leaf == 0 ? 8 : at + 8);
    *d = word(s, leaf == 0 ? 4 : at + 12);
    return 0;
}

}  // namespace

TEST(Processor, VendorAndBrandComeFromTheirLeavesAndAreTrimmedOfSpacesOnly)
{
    const std::string xeon = "       Intel(R) Xeon(R)  CPU @ 2.20GHz  ";
    const struct {
        uint32_t highest, failing_from;
        std::string brand, vendor_answer, brand_answer;
    } cases[] = {{0x80000008u, ~0u, xeon, "AuthenticAMD", "Intel(R) Xeon(R)  CPU @ 2.20GHz"},
                 {0x80000004u, ~0u, std::string(48, 'B'), "AuthenticAMD", std::string(48, 'B')},
                 {0x80000004u, ~0u, std::string(48, ' '), "AuthenticAMD", ""},
                 {0x80000003u, ~0u, xeon, "AuthenticAMD", "Unavailable"},
                 {0x80000008u, 0x80000004u, xeon, "AuthenticAMD", "Unavailable"},  // no part of a brand
                 {0x80000008u, 0, xeon, "Unavailable", "Unavailable"}};            // no CPUID at all
    for (const auto& c : cases) {
        fake = {"AuthenticAMD", c.brand, c.highest, c.failing_from};
        char vendor[301], brand[301];
        memset(vendor, ' ', 300);
        memcpy(brand, vendor, 300);
        vendor[300] = brand[300] = 0;
        copy_cpu_answer(cpu_brand_string(fake_query), brand);
        copy_cpu_answer(cpu_vendor_string(fake_query), vendor);
        EXPECT_EQ(vendor, c.vendor_answer);
        EXPECT_EQ(brand, c.brand_answer) << c.brand;
    }
    char buffer[20];
    copy_cpu_answer("\tTabbed \t ", buffer);
    EXPECT_STREQ(buffer, "\tTabbed \t");
    copy_cpu_answer("", buffer);
    EXPECT_STREQ(buffer, "Unavailable");
}
