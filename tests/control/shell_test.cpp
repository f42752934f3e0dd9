// The Linux shell as a host program uses it: only the public header, the
// control library from the build's bin directory, the engine it finds
// beside itself, and real timers on the shell's event loop.
#include "kelbzip2.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kelbtest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using lines = std::vector<std::string>;

namespace {

// Handlers that record, quit the loop at the end, and run the test's action.
struct host_events : kelbzip2::events {
    explicit host_events(kelbzip2::event_loop& loop) : loop(loop) {}
    void Progress(int32_t& value) override
    {
        percents.push_back(value);
        if (on_progress)
            on_progress(value);
    }
    void ErrorCode(int32_t& number, std::string& description) override
    {
        codes.push_back(std::to_string(number) + " " + description);
    }
    void Finished() override
    {
        ++finished;
        if (on_finished)
            on_finished();
        loop.quit();
    }
    kelbzip2::event_loop& loop;
    std::vector<int32_t> percents;
    lines codes;
    int finished = 0;
    std::function<void(int32_t&)> on_progress;
    std::function<void()> on_finished;
};

class Shell : public testing::Test {
protected:
    std::string dir = scratch_dir();
    kelbzip2::event_loop loop;
    host_events events{loop};
    std::unique_ptr<kelbzip2::KELBzip2> control = std::make_unique<kelbzip2::KELBzip2>(loop, events);

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Runs the loop until the job has finished; false if it did not in time.
    bool run_job()
    {
        auto deadline = std::chrono::steady_clock::now() + 300s;
        int before = events.finished;
        while (events.finished == before && std::chrono::steady_clock::now() < deadline)
            loop.run_once(1000);
        return events.finished > before;
    }
    void expect_success()
    {
        EXPECT_EQ(events.codes, lines{"0 No error"});
        ASSERT_GE(events.percents.size(), 2u);
        EXPECT_EQ(events.percents.front(), 0);
        EXPECT_EQ(events.percents.back(), 100);
        for (size_t i = 1; i + 1 < events.percents.size(); ++i)
            EXPECT_LE(events.percents[i], 97);
        events.percents.clear();
        events.codes.clear();
    }
};

}  // namespace

TEST_F(Shell, HostCompressesAndRestoresInBothFormats)
{
    control->Compress(fixture("binary.bin"), path("binary.bz2"), 9);
    loop.run();
    expect_success();
    EXPECT_EQ(read_file(path("binary.bz2")), read_file(fixture("binary.bin.9.bz2")));

    control->Decompress(path("binary.bz2"), path("binary.out"));
    loop.run();
    expect_success();

    control->CompressBzip3(fixture("text.txt"), path("text.bz3"), 9);
    loop.run();
    expect_success();
    control->DecompressBzip3(path("text.bz3"), path("text.out"));
    loop.run();
    expect_success();

    EXPECT_EQ(events.finished, 4);
    EXPECT_EQ(read_file(path("binary.out")), read_file(fixture("binary.bin")));
    EXPECT_EQ(read_file(path("text.out")), read_file(fixture("text.txt")));
    EXPECT_EQ(control->ControlName(), "Tessel OCX 2.0.1");
    EXPECT_EQ(control->GetCPUVendor().size(), 12u);
}

TEST_F(Shell, RefusalsArriveDuringTheCallAndNullTextsCountAsEmpty)
{
    control->Compress(nullptr, nullptr, 9);
    control->Compress(fixture("text.txt"), nullptr, 9);
    control->DecompressBzip3(static_cast<const char*>(nullptr), path("x"));
    control->CompressBzip3(fixture("text.txt"), path("x"), 0);
    EXPECT_EQ(events.codes, (lines{"2 The input file is the same as the output", "4 The outputfile file is empty ",
                                   "3 The input file is empty ", "1 Invalid compression level "}));
    // Nothing was started, so the loop has nothing to wait for.
    loop.run();
    EXPECT_EQ(events.finished, 0);
    EXPECT_TRUE(events.percents.empty());
}

TEST_F(Shell, PauseResumeAndCancelFromTheHandlers)
{
    bool paused = false;
    events.on_progress = [&](int32_t& value) {
        if (value > 0 && value < 100 && !paused) {
            control->PauseCompress();
            paused = true;
        }
    };
    control->Compress(fixture("large.bin"), path("large.bz2"), 9);
    ASSERT_TRUE(wait_until([&] {
        loop.run_once(50);
        return paused || events.finished;
    }));
    ASSERT_TRUE(paused) << "the job ended before it could be paused";

    // A piece already on its way may still land; once a second has passed
    // without news (within a generous bound, for loaded machines), half a
    // second of loop raises nothing more.
    size_t seen = 0;
    auto settled = std::chrono::steady_clock::now() + 60s;
    do {
        seen = events.percents.size();
        for (int i = 0; i < 10; ++i)
            loop.run_once(100);
    } while (events.percents.size() != seen && std::chrono::steady_clock::now() < settled);
    auto until = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < until)
        loop.run_once(100);
    EXPECT_EQ(events.percents.size(), seen);
    EXPECT_TRUE(control->Status());

    control->ResumeCompress();
    events.on_progress = [&](int32_t& value) {
        if (value < 100)
            control->CancelCompress();
    };
    ASSERT_TRUE(run_job());
    EXPECT_EQ(events.codes, lines{"119 User cancel"});
    EXPECT_EQ(events.percents.back(), 100);
    EXPECT_FALSE(file_exists(path("large.bz2")));
}

TEST_F(Shell, AFileNameThatIsNotUtf8ReachesTheEngineUnchanged)
{
    std::string latin1 = path("caf\xE9.txt");
    write_file(latin1, read_file(fixture("text.txt")));
    control->Compress(latin1, latin1 + ".bz2", 5);
    loop.run();
    expect_success();
    EXPECT_EQ(read_file(latin1 + ".bz2"), read_file(fixture("text.txt.5.bz2")));
}

TEST_F(Shell, AHandlerMayDestroyTheControlAndTheLoopGoesOn)
{
    events.on_finished = [&] { control.reset(); };
    control->Compress(fixture("text.txt"), path("text.bz2"), 9);
    loop.run();
    EXPECT_FALSE(control);
    EXPECT_EQ(events.finished, 1);
    EXPECT_TRUE(loop.run_once(0)) << "no timer of the gone control is left behind";
}

TEST_F(Shell, MessagesAndTheFileChooserAreTheHostsToSupply)
{
    lines shown;
    kelbzip2::set_message_box([&](const std::string& message, const std::string& caption) {
        shown.push_back(caption + ": " + message.substr(0, 16));
    });
    control->About();
    kelbzip2::set_message_box(nullptr);
    EXPECT_EQ(shown, lines{"Tessel OCX 2.0.1: Tessel OCX 2.0.1"});

    EXPECT_EQ(control->OpenFile("Pick", "Text|*.txt", "/tmp"), "") << "no chooser: nothing chosen";
    std::string asked;
    kelbzip2::set_file_chooser([&](const std::string& title, const std::vector<kelbzip2::file_filter>& filters,
                                   const std::string& initial_dir) {
        asked = title + " " + initial_dir;
        for (auto& f : filters)
            asked += " " + f.description + "=" + f.pattern;
        return std::string("/tmp/chosen.txt");
    });
    EXPECT_EQ(control->OpenFile("Pick", "Text|*.txt|Bzip2:*.bz2", "/tmp"), "/tmp/chosen.txt");
    kelbzip2::set_file_chooser(nullptr);
    EXPECT_EQ(asked, "Pick /tmp Text=*.txt Bzip2=*.bz2");
}

TEST(ShellEventLoop, ServesWatchedInputAndAnswersEachQuitOnce)
{
    kelbzip2::event_loop loop;
    loop.quit();
    loop.run();  // at once: the quit came first
    EXPECT_TRUE(loop.run_once(0)) << "and it was used up";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    loop.watch(fds[0], [&] {
        char c = 0;
        if (read(fds[0], &c, 1) == 1 && (got += c, c == '.'))
            loop.quit();
    });
    ASSERT_EQ(write(fds[1], "ab.", 3), 3);
    loop.run();
    EXPECT_EQ(got, "ab.");
    loop.unwatch(fds[0]);
    loop.run();  // nothing left that could call back
    close(fds[0]);
    close(fds[1]);
}

TEST(ShellOwnDirectory, TheControlLoadsTheEngineBesideItselfOrSaysWhy)
{
    // A copy of the control library with a host beside it, and no engine.
    std::string dir = scratch_dir();
    fs::copy_file(KELB_CONTROL_LIBRARY, dir + "/libkelbzip2_201.so");
    fs::copy_file(KELB_ENGINE_PROBE, dir + "/probe");
    auto probe = [&] {
        std::string out;
        FILE* p = popen((dir + "/probe").c_str(), "r");
        char buffer[512];
        while (p && fgets(buffer, sizeof buffer, p))
            out += buffer;
        if (p)
            pclose(p);
        return out;
    };
    std::string engine = fs::canonical(dir).string() + "/libkelbzp1.so";
    EXPECT_EQ(probe(), "50003 Error loading the " + engine +
                           " , please contact the develper support@tessel.example\n");

    fs::copy_file(KELB_NO_ENTRY_LIBRARY, engine);
    EXPECT_EQ(probe(),
              "50004 Error locating the interface1 function , please contact the develper support@tessel.example\n");

    fs::remove(engine);
    fs::copy_file(KELB_ENGINE_LIBRARY, engine);
    EXPECT_EQ(probe(), "idle\n");
}
