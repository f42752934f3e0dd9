// Many jobs through the Linux shell, with pause, resume and cancel at
// seeded random moments: every started job ends exactly once, and nothing
// (descriptors, threads, heap) is left behind.
#include "kelbzip2.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace kelbtest;
using namespace std::chrono_literals;

namespace {

int entries_in(const char* dir)
{
    int count = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d))
            ++count;
        closedir(d);
    }
    return count;
}

// The heap in use; 0 under the sanitizers, whose allocator keeps its own
// books (LeakSanitizer checks those runs at exit).
size_t heap_in_use() { return mallinfo2().uordblks; }

struct counting_events : kelbzip2::events {
    void Progress(int32_t&) override { ++progress; }
    void ErrorCode(int32_t& number, std::string&) override { codes.push_back(number); }
    void Finished() override { ++finished; }
    int progress = 0;
    std::vector<int32_t> codes;
    int finished = 0;
};

class Soak : public testing::Test {
protected:
    std::string dir = scratch_dir();
    kelbzip2::event_loop loop;
    std::mt19937 random{20261206};

    std::string path(const std::string& name) const { return dir + "/" + name; }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    // Runs `jobs` jobs, each started on the next control in turn; pause,
    // resume and cancel go through any of the controls, since they act on
    // the process's one running job.
    void soak(int jobs, int control_count)
    {
        std::vector<std::unique_ptr<counting_events>> events;
        std::vector<std::unique_ptr<kelbzip2::KELBzip2>> controls;
        for (int i = 0; i < control_count; ++i) {
            events.push_back(std::make_unique<counting_events>());
            controls.push_back(std::make_unique<kelbzip2::KELBzip2>(loop, *events.back()));
            // Loads the engine: before that, pause and resume do nothing.
            ASSERT_FALSE(controls.back()->GetCPUVendor().empty());
        }
        // The Bzip3 source this run restores, made once up front.
        controls[0]->CompressBzip3(fixture("text.txt"), path("text.bz3"), 9);
        ASSERT_TRUE(wait_until([&] {
            loop.run_once(20);
            return events[0]->finished == 1;
        }));
        ASSERT_EQ(events[0]->codes, std::vector<int32_t>{0});
        events[0]->codes.clear();
        events[0]->finished = 0;

        int fds = entries_in("/proc/self/fd");
        int threads = entries_in("/proc/self/task");
        size_t heap_after_warm_up = 0;
        for (int job = 0; job < jobs; ++job) {
            SCOPED_TRACE("job " + std::to_string(job));
            if (job == 50)
                heap_after_warm_up = heap_in_use();
            int c = job % control_count;
            auto& on = *controls[c];
            auto& seen = *events[c];
            size_t codes_before = seen.codes.size();
            int finished_before = seen.finished;
            int progress_before = seen.progress;
            switch (below(4)) {
            case 0: on.Compress(fixture("text.txt"), path("out.bz2"), 1 + below(9)); break;
            case 1: on.Decompress(fixture("text.txt.9.bz2"), path("out.txt")); break;
            case 2: on.CompressBzip3(fixture("text.txt"), path("out.bz3"), 1 + below(9)); break;
            default: on.DecompressBzip3(path("text.bz3"), path("out3.txt")); break;
            }
            ASSERT_GT(seen.progress, progress_before) << "the job did not start";

            // At a random moment: nothing, a pause and later a resume, or a cancel.
            int action = below(3);
            auto& other = *controls[below(control_count)];
            int steps = below(6);
            for (int i = 0; i < steps && seen.finished == finished_before; ++i)
                loop.run_once(5);
            if (action == 1) {
                other.PauseCompress();
                for (int i = below(4); i > 0; --i)
                    loop.run_once(5);
                (below(2) ? other : on).ResumeCompress();
            } else if (action == 2) {
                other.CancelCompress();
            }
            ASSERT_TRUE(wait_until([&] {
                loop.run_once(20);
                return seen.finished > finished_before;
            })) << "the job did not end";

            ASSERT_EQ(seen.finished, finished_before + 1);
            ASSERT_EQ(seen.codes.size(), codes_before + 1);
            // A cancel that comes after the end changes nothing.
            if (action != 2 || seen.codes.back() != 119) {
                ASSERT_EQ(seen.codes.back(), 0);
            }
        }
        // One cancel sure to meet its job running, whatever the timing above:
        // a 16 MB compression that has begun to report progress.
        auto& last = *events[0];
        int progress_before = last.progress, finished_before = last.finished;
        controls[0]->Compress(fixture("large.bin"), path("out.bz2"), 9);
        ASSERT_TRUE(wait_until([&] {
            loop.run_once(20);
            return last.progress > progress_before + 1 || last.finished > finished_before;
        }));
        controls[control_count - 1]->CancelCompress();
        ASSERT_TRUE(wait_until([&] {
            loop.run_once(20);
            return last.finished > finished_before;
        }));
        ASSERT_EQ(last.codes.back(), 119) << "the running job was not cancelled";
        ++jobs;
        // A few more passes: nothing further may arrive.
        for (int i = 0; i < 3; ++i)
            loop.run_once(20);
        int total_finished = 0;
        size_t total_codes = 0;
        for (int i = 0; i < control_count; ++i) {
            EXPECT_FALSE(controls[i]->Status());
            total_finished += events[i]->finished;
            total_codes += events[i]->codes.size();
        }
        EXPECT_EQ(total_finished, jobs);
        EXPECT_EQ(total_codes, static_cast<size_t>(jobs));
        EXPECT_EQ(entries_in("/proc/self/fd"), fds);
        // What the event logs keep is a few bytes per job; a leak of a
        // buffer, a name or an event per job would pass 64 KiB long before.
        EXPECT_LE(heap_in_use(), heap_after_warm_up + 64 * 1024)
            << heap_after_warm_up << " bytes after 50 jobs";
        // A worker that has just reported may still be on its way out.
        EXPECT_TRUE(wait_until([&] { return entries_in("/proc/self/task") <= threads; }, 10s))
            << entries_in("/proc/self/task") << " threads, " << threads << " before";
    }
};

}  // namespace

TEST_F(Soak, FiveHundredJobsThroughOneControl) { soak(500, 1); }

TEST_F(Soak, FiveHundredJobsThroughTwoControlsInOneProcess) { soak(500, 2); }
