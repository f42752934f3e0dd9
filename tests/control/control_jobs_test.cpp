// The control with the real engine loaded by the real bridge: whole jobs,
// refusals, a second job, pause, cancel, teardown, names the engine cannot
// take, and the processor queries. Timers are ticked by hand.
#include "control_fixture.h"

#include <filesystem>
#include <fstream>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

using namespace ctl;
using namespace kelbtest;
using namespace std::chrono_literals;
using lines = std::vector<std::string>;

namespace {

const std::string ok = "ErrorCode 0 No error";
const std::string cancelled = "ErrorCode 119 User cancel";

class ControlJobs : public testing::Test {
protected:
    platform_double os{engine_dir()};
    std::string dir = scratch_dir();
    control_on_form form;
    kelb::KELBzip2& control = *form.control;
    lines& events = form.events.lines;

    text path(const std::string& name) const { return wide(file(name)); }
    std::string file(const std::string& name) const { return dir + "/" + name; }

    // Runs a job to its end and checks its whole event sequence.
    void expect_job(std::function<void()> start, const std::string& error_code_line)
    {
        events.clear();
        start();
        ASSERT_EQ(events, lines{"Progress 0"}) << error_code_line;
        ASSERT_TRUE(form.tick_until_finished()) << error_code_line;
        expect_whole_job(events, error_code_line);
    }
    // Ticks until the running job has visibly begun.
    bool tick_until_progress()
    {
        return wait_until([&] {
            form.timers.tick(1);
            form.timers.tick(2);
            return control.LastProgress() > 0 || form.events.finished();
        });
    }
};

}  // namespace

TEST_F(ControlJobs, EachMethodRunsAWholeJobAndReportsItsEnd)
{
    control.Compress(wide(fixture("binary.bin")), path("binary.bz2"), 9);
    EXPECT_EQ(events, lines{"Progress 0"}) << "the start is raised during the call";
    EXPECT_EQ(form.timers.switches, (lines{"enable 2", "enable 1"}));
    ASSERT_TRUE(form.tick_until_finished());
    expect_whole_job(events, ok);
    EXPECT_FALSE(form.timers.enabled(1) || form.timers.enabled(2));
    EXPECT_EQ(read_file(file("binary.bz2")), read_file(fixture("binary.bin.9.bz2")));

    expect_job([&] { control.Decompress(wide(fixture("repeat.txt.bz2")), path("repeat.txt")); }, ok);
    EXPECT_EQ(read_file(file("repeat.txt")), read_file(fixture("repeat.txt")));
    expect_job([&] { control.CompressBzip3(wide(fixture("binary.bin")), path("binary.bz3"), 5); }, ok);
    expect_job([&] { control.DecompressBzip3(path("binary.bz3"), path("binary.out")); }, ok);
    EXPECT_EQ(read_file(file("binary.out")), read_file(fixture("binary.bin")));
    // Level 0 is the smallest blocks, as the bzip2 tool's level 1.
    expect_job([&] { control.Compress(wide(fixture("text.txt")), path("text.bz2"), 0); }, ok);
    EXPECT_EQ(read_file(file("text.bz2")), read_file(fixture("text.txt.1.bz2")));

    form.timers.tick(1);
    form.timers.tick(2);
    EXPECT_EQ(events.back(), "Finished") << "nothing more once a job has been reported";
}

struct refusal {
    const char* method;
    const char16_t* input;
    const char16_t* output;
    int32_t level;
    const char* event;
};

class ControlRefusals : public ControlJobs, public testing::WithParamInterface<refusal> {};

TEST_P(ControlRefusals, RaiseOnlyTheirCodeDuringTheCall)
{
    const refusal& r = GetParam();
    std::string method = r.method;
    if (method == "Compress")
        control.Compress(r.input, r.output, r.level);
    else if (method == "CompressBzip3")
        control.CompressBzip3(r.input, r.output, r.level);
    else if (method == "Decompress")
        control.Decompress(r.input, r.output);
    else
        control.DecompressBzip3(r.input, r.output);
    EXPECT_EQ(events, lines{r.event});
    EXPECT_TRUE(form.timers.switches.empty()) << "no timer was started";
    EXPECT_FALSE(control.Status()) << "the engine was not told of a job";
}

// The checks run in a fixed order and the first that fails decides.
INSTANTIATE_TEST_SUITE_P(
    FixedOrder, ControlRefusals,
    testing::Values(refusal{"Compress", u"", u"", 42, "ErrorCode 2 The input file is the same as the output"},
                    refusal{"Decompress", u"", u"", 0, "ErrorCode 2 The input file is the same as the output"},
                    refusal{"DecompressBzip3", u"", u"out", 0, "ErrorCode 3 The input file is empty "},
                    refusal{"Compress", u"in", u"", 10, "ErrorCode 4 The outputfile file is empty "},
                    refusal{"CompressBzip3", u"in", u"", 0, "ErrorCode 4 The outputfile file is empty "},
                    refusal{"Compress", u"in", u"out", 10, "ErrorCode 1 Invalid compression level "},
                    refusal{"Compress", u"in", u"out", -1, "ErrorCode 1 Invalid compression level "},
                    refusal{"CompressBzip3", u"in", u"out", 0, "ErrorCode 1 Invalid compression level "},
                    refusal{"CompressBzip3", u"in", u"out", 10, "ErrorCode 1 Invalid compression level "}));

TEST_F(ControlJobs, ASecondJobIsRefusedWithSevenFromAnyControlOfTheProcess)
{
    control_on_form second;
    control.Compress(wide(fixture("large.bin")), path("large.bz2"), 9);
    control.CompressBzip3(wide(fixture("text.txt")), path("other.bz3"), 5);
    second.control->Decompress(wide(fixture("text.txt.9.bz2")), path("other.txt"));
    const std::string already = "ErrorCode 7 Already running , call the cancel function or wait for the end of execution";
    EXPECT_EQ(events, (lines{"Progress 0", already}));
    EXPECT_EQ(second.events.lines, lines{already});
    EXPECT_TRUE(second.control->Status()) << "the one job slot is shared";

    // The running job goes on untouched.
    events.erase(events.begin() + 1);
    ASSERT_TRUE(form.tick_until_finished());
    expect_whole_job(events, ok);
    EXPECT_EQ(read_file(file("large.bz2")), read_file(fixture("large.bin.bz2")));
    EXPECT_FALSE(file_exists(file("other.bz3")) || file_exists(file("other.txt")));
}

TEST_F(ControlJobs, PauseHoldsProgressStillUntilResumed)
{
    control.Compress(wide(fixture("large.bin")), path("large.bz2"), 9);
    ASSERT_TRUE(tick_until_progress());
    control.PauseCompress();
    ASSERT_TRUE(control.Status()) << "the job ended before it could be paused";
    std::this_thread::sleep_for(200ms);  // the chunk in hand may still be counted
    form.timers.tick(1);
    size_t seen = events.size();
    int32_t held = control.LastProgress();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(25ms);
        form.timers.tick(1);
        form.timers.tick(2);
    }
    EXPECT_EQ(events.size(), seen) << "no event while paused";
    EXPECT_EQ(control.LastProgress(), held);
    EXPECT_TRUE(control.Status());

    control.ResumeCompress();
    ASSERT_TRUE(form.tick_until_finished());
    expect_whole_job(events, ok);
    EXPECT_EQ(read_file(file("large.bz2")), read_file(fixture("large.bin.bz2")));
}

TEST_F(ControlJobs, CancelOfARunningOrPausedJobIsReportedAs119OnTheNextTick)
{
    control.Compress(wide(fixture("large.bin")), path("large.bz2"), 9);
    ASSERT_TRUE(tick_until_progress());
    size_t before = events.size();
    control.CancelCompress();
    EXPECT_FALSE(control.Status()) << "cancel returns once the worker has stopped";
    EXPECT_EQ(events.size(), before) << "nothing raised by the cancel itself";
    form.timers.tick(2);
    expect_whole_job(events, cancelled);
    EXPECT_FALSE(file_exists(file("large.bz2")));

    events.clear();
    control.CompressBzip3(wide(fixture("large.bin")), path("large.bz3"), 9);
    ASSERT_TRUE(tick_until_progress());
    control.PauseCompress();
    control.CancelCompress();
    EXPECT_FALSE(control.Status());
    ASSERT_TRUE(form.tick_until_finished());
    expect_whole_job(events, cancelled);

    // A cancel with no job raises nothing and does not hurt the next job.
    events.clear();
    control.CancelCompress();
    EXPECT_TRUE(events.empty());
    expect_job([&] { control.Compress(wide(fixture("text.txt")), path("text.bz2"), 9); }, ok);
}

TEST_F(ControlJobs, TeardownDuringAJobStopsItAndReleasesTheEngine)
{
    control.Compress(wide(fixture("large.bin")), path("large.bz2"), 9);
    ASSERT_TRUE(tick_until_progress());
    size_t before = events.size();
    form.control.reset();
    EXPECT_EQ(events.size(), before) << "teardown raises nothing";
    EXPECT_EQ(platform().loads, 1);
    EXPECT_EQ(platform().frees, 1);
    EXPECT_FALSE(file_exists(file("large.bz2"))) << "the job was cancelled, not left running";
    control_on_form next;
    EXPECT_FALSE(next.control->Status());
}

TEST_F(ControlJobs, AJobStartedBeforeThePreviousEndWasPolledRaisesThatEndFirst)
{
    // The job fails at once, so it may already be over when the call returns.
    control.Compress(path("missing.txt"), path("out.bz2"), 9);
    ASSERT_TRUE(wait_until([&] { return !control.Status(); }));
    EXPECT_EQ(events, lines{"Progress 0"}) << "Status falls before Finished";

    // The next start raises the first job's end (code 8), then its own start.
    control.Compress(wide(fixture("text.txt")), path("text.bz2"), 9);
    ASSERT_EQ(events, (lines{"Progress 0", "Progress 100", "ErrorCode 8 Unable to open input file", "Finished",
                             "Progress 0"}));
    events.erase(events.begin(), events.begin() + 4);
    ASSERT_TRUE(form.tick_until_finished());
    expect_whole_job(events, ok);
}

TEST_F(ControlJobs, TwoNamesOfOneFileAreRefusedDuringTheCall)
{
    const std::string source = file("A.txt");
    write_file(source, read_file(fixture("text.txt")));
    std::filesystem::create_hard_link(source, file("link.txt"));
#ifdef _WIN32
    const bool other_case_is_same = true;
#else
    const bool other_case_is_same = false;  // a second file
    std::filesystem::create_symlink(source, file("symlink.txt"));
#endif
    const std::pair<std::string, bool> outputs[] = {
        {file("link.txt"), true},
        {dir + "/./A.txt", true},
        {file("a.TXT"), other_case_is_same},
        {file("other.bz2"), false},
#ifndef _WIN32
        {file("symlink.txt"), true},
#endif
    };
    for (auto& [output, same] : outputs) {
        SCOPED_TRACE(output);
        if (!same) {
            expect_job([&] { control.Compress(wide(source), wide(output), 9); }, ok);
            continue;
        }
        events.clear();
        control.Compress(wide(source), wide(output), 9);
        EXPECT_EQ(events, lines{"ErrorCode 2 The input file is the same as the output"});
        EXPECT_FALSE(control.Status()) << "no job was started";
    }
    EXPECT_EQ(read_file(source), read_file(fixture("text.txt")));
}

TEST_F(ControlJobs, FilesTheEngineCannotOpenEndTheirJobWithItsCode)
{
    // A name of more than 32,767 UTF-16 units is beyond what the engine
    // takes, and an unpaired surrogate is outside every code page.
    text too_long = path(std::string(32768, 'n'));
    text unrepresentable = path("") + u"\xD800" u".txt";
    text source = wide(fixture("text.txt"));
    const std::pair<std::function<void()>, const char*> attempts[] = {
        {[&] { control.Compress(path("missing.txt"), path("out.bz2"), 9); }, "ErrorCode 8 Unable to open input file"},
        {[&] { control.Compress(too_long, path("out.bz2"), 9); }, "ErrorCode 8 Unable to open input file"},
        {[&] { control.Compress(source, too_long, 9); }, "ErrorCode 9 Unable to open output file"},
        {[&] { control.Compress(unrepresentable, path("out.bz2"), 9); }, "ErrorCode 8 Unable to open input file"},
        {[&] { control.Decompress(wide(fixture("notbzip2.bz2")), path("out")); }, "ErrorCode 14 Not a valid Bzip2 file"},
        {[&] { control.CompressBzip3(too_long, path("out.bz3"), 9); }, "ErrorCode 107 Cannot open input file"},
        {[&] { control.CompressBzip3(source, too_long, 9); }, "ErrorCode 108 Cannot open output file"},
        {[&] { control.DecompressBzip3(unrepresentable, path("out")); }, "ErrorCode 107 Cannot open input file"},
    };
    for (auto& [start, event] : attempts)
        expect_job(start, event);
}

// Names in any script and an absolute path of 300 characters, both formats;
// two spellings of such a file are still refused during the call.
TEST_F(ControlJobs, NamesInAnyScriptAndLongPathsRunWholeJobs)
{
    auto utf8 = kelb::real_control_platform().to_utf8;
    ASSERT_LT(dir.size(), 250u);
    size_t room = 300 - dir.size() - 2;
    std::string folder = file(std::string(room / 2, 'd'));
    std::filesystem::create_directories(folder);
    const text names[] = {path("") + u"\u03B1\u03C1\u03C7\u03B5\u03AF\u03BF", path("") + u"\u6587\u4EF6",
                          path("") + u"\U0001F4E6 box", wide(folder + "/" + std::string(room - room / 2, 'f'))};
    ASSERT_EQ(names[3].size(), 300u);
    const std::string original = read_file(fixture("text.txt"));
    for (const text& name : names) {
        SCOPED_TRACE(utf8(name));
        write_file(utf8(name), original);
        expect_job([&] { control.Compress(name, name + u".bz2", 9); }, ok);
        expect_job([&] { control.Decompress(name + u".bz2", name + u".out"); }, ok);
        EXPECT_EQ(read_file(utf8(name + u".out")), original);
        expect_job([&] { control.CompressBzip3(name, name + u".bz3", 5); }, ok);
        expect_job([&] { control.DecompressBzip3(name + u".bz3", name + u".out3"); }, ok);
        EXPECT_EQ(read_file(utf8(name + u".out3")), original);
    }
    events.clear();
    control.Compress(names[3], path(".") + names[3].substr(dir.size()), 9);
    EXPECT_EQ(events, lines{"ErrorCode 2 The input file is the same as the output"});
}

TEST_F(ControlJobs, MissingEngineFailsTheMethodsThatNeedItUntilTheFileIsThere)
{
    platform().directory = wide(dir);
    auto error_number = [](auto method) {
        try {
            method();
        } catch (const kelb::host_error& e) {
            return e.number();
        }
        return 0;
    };
    EXPECT_EQ(error_number([&] { control.Compress(wide(fixture("text.txt")), path("t.bz2"), 9); }), 50003);
    EXPECT_EQ(error_number([&] { control.DecompressBzip3(u"a", u"b"); }), 50003);
    EXPECT_EQ(error_number([&] { control.Status(); }), 50003);
    EXPECT_EQ(error_number([&] { control.GetCPUVendor(); }), 50003);
    EXPECT_EQ(error_number([&] { control.GetCPUBrandString(); }), 50003);
    EXPECT_TRUE(events.empty()) << "a method failure raises no event";
    EXPECT_TRUE(form.timers.switches.empty());

    std::filesystem::copy_file(engine_file_in(engine_dir()), engine_file_in(dir));
    expect_job([&] { control.Compress(wide(fixture("text.txt")), path("t.bz2"), 9); }, ok);
}

namespace {

// CPUID read here, independently of the engine: the vendor's words in the
// order EBX, EDX, ECX, or the brand leaves' EAX to EDX.
std::string cpuid_text(unsigned first_leaf, int leaves, bool vendor)
{
    std::string out;
#if defined(__x86_64__) || defined(__i386__)
    for (int i = 0; i < leaves; ++i) {
        unsigned r[4] = {0, 0, 0, 0};
        __cpuid(first_leaf + i, r[0], r[1], r[2], r[3]);
        const unsigned words[4] = {vendor ? r[1] : r[0], vendor ? r[3] : r[1], r[2], r[3]};
        for (int w = 0; w < (vendor ? 3 : 4); ++w)
            for (int b = 0; b < 4; ++b)
                out += static_cast<char>((words[w] >> (8 * b)) & 0xFF);
    }
#endif
    out = out.substr(0, out.find('\0'));
    out.erase(0, out.find_first_not_of(' '));
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

}  // namespace

TEST_F(ControlJobs, ProcessorQueriesAnswerWhatTheProcessorSays)
{
    std::string vendor = narrow(control.GetCPUVendor());
    std::string brand = narrow(control.GetCPUBrandString());
    EXPECT_EQ(vendor, cpuid_text(0, 1, true));
    EXPECT_EQ(brand, cpuid_text(0x80000002u, 3, false));
    std::ifstream cpuinfo("/proc/cpuinfo");  // where there is one
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("vendor_id", 0) == 0) {
            EXPECT_EQ(vendor, line.substr(line.find(": ") + 2));
            break;
        }
}
