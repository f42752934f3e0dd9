// Many jobs through the Linux shell, with pause, resume and cancel at seeded
// random moments: every started job ends exactly once, and nothing
// (descriptors, threads, heap) is left behind.
#include "kelbzip2.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>

#include <random>

using namespace kelbtest;

namespace {

int entries_in(const char* dir)
{
    int count = 0;
    DIR* d = opendir(dir);
    while (d && readdir(d))
        ++count;
    closedir(d);
    return count;
}

struct counting_events : kelbzip2::events {
    void Progress(int32_t&) override { ++progress; }
    void ErrorCode(int32_t& number, std::string&) override { codes.push_back(number); }
    int progress = 0;
    std::vector<int32_t> codes;  // one per job ended
};

// The jobs go to the controls in turn; pause, resume and cancel through any
// of them, as they act on the process's one running job.
void soak(int jobs, int control_count)
{
    const std::string dir = scratch_dir();
    kelbzip2::event_loop loop;
    std::mt19937 random{20261206};
    auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    auto run_until = [&](const std::function<bool()>& done) {
        return wait_until([&] {
            loop.run_once(20);
            return done();
        });
    };
    std::vector<counting_events> events(control_count);
    std::vector<std::unique_ptr<kelbzip2::KELBzip2>> controls;
    for (auto& e : events) {
        controls.push_back(std::make_unique<kelbzip2::KELBzip2>(loop, e));
        ASSERT_FALSE(controls.back()->GetCPUVendor().empty());  // loads the engine, which pause needs
    }
    controls[0]->CompressBzip3(fixture("text.txt"), dir + "/text.bz3", 9);  // for the Bzip3 jobs to restore
    ASSERT_TRUE(run_until([&] { return events[0].codes.size() == 1; }));

    const int fds = entries_in("/proc/self/fd"), threads = entries_in("/proc/self/task");
    size_t heap_after_warm_up = 0;  // 0 under the sanitizers, whose LeakSanitizer checks at exit
    for (int job = 0; job < jobs; ++job) {
        SCOPED_TRACE("job " + std::to_string(job));
        if (job == 30)
            heap_after_warm_up = mallinfo2().uordblks;
        auto& on = *controls[job % control_count];
        auto& other = *controls[below(control_count)];
        auto& seen = events[job % control_count];
        const size_t ended = seen.codes.size();
        const int progress = seen.progress;
        switch (below(4)) {
        case 0: on.Compress(fixture("text.txt"), dir + "/out.bz2", 1 + below(9)); break;
        case 1: on.Decompress(fixture("text.txt.9.bz2"), dir + "/out.txt"); break;
        case 2: on.CompressBzip3(fixture("text.txt"), dir + "/out.bz3", 1 + below(9)); break;
        default: on.DecompressBzip3(dir + "/text.bz3", dir + "/out3.txt"); break;
        }
        ASSERT_GT(seen.progress, progress) << "the job did not start";
        // At a random moment: nothing, a pause and later a resume, or a cancel.
        const int action = below(3);
        for (int i = below(6); i > 0 && seen.codes.size() == ended; --i)
            loop.run_once(5);
        if (action == 1) {
            other.PauseCompress();
            for (int i = below(4); i > 0; --i)
                loop.run_once(5);
            (below(2) ? other : on).ResumeCompress();
        } else if (action == 2) {
            other.CancelCompress();
        }
        ASSERT_TRUE(run_until([&] { return seen.codes.size() > ended; })) << "the job did not end";
        ASSERT_EQ(seen.codes.size(), ended + 1);
        // A cancel that comes after the end changes nothing.
        ASSERT_TRUE(seen.codes.back() == 0 || (action == 2 && seen.codes.back() == 119)) << seen.codes.back();
    }

    // One cancel sure to meet its job running: a large one that has begun to report progress.
    const size_t ended = events[0].codes.size();
    const int progress = events[0].progress;
    controls[0]->Compress(fixture("large.bin"), dir + "/out.bz2", 9);
    ASSERT_TRUE(run_until([&] { return events[0].progress > progress + 1 || events[0].codes.size() > ended; }));
    controls.back()->CancelCompress();
    ASSERT_TRUE(run_until([&] { return events[0].codes.size() > ended; }));
    EXPECT_EQ(events[0].codes.back(), 119) << "the running job was not cancelled";

    for (int i = 0; i < 3; ++i)
        loop.run_once(20);  // nothing further may arrive
    size_t total = 0;
    for (int i = 0; i < control_count; ++i) {
        EXPECT_FALSE(controls[i]->Status());
        total += events[i].codes.size();
    }
    EXPECT_EQ(total, size_t(jobs + 2));
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
    // A leaked buffer, name or event per job would pass this long before.
    EXPECT_LE(mallinfo2().uordblks, heap_after_warm_up + 16 * 1024) << heap_after_warm_up << " after the warm-up";
    // A worker that has just reported may still be on its way out.
    EXPECT_TRUE(wait_until([&] { return entries_in("/proc/self/task") <= threads; }, std::chrono::seconds(10)));
}

}  // namespace

TEST(Soak, JobsThroughOneControl) { soak(120, 1); }

TEST(Soak, JobsThroughTwoControlsInOneProcess) { soak(120, 2); }
