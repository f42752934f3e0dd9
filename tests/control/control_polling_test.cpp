// The control against the scripted engine: exactly what it sends, and
// exactly what the two polls raise for percentages and result codes the
// real engine cannot be made to produce on cue.
#include "control_fixture.h"

using namespace ctl;
using lines = std::vector<std::string>;

namespace {

class ControlPolling : public testing::Test {
protected:
    platform_double os{scripted_engine_dir()};
    scripted_engine engine;
    control_on_form form;
    kelb::KELBzip2& control = *form.control;
    lines& events = form.events.lines;

    // A job started, its start event and commands set aside.
    void start_job()
    {
        control.Decompress(u"in.bz2", u"out");
        ASSERT_EQ(events, lines{"Progress 0"});
        events.clear();
        engine.clear_calls();
    }
    void poll(int32_t percent)
    {
        engine.set_progress(percent);
        form.timers.tick(1);
    }
};

}  // namespace

TEST_F(ControlPolling, EachJobMethodSendsItsCommandsInOrder)
{
    EXPECT_EQ(form.timers.interval(1), 100u);
    EXPECT_EQ(form.timers.interval(2), 100u);
    struct expectation {
        std::function<void()> start;
        lines sent;
    } methods[] = {
        {[&] { control.Compress(u"in.txt", u"out.bz2", 0); },
         {"status 0 0 0", "status 1 1 1", "compress \"in.txt\" \"out.bz2\" \"w0\""}},
        {[&] { control.Compress(u"in.txt", u"out.bz2", 7); },
         {"status 0 0 0", "status 1 1 1", "compress \"in.txt\" \"out.bz2\" \"w7\""}},
        {[&] { control.CompressBzip3(u"in.txt", u"out.bz3", 4); },
         {"status 0 0 0", "setlevel 4 4 4", "status 1 1 1", "compressbzip3 \"in.txt\" \"out.bz3\" \"\""}},
        {[&] { control.Decompress(u"in.bz2", u"out.txt"); },
         {"status 0 0 0", "status 1 1 1", "decompress \"in.bz2\" \"out.txt\" \"w9\""}},
        {[&] { control.DecompressBzip3(u"in.bz3", u"out.txt"); },
         {"status 0 0 0", "status 1 1 1", "decompressbzip3 \"in.bz3\" \"out.txt\" \"w9\""}},
    };
    for (auto& m : methods) {
        engine.clear_calls();
        events.clear();
        form.timers.switches.clear();
        m.start();
        EXPECT_EQ(engine.calls(), m.sent);
        EXPECT_EQ(form.timers.switches, (lines{"enable 2", "enable 1"})) << "completion poll first";
        EXPECT_EQ(events, lines{"Progress 0"});
        engine.finish(0);
        form.timers.tick(2);
        EXPECT_EQ(form.timers.switches, (lines{"enable 2", "enable 1", "disable 2", "disable 1"}));
    }
}

TEST_F(ControlPolling, ARefusalAsksTheEngineNothingButWhetherAJobRuns)
{
    control.Compress(u"in.txt", u"", 10);
    control.CompressBzip3(u"in.txt", u"out.bz3", 0);
    control.DecompressBzip3(u"x", u"x");
    EXPECT_EQ(engine.calls(), (lines{"status 0 0 0", "status 0 0 0", "status 0 0 0"}));
    EXPECT_EQ(events, (lines{"ErrorCode 4 The outputfile file is empty ", "ErrorCode 1 Invalid compression level ",
                             "ErrorCode 2 The input file is the same as the output"}));
}

TEST_F(ControlPolling, ProgressIsRaisedOnChangeOnlyAndCappedAtNinetySeven)
{
    start_job();
    poll(0);  // the same as LastProgress: nothing
    poll(10);
    poll(10);
    poll(98);
    poll(99);
    poll(100);
    poll(100);
    EXPECT_EQ(events, (lines{"Progress 10", "Progress 97", "Progress 97", "Progress 97"}));
    EXPECT_EQ(control.LastProgress(), 100);
    EXPECT_EQ(engine.calls().size(), 7u) << "one engine call per tick";

    form.timers.tick(2);
    EXPECT_EQ(events.size(), 4u) << "the job still runs";
    engine.clear_calls();
    engine.finish(0);
    form.timers.tick(2);
    EXPECT_EQ(engine.calls(), (lines{"status 0 0 0", "intreturn 0 0 0"}));
    EXPECT_EQ(events, (lines{"Progress 10", "Progress 97", "Progress 97", "Progress 97", "Progress 100",
                             "ErrorCode 0 No error", "Finished"}));
}

TEST_F(ControlPolling, LastProgressIsNotResetForTheNextJob)
{
    start_job();
    poll(40);
    engine.finish(0);
    form.timers.tick(2);
    events.clear();

    control.Compress(u"a", u"b", 9);
    EXPECT_EQ(events, lines{"Progress 0"}) << "a job's own start is raised regardless";
    poll(40);
    EXPECT_EQ(events, lines{"Progress 0"}) << "40 again is no change";
    poll(41);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 41"}));
}

TEST_F(ControlPolling, AValueWrittenByTheHandlerBecomesLastProgress)
{
    start_job();
    form.events.on_progress = [](int32_t& value) {
        if (value == 40)
            value = 55;
        if (value == 97)
            value = 5;  // the capped value is a copy: this changes nothing
    };
    poll(40);
    EXPECT_EQ(control.LastProgress(), 55);
    poll(55);
    poll(40);
    poll(99);
    EXPECT_EQ(control.LastProgress(), 99);
    poll(99);
    EXPECT_EQ(events, (lines{"Progress 40", "Progress 40", "Progress 97"}));
}

TEST_F(ControlPolling, EveryCodeArrivesWithItsMessageAndAnyOtherAs255)
{
    const std::pair<int32_t, const char*> table[] = {
        {0, "No error"},
        {1, "Invalid compression level "},
        {2, "The input file is the same as the output"},
        {3, "The input file is empty "},
        {4, "The outputfile file is empty "},
        {5, "The input file or path is invalid"},
        {6, "The output file or path is invalid"},
        {7, "Already running , call the cancel function or wait for the end of execution"},
        {8, "Unable to open input file"},
        {9, "Unable to open output file"},
        {10, "Error writing compressed file"},
        {11, "Unexpected compression error"},
        {12, "Unexpected uncompression error"},
        {13, "Damaged compressed file"},
        {14, "Not a valid Bzip2 file"},
        {15, "Data error"},
        {107, "Cannot open input file"},
        {108, "Cannot open output file"},
        {114, "Cannot write to output file"},
        {116, "Unexpected compression error"},
        {119, "User cancel"},
        {120, "Cannot initialize compression"},
        {121, "Cannot initialize decompression"},
        {122, "Not a valid Bzip3 file"},
        {123, "MD5 checksum data error"},
        {124, "Unexpected uncompression error"},
        {125, "Memory allocation error during decompression"},
        {126, "Damaged compressed file"},
        {255, "Unexpected error"},
    };
    auto reported = [&](int32_t code) {
        events.clear();
        control.Compress(u"a", u"b", 9);
        engine.finish(code);
        form.timers.tick(2);
        return events.size() == 4 ? events[2] : "events: " + std::to_string(events.size());
    };
    for (auto& [code, message] : table)
        EXPECT_EQ(reported(code), "ErrorCode " + std::to_string(code) + " " + message);
    for (int32_t unknown : {16, 100, 106, 127, 200, 256, -1, -119, 50003})
        EXPECT_EQ(reported(unknown), "ErrorCode 255 Unexpected error") << unknown;

    // The handler gets copies: what it writes spoils no later message.
    form.events.on_error_code = [](int32_t& number, text& description) {
        number = 0;
        description.assign(u"spoilt");
    };
    EXPECT_EQ(reported(119), "ErrorCode 119 User cancel");
    EXPECT_EQ(reported(119), "ErrorCode 119 User cancel");
}

TEST_F(ControlPolling, PauseResumeAndCancelActOnlyOnceTheEngineIsLoaded)
{
    control.PauseCompress();
    control.ResumeCompress();
    control.CancelCompress();
    EXPECT_TRUE(engine.calls().empty());
    EXPECT_EQ(platform().loads, 0);

    EXPECT_FALSE(control.Status());
    control.PauseCompress();
    control.ResumeCompress();
    control.CancelCompress();
    EXPECT_EQ(engine.calls(), (lines{"thestatus 0 0 0", "pause 0 0 0", "bresume 0 0 0", "cancel 0 0 0"}));
    EXPECT_TRUE(events.empty());
}

TEST_F(ControlPolling, ProcessorQueriesSendThreeHundredSpacesAndOneSpace)
{
    EXPECT_EQ(narrow(control.GetCPUVendor()), "ScriptedCPU");
    EXPECT_EQ(narrow(control.GetCPUBrandString()), "Scripted Brand");
    std::string spaces(300, ' ');
    EXPECT_EQ(engine.calls(), (lines{"getcpuname \"" + spaces + "\" \" \" 0", "getbrandstring \"" + spaces + "\" \" \" 0"}));
}

TEST_F(ControlPolling, TheEndReportsTheJobThatEndedEvenIfAHandlerStartsTheNext)
{
    // A host that starts its next file as soon as the bar is full: the rest
    // of the first job's end comes before the next job's start.
    form.events.on_progress = [&](int32_t& value) {
        if (value == 100)
            control.Compress(u"next", u"next.bz2", 9);
    };
    control.Compress(u"first", u"first.bz2", 9);
    engine.finish(8);
    form.timers.tick(2);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 100", "ErrorCode 8 Unable to open input file", "Finished",
                             "Progress 0"}));
    EXPECT_TRUE(form.timers.enabled(1) && form.timers.enabled(2)) << "the next job is being polled";
}

TEST_F(ControlPolling, AJobStartedBeforeTheLastEndWasPolledLeavesThatEndToItsOwnControl)
{
    control_on_form second;
    control.Decompress(u"first.bz2", u"first");
    engine.finish(8);
    engine.clear_calls();
    second.control->Compress(u"second", u"", 9);
    EXPECT_EQ(engine.calls(), lines{"status 0 0 0"}) << "a refusal collects nothing";
    second.events.lines.clear();

    // The second control's job runs while the first control's end is polled.
    second.control->Compress(u"second", u"second.bz2", 9);
    engine.set_progress(50);
    form.timers.tick(1);
    form.timers.tick(2);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 100", "ErrorCode 8 Unable to open input file", "Finished"}));
    EXPECT_FALSE(form.timers.enabled(1) || form.timers.enabled(2));
    engine.finish(0);
    second.timers.tick(2);
    EXPECT_EQ(second.events.lines, (lines{"Progress 0", "Progress 100", "ErrorCode 0 No error", "Finished"}));
}

TEST_F(ControlPolling, AStartThatRaisesThePreviousEndStopsWhenAHandlerDestroysTheControl)
{
    form.events.on_finished = [&] { form.control.reset(); };
    control.Decompress(u"first.bz2", u"first");
    engine.finish(8);
    engine.clear_calls();
    control.Compress(u"next", u"next.bz2", 9);
    EXPECT_FALSE(form.control);
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 100", "ErrorCode 8 Unable to open input file", "Finished"}));
    EXPECT_EQ(engine.calls(), (lines{"status 0 0 0", "intreturn 0 0 0", "cancel 0 0 0"})) << "no next job";
}

TEST_F(ControlPolling, AHandlerMayDestroyTheControl)
{
    // From the poll's Progress, the end's Progress 100, ErrorCode, Finished:
    // nothing of the control is touched after, and no tick comes.
    const lines whole = {"Progress 0", "Progress 30", "Progress 100", "ErrorCode 0 No error", "Finished"};
    for (size_t last = 1; last < whole.size(); ++last) {
        control_on_form other;
        auto destroy_after = [&] {
            if (other.events.lines.size() == last + 1)
                other.control.reset();
        };
        other.events.on_progress = [&](int32_t&) { destroy_after(); };
        other.events.on_error_code = [&](int32_t&, text&) { destroy_after(); };
        other.events.on_finished = destroy_after;
        other.control->Compress(u"a", u"b", 9);
        engine.set_progress(30);
        other.timers.tick(1);
        engine.finish(0);
        other.timers.tick(2);
        other.timers.tick(1);
        EXPECT_FALSE(other.control);
        EXPECT_EQ(other.events.lines, lines(whole.begin(), whole.begin() + last + 1));
    }
}
