// The control against the scripted engine: exactly what it sends, and what its checks and two polls raise.
#include "control_fixture.h"

#include <filesystem>

using namespace ctl;

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

const std::string same = "ErrorCode 2 The input file is the same as the output",
                  level = "ErrorCode 1 Invalid compression level ", no_output = "ErrorCode 4 The outputfile file is empty ";

// A refusal's checks run in a fixed order, the first that fails decides; two names of one file are equal.
TEST_F(ControlPolling, EachMethodSendsItsCommandsAndRaisesOnlyItsStartOrRefusal)
{
    const std::string dir = kelbtest::scratch_dir(), status = "status 0 0 0\n", start = status + "status 1 1 1\n";
    kelbtest::write_file(dir + "/A.txt", "a");
    std::filesystem::create_hard_link(dir + "/A.txt", dir + "/link.txt");
    const text in = kelb::real_control_platform().from_code_page(dir + "/"), a = in + u"A.txt";
    const bool ignores_case = kelb::real_control_platform().names_ignore_case;
    const std::tuple<std::function<void()>, std::string, std::string> calls[] = {
        {[&] { control.PauseCompress(); }, "", ""},
        {[&] { control.ResumeCompress(); }, "", ""},
        {[&] { control.CancelCompress(); }, "", ""},
        {[&] { EXPECT_FALSE(control.Status()); }, "thestatus 0 0 0\n", ""},
        {[&] { control.Compress(u"in", u"out", 0); }, start + "compress \"in\" \"out\" \"w0\"\n", "Progress 0"},
        {[&] { control.CompressBzip3(u"in", u"out", 4); },
         status + "setlevel 4 4 4\nstatus 1 1 1\ncompressbzip3 \"in\" \"out\" \"\"\n", "Progress 0"},
        {[&] { control.Decompress(u"in", u"out"); }, start + "decompress \"in\" \"out\" \"w9\"\n", "Progress 0"},
        {[&] { control.DecompressBzip3(u"in", u"out"); }, start + "decompressbzip3 \"in\" \"out\" \"w9\"\n", "Progress 0"},
        {[&] { control.Compress(u"", u"", 42); }, status, same},
        {[&] { control.Decompress(a, in + u"link.txt"); }, status, same},
        {[&] { control.Compress(u"C:\\A.TXT", u"c:\\a.txt", 10); }, status, ignores_case ? same : level},
        {[&] { control.DecompressBzip3(u"", u"out"); }, status, "ErrorCode 3 The input file is empty "},
        {[&] { control.Compress(u"in", u"", 10); }, status, no_output},
        {[&] { control.CompressBzip3(u"in", u"", 0); }, status, no_output},
        {[&] { control.Compress(u"in", u"out", 10); }, status, level},
        {[&] { control.Compress(u"in", u"out", -1); }, status, level},
        {[&] { control.CompressBzip3(u"in", u"out", 0); }, status, level},
        {[&] { control.CompressBzip3(u"in", u"out", 10); }, status, level},
        {[&] { control.PauseCompress(); }, "pause 0 0 0\n", ""},
        {[&] { control.ResumeCompress(); }, "bresume 0 0 0\n", ""},
        {[&] { control.CancelCompress(); }, "cancel 0 0 0\n", ""},
    };
    const lines polled = {"enable 2", "enable 1", "disable 2", "disable 1"};
    for (auto& [call, sent, raised] : calls) {
        events.clear();
        form.switches.clear();
        call();
        EXPECT_EQ(engine.calls(), sent);
        EXPECT_EQ(events, raised.empty() ? lines{} : lines{raised});
        end(0);
        engine.calls();
        EXPECT_EQ(form.switches, (raised == "Progress 0" ? polled : lines{}));
    }
    // While a job runs, every control of the process is refused with 7 first.
    control_on_form second;
    control.Compress(u"in", u"out", 9);
    events.clear();
    control.Compress(u"", u"", 42);
    second.control->Decompress(u"a", u"b");
    EXPECT_EQ(events, lines{"ErrorCode 7 Already running , call the cancel function or wait for the end of execution"});
    EXPECT_EQ(second.events, events);
}

TEST_F(ControlPolling, ProgressIsRaisedOnChangeOnlyAndCappedAtNinetySevenAndAnEndCodeWithItsMessage)
{
    control.Decompress(u"in.bz2", u"out");
    engine.calls();
    for (int32_t percent : {0, 10, 10, 98, 99, 100, 100})  // 0 is no change from the start
        poll(percent);
    EXPECT_EQ(control.LastProgress(), 100);
    form.tick(2);
    end(0);
    std::string polls;
    for (int i = 0; i < 7; ++i)
        polls += "getprogress 0 0 0\n";
    EXPECT_EQ(engine.calls(), polls + "status 0 0 0\nstatus 0 0 0\nintreturn 0 0 0\n");
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 10", "Progress 97", "Progress 97", "Progress 97",
                             "Progress 100", "ErrorCode 0 No error", "Finished"}));
    control.Compress(u"a", u"b", 9);
    poll(100);
    EXPECT_EQ(events.back(), "Progress 0") << "LastProgress is not reset for the next job";
    // A host that starts its next file once the bar is full: the end comes whole before the next start.
    form.then = [&](int32_t* value) {
        if (value && *value == 100)
            control.Compress(u"a", u"b", 9);
    };
    const std::pair<int32_t, const char*> codes[] = {
        {14, "Not a valid Bzip2 file"}, {15, "Data error"}, {107, "Cannot open input file"}, {119, "User cancel"},
        {126, "Damaged compressed file"}, {255, "Unexpected error"}, {16, nullptr}, {106, nullptr}, {-1, nullptr}};
    for (auto& [code, message] : codes) {
        end(code);
        const std::string error = "ErrorCode " + (message ? std::to_string(code) + " " + message : "255 Unexpected error");
        EXPECT_EQ(lines(events.end() - 4, events.end()), (lines{"Progress 100", error, "Finished", "Progress 0"}));
    }
    EXPECT_TRUE(form.enabled(1) && form.enabled(2)) << "the next job is being polled";
}

// From any event, raised by a poll or by the next start: nothing is touched after, and no next job comes.
TEST_F(ControlPolling, AHandlerMayDestroyTheControl)
{
    const lines whole = {"Progress 0", "Progress 30", "Progress 100", "ErrorCode 0 No error", "Finished"};
    for (bool by_start : {false, true})
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
            if (by_start && other.control)
                other.control->Compress(u"next", u"b", 9);
            other.tick(2);
            other.tick(1);
            EXPECT_EQ(other.events, lines(whole.begin(), whole.begin() + last + 1));
            EXPECT_EQ(engine.calls().find("next"), std::string::npos) << "no next job";
        }
}
