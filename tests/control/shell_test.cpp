// The Linux shell as a host uses it: the public header, the engine beside the library, the event loop.
#include "kelbzip2.h"
#include "test_support.h"
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <random>

using namespace kelbtest;
using lines = std::vector<std::string>;

namespace {

// A host's control: its percentages and codes recorded, and the loop quit at the end.
struct host : kelbzip2::events {
    explicit host(kelbzip2::event_loop& loop) : loop(loop) {}
    void Progress(int32_t& value) override { percents.push_back(value); }
    void ErrorCode(int32_t& number, std::string& text) override { codes.push_back(std::to_string(number) + " " + text); }
    void Finished() override
    {
        ++finished;
        loop.quit();
    }
    kelbzip2::event_loop& loop;
    std::vector<int32_t> percents;
    lines codes;
    int finished = 0;
    kelbzip2::KELBzip2 control{loop, *this};
};

class Shell : public testing::Test {
protected:
    std::string dir = scratch_dir();
    kelbzip2::event_loop loop;
    host events{loop};
    kelbzip2::KELBzip2& control = events.control;

    void run_job(const std::string& made, const std::string& like)
    {
        loop.run();
        EXPECT_EQ(events.codes, lines{"0 No error"});
        EXPECT_EQ(events.percents.back(), 100);
        EXPECT_TRUE(like.empty() || read_file(made) == read_file(like)) << made;
        events.codes.clear();
    }
};

long entries_in(const char* dir) { return std::distance(std::filesystem::directory_iterator(dir), {}); }

}  // namespace

TEST_F(Shell, HostRunsJobsInBothFormatsWhateverTheNameBytesAndSuppliesTheDialogs)
{
    const std::string latin1 = dir + "/caf\xE9.txt";  // not UTF-8: reaches the engine unchanged
    std::filesystem::copy_file(fixture("text.txt"), latin1);
    control.Compress(latin1, latin1 + ".bz2", 5);
    run_job(latin1 + ".bz2", fixture("text.txt.5.bz2"));
    control.Decompress(latin1 + ".bz2", dir + "/text.out");
    run_job(dir + "/text.out", latin1);
    control.CompressBzip3(fixture("binary.bin"), dir + "/binary.bz3", 9);
    run_job(dir + "/binary.bz3", "");
    control.DecompressBzip3(dir + "/binary.bz3", dir + "/binary.out");
    run_job(dir + "/binary.out", fixture("binary.bin"));
    control.Compress(nullptr, nullptr, 9);  // null texts count as empty
    control.DecompressBzip3(fixture("text.txt"), static_cast<const char*>(nullptr));
    EXPECT_EQ(events.codes, (lines{"2 The input file is the same as the output", "4 The outputfile file is empty "}));
    EXPECT_EQ(control.ControlName(), "Tessel OCX 2.0.1");
    const std::string cpuinfo = read_file("/proc/cpuinfo");
    EXPECT_NE(cpuinfo.find("vendor_id\t: " + control.GetCPUVendor() + "\n"), std::string::npos);
    EXPECT_NE(cpuinfo.find("model name\t: " + control.GetCPUBrandString() + "\n"), std::string::npos);
    // Messages, the file chooser and the loop's descriptors are the host's to supply.
    lines shown;
    kelbzip2::set_message_box([&](const std::string& message, const std::string& caption) {
        shown.push_back(caption + ": " + message.substr(0, 16));
    });
    control.About();
    kelbzip2::set_message_box(nullptr);
    EXPECT_EQ(control.OpenFile("Pick", "Text|*.txt", "/tmp"), "") << "no chooser: nothing chosen";
    kelbzip2::set_file_chooser([&](const std::string& title, const std::vector<kelbzip2::file_filter>& filters,
                                   const std::string& initial_dir) {
        shown.push_back(title + " " + initial_dir);
        for (auto& f : filters)
            shown.back() += " " + f.description + "=" + f.pattern;
        return std::string("/tmp/chosen.txt");
    });
    EXPECT_EQ(control.OpenFile("Pick", "Text|*.txt|Bzip2:*.bz2", "/tmp"), "/tmp/chosen.txt");
    kelbzip2::set_file_chooser(nullptr);
    EXPECT_EQ(shown, (lines{"Tessel OCX 2.0.1: Tessel OCX 2.0.1", "Pick /tmp Text=*.txt Bzip2=*.bz2"}));
    loop.quit();
    loop.run();  // at once, and the quit is used up
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    loop.watch(fds[0], [&] {  // called once a byte, until the last
        char c = 0;
        if (read(fds[0], &c, 1) == 1 && (got += c) == "ab")
            loop.quit();
    });
    ASSERT_EQ(write(fds[1], "ab", 2), 2);
    loop.run();
    EXPECT_EQ(got, "ab");
    loop.unwatch(fds[0]);
    loop.run();  // nothing left that could call back
    close(fds[0]);
    close(fds[1]);
}

// A pause right after the start, or in the middle (the reading runs ahead), holds the job until cancelled.
TEST_F(Shell, APauseRightAfterTheStartHoldsTheJob)
{
    control.Decompress(fixture("large.bin.bz2"), dir + "/large.bin");
    control.PauseCompress();
    EXPECT_FALSE(wait_until([&] { return events.finished > 0 || !loop.run_once(20); }, std::chrono::seconds(3)));
    control.ResumeCompress();
    ASSERT_TRUE(wait_until([&] { return control.LastProgress() > 0 || !loop.run_once(20); }));
    control.PauseCompress();
    EXPECT_FALSE(wait_until([&] { return events.finished > 0 || !loop.run_once(20); }, std::chrono::milliseconds(500)));
    EXPECT_TRUE(control.Status());
    control.CancelCompress();
    loop.run();
    EXPECT_EQ(events.codes, lines{"119 User cancel"});
}

// A copy of the control library with the sample host beside it, first with no engine there, then with the engine.
TEST(ShellOwnDirectory, TheControlLoadsTheEngineBesideItselfOrSaysWhy)
{
    namespace fs = std::filesystem;
    std::string dir = scratch_dir(), engine = fs::canonical(dir).string() + "/libkelbzp1.so";
    fs::copy_file(KELB_CONTROL_LIBRARY, dir + "/libkelbzip2_201.so");
    fs::copy_file(KELB_SAMPLE_HOST, dir + "/host");
    write_file(dir + "/f.txt", "some text\n");
    auto host = [&](bool succeeds) {
        EXPECT_EQ(std::system(("cd '" + dir + "' && ./host -o out f.txt </dev/null >said 2>&1").c_str()) == 0, succeeds);
        return read_file(dir + "/said");
    };
    const std::string error = "error 50003: Error loading the " + engine + " , please contact the develper support@";
    EXPECT_NE(host(false).find(error), std::string::npos);
    fs::copy_file(KELB_ENGINE_LIBRARY, engine);
    EXPECT_NE(host(true).find("Both formats restored the file exactly."), std::string::npos);
}

// Jobs paused, resumed or cancelled through any control at seeded random moments: each ends once, no leaks.
void soak(int jobs, int control_count)
{
    const std::string dir = scratch_dir();
    kelbzip2::event_loop loop;
    std::mt19937 random{20261206};
    auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    std::deque<host> hosts;
    for (int i = 0; i < control_count; ++i)
        hosts.emplace_back(loop);
    // The count of ends is taken before the job starts: its end may come during any run of the loop.
    auto ends_once = [&](host& seen, int finished) {
        return wait_until([&] { return seen.finished > finished || !loop.run_once(20); }) && seen.finished == finished + 1;
    };
    hosts[0].control.CompressBzip3(fixture("text.txt"), dir + "/text.bz3", 9);  // for the Bzip3 jobs to restore
    ASSERT_TRUE(ends_once(hosts[0], 0));
    const long fds = entries_in("/proc/self/fd"), threads = entries_in("/proc/self/task");
    size_t heap_after_warm_up = 0;  // 0 under the sanitizers, whose LeakSanitizer checks at exit
    for (int job = 0; job < jobs; ++job) {
        SCOPED_TRACE("job " + std::to_string(job));
        if (job == 30)
            heap_after_warm_up = mallinfo2().uordblks;
        auto& seen = hosts[job % control_count];
        auto &on = seen.control, &other = hosts[below(control_count)].control;
        const int finished = seen.finished;
        seen.codes.clear();
        switch (below(4)) {
        case 0: on.Compress(fixture("text.txt"), dir + "/out.bz2", 1 + below(9)); break;
        case 1: on.Decompress(fixture("text.txt.9.bz2"), dir + "/out.txt"); break;
        case 2: on.CompressBzip3(fixture("text.txt"), dir + "/out.bz3", 1 + below(9)); break;
        default: on.DecompressBzip3(dir + "/text.bz3", dir + "/out3.txt"); break;
        }
        const int action = below(3);  // at a random moment: nothing, a pause and later a resume, or a cancel
        for (int i = below(6); i > 0 && seen.codes.empty(); --i)
            loop.run_once(5);
        if (action == 1) {
            other.PauseCompress();
            for (int i = below(4); i > 0; --i)
                loop.run_once(5);
            (below(2) ? other : on).ResumeCompress();
        } else if (action == 2) {
            other.CancelCompress();
        }
        ASSERT_TRUE(ends_once(seen, finished));
        ASSERT_TRUE(seen.codes == lines{"0 No error"} || (action == 2 && seen.codes == lines{"119 User cancel"}));
    }
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
    EXPECT_LE(mallinfo2().uordblks, heap_after_warm_up + 16 * 1024) << heap_after_warm_up << " after the warm-up";
    // A worker that has just reported may still be on its way out.
    EXPECT_TRUE(wait_until([&] { return entries_in("/proc/self/task") <= threads; }, std::chrono::seconds(10)));
}

TEST(Soak, JobsThroughOneControl) { soak(120, 1); }
TEST(Soak, JobsThroughTwoControlsInOneProcess) { soak(120, 2); }
