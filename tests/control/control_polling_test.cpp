// The control against the scripted engine: exactly what it sends, and what
// its checks and two polls raise for percentages, result codes and handlers.
#include "control_fixture.h"

#include <filesystem>

using namespace ctl;

namespace {

class ControlPolling : public testing::Test {
protected:
    platform_double os{kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR)};
    scripted_engine engine;
    control_on_form form;
    kelb::KELBzip2& control = *form.control;
    lines& events = form.events;

    void poll(int32_t percent)
    {
        engine.set("progress", percent);
        form.tick(1);
    }
    void end(int32_t code)
    {
        engine.set("finish", code);
        form.tick(2);
    }
};

const std::string failed_8 = "ErrorCode 8 Unable to open input file";

}  // namespace

TEST_F(ControlPolling, EachJobMethodSendsItsCommandsAndStartsTheCompletionPollFirst)
{
    const std::string first = "status 0 0 0", announce = "status 1 1 1";
    const std::pair<std::function<void()>, lines> methods[] = {
        {[&] { control.Compress(u"in", u"out", 0); }, {first, announce, "compress \"in\" \"out\" \"w0\""}},
        {[&] { control.Compress(u"in", u"out", 7); }, {first, announce, "compress \"in\" \"out\" \"w7\""}},
        {[&] { control.CompressBzip3(u"in", u"out", 4); },
         {first, "setlevel 4 4 4", announce, "compressbzip3 \"in\" \"out\" \"\""}},
        {[&] { control.Decompress(u"in", u"out"); }, {first, announce, "decompress \"in\" \"out\" \"w9\""}},
        {[&] { control.DecompressBzip3(u"in", u"out"); }, {first, announce, "decompressbzip3 \"in\" \"out\" \"w9\""}},
    };
    for (auto& [start, sent] : methods) {
        engine.calls();  // the last one's end
        events.clear();
        form.switches.clear();
        start();
        EXPECT_EQ(engine.calls(), sent);
        EXPECT_EQ(events, lines{"Progress 0"}) << "the start is raised during the call";
        end(0);
        EXPECT_EQ(form.switches, (lines{"enable 2", "enable 1", "disable 2", "disable 1"}));
    }
    EXPECT_EQ(form.intervals, (std::vector<unsigned>{100, 100}));
}

// The checks run in a fixed order and the first that fails decides. A
// refusal raises only its code, asks the engine only whether a job runs,
// and starts no poll. Two names of one file count as equal.
TEST_F(ControlPolling, RefusalsRaiseOnlyTheirCodeDuringTheCall)
{
    const std::string dir = kelbtest::scratch_dir();
    kelbtest::write_file(dir + "/A.txt", "a");
    std::filesystem::create_hard_link(dir + "/A.txt", dir + "/link.txt");
    const text a = kelb::real_control_platform().from_code_page(dir + "/A.txt");
    const std::string same = "ErrorCode 2 The input file is the same as the output",
                      no_output = "ErrorCode 4 The outputfile file is empty ",
                      level = "ErrorCode 1 Invalid compression level ";
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[&] { control.Compress(u"", u"", 42); }, same},
        {[&] { control.Decompress(a, a.substr(0, a.size() - 5) + u"link.txt"); }, same},
        {[&] { control.Decompress(a, a.substr(0, a.size() - 5) + u"./A.txt"); }, same},
        {[&] { control.Compress(u"C:\\Data\\A.TXT", u"c:\\data\\a.txt", 10); },
         kelb::real_control_platform().names_ignore_case ? same : level},
        {[&] { control.DecompressBzip3(u"", u"out"); }, "ErrorCode 3 The input file is empty "},
        {[&] { control.Compress(u"in", u"", 10); }, no_output},
        {[&] { control.CompressBzip3(u"in", u"", 0); }, no_output},
        {[&] { control.Compress(u"in", u"out", 10); }, level},
        {[&] { control.Compress(u"in", u"out", -1); }, level},
        {[&] { control.CompressBzip3(u"in", u"out", 0); }, level},
        {[&] { control.CompressBzip3(u"in", u"out", 10); }, level},
    };
    for (auto& [call, event] : refusals) {
        events.clear();
        call();
        EXPECT_EQ(events, lines{event});
        EXPECT_EQ(engine.calls(), lines{"status 0 0 0"});
    }
    EXPECT_TRUE(form.switches.empty());

    // While a job runs, every control of the process is refused with 7 first.
    control_on_form second;
    control.Compress(u"in", u"out", 9);
    events.clear();
    control.Compress(u"", u"", 42);
    second.control->Decompress(u"a", u"b");
    const std::string already = "ErrorCode 7 Already running , call the cancel function or wait for the end of execution";
    EXPECT_EQ(events, lines{already});
    EXPECT_EQ(second.events, lines{already});
}

TEST_F(ControlPolling, ProgressIsRaisedOnChangeOnlyAndCappedAtNinetySeven)
{
    control.Decompress(u"in.bz2", u"out");
    engine.calls();
    for (int32_t percent : {0, 10, 10, 98, 99, 100, 100})  // 0 is no change from the start
        poll(percent);
    EXPECT_EQ(control.LastProgress(), 100);
    EXPECT_EQ(engine.calls(), lines(7, "getprogress 0 0 0"));
    form.tick(2);
    end(0);
    EXPECT_EQ(engine.calls(), (lines{"status 0 0 0", "status 0 0 0", "intreturn 0 0 0"}));
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 10", "Progress 97", "Progress 97", "Progress 97",
                             "Progress 100", "ErrorCode 0 No error", "Finished"}));

    // LastProgress is not reset for the next job. What a handler writes
    // becomes it, but the capped value is a copy.
    events.clear();
    form.then = [](int32_t* value) {
        if (value && *value == 40)
            *value = 55;
        else if (value && *value == 97)
            *value = 5;
    };
    control.Compress(u"a", u"b", 9);
    for (int32_t percent : {100, 40, 55, 40, 99, 99})
        poll(percent);
    EXPECT_EQ(control.LastProgress(), 99);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 40", "Progress 40", "Progress 97"}));
}

TEST_F(ControlPolling, EachEndCodeArrivesWithItsMessageAndAnyOtherAs255)
{
    const std::pair<int32_t, const char*> table[] = {
        {0, "No error"}, {5, "The input file or path is invalid"}, {6, "The output file or path is invalid"},
        {8, "Unable to open input file"}, {9, "Unable to open output file"}, {10, "Error writing compressed file"},
        {11, "Unexpected compression error"}, {12, "Unexpected uncompression error"}, {13, "Damaged compressed file"},
        {14, "Not a valid Bzip2 file"}, {15, "Data error"}, {107, "Cannot open input file"},
        {108, "Cannot open output file"}, {114, "Cannot write to output file"}, {116, "Unexpected compression error"},
        {119, "User cancel"}, {120, "Cannot initialize compression"}, {121, "Cannot initialize decompression"},
        {122, "Not a valid Bzip3 file"}, {123, "MD5 checksum data error"}, {124, "Unexpected uncompression error"},
        {125, "Memory allocation error during decompression"}, {126, "Damaged compressed file"},
        {255, "Unexpected error"}, {16, nullptr}, {106, nullptr}, {127, nullptr}, {-1, nullptr}, {50003, nullptr}};
    for (auto& [code, message] : table) {
        events.clear();
        control.Compress(u"a", u"b", 9);
        end(code);
        ASSERT_EQ(events.size(), 4u);
        EXPECT_EQ(events[2], "ErrorCode " + (message ? std::to_string(code) + " " + message : "255 Unexpected error"));
    }
}

TEST_F(ControlPolling, PauseResumeAndCancelActOnlyOnceTheEngineIsLoaded)
{
    auto pause_resume_cancel = [&] {
        control.PauseCompress();
        control.ResumeCompress();
        control.CancelCompress();
    };
    pause_resume_cancel();
    EXPECT_EQ(os.loads, 0) << "they do not load it";
    EXPECT_FALSE(control.Status());
    pause_resume_cancel();
    EXPECT_EQ(control.GetCPUVendor(), u"ScriptedCPU");
    EXPECT_EQ(control.GetCPUBrandString(), u"Scripted Brand");
    const std::string buffers = " \"" + std::string(300, ' ') + "\" \" \" 0";
    EXPECT_EQ(engine.calls(), (lines{"thestatus 0 0 0", "pause 0 0 0", "bresume 0 0 0", "cancel 0 0 0",
                                     "getcpuname" + buffers, "getbrandstring" + buffers}));
    EXPECT_TRUE(events.empty());
}

// A job's end is read by whoever starts the next job first, and raised by
// its own control before anything of the next job.
TEST_F(ControlPolling, TheEndOfAJobComesBeforeAnythingOfTheNext)
{
    form.then = [&](int32_t* value) {  // a host that starts its next file once the bar is full
        if (value && *value == 100)
            control.Compress(u"next", u"next.bz2", 9);
    };
    control.Compress(u"first", u"first.bz2", 9);
    end(8);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 100", failed_8, "Finished", "Progress 0"}));
    EXPECT_TRUE(form.enabled(1) && form.enabled(2)) << "the next job is being polled";

    // A second control starts its job before the first control polled its end.
    form.then = nullptr;
    control_on_form second;
    engine.set("finish", 8);
    events.clear();
    engine.calls();
    second.control->Compress(u"second", u"", 9);
    EXPECT_EQ(engine.calls(), lines{"status 0 0 0"}) << "a refusal collects nothing";
    second.events.clear();
    second.control->Compress(u"second", u"second.bz2", 9);
    poll(50);
    form.tick(2);
    EXPECT_EQ(events, (lines{"Progress 100", failed_8, "Finished"}));
    EXPECT_FALSE(form.enabled(1) || form.enabled(2));
    engine.set("finish", 0);
    second.tick(2);
    EXPECT_EQ(second.events, (lines{"Progress 0", "Progress 100", "ErrorCode 0 No error", "Finished"}));
}

// From the poll's Progress, the end's Progress 100, ErrorCode or Finished,
// or the end a start raises: nothing of the control is touched after, and
// no tick and no next job come.
TEST_F(ControlPolling, AHandlerMayDestroyTheControl)
{
    const lines whole = {"Progress 0", "Progress 30", "Progress 100", "ErrorCode 0 No error", "Finished"};
    for (size_t last = 1; last < whole.size(); ++last) {
        control_on_form other;
        other.then = [&](int32_t*) {
            if (other.events.size() == last + 1)
                other.control.reset();
        };
        other.control->Compress(u"a", u"b", 9);
        engine.set("progress", 30);
        other.tick(1);
        engine.set("finish", 0);
        other.tick(2);
        other.tick(1);
        EXPECT_FALSE(other.control);
        EXPECT_EQ(other.events, lines(whole.begin(), whole.begin() + last + 1));
    }
    form.then = [&](int32_t*) {
        if (events.back() == "Finished")
            form.control.reset();
    };
    control.Decompress(u"first.bz2", u"first");
    engine.set("finish", 8);
    engine.calls();
    control.Compress(u"next", u"next.bz2", 9);
    EXPECT_FALSE(form.control);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 100", failed_8, "Finished"}));
    EXPECT_EQ(engine.calls(), (lines{"status 0 0 0", "intreturn 0 0 0", "cancel 0 0 0"}));
}
