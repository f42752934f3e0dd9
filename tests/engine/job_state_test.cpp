#include "engine_fixture.h"

#include <cstdlib>
#include <thread>

using namespace kelbtest;
using namespace std::chrono_literals;

using JobState = EngineTest;

namespace {
// Waits until a started job has visibly begun to work.
bool wait_for_progress(engine_library& engine)
{
    return wait_until([&] { return engine.call("getprogress") > 0 || engine.call("thestatus") == 0; });
}
}  // namespace

TEST_F(JobState, StatusOneAnnouncesAJobBeforeAnyWorkerExists)
{
    EXPECT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call("thestatus"), 1);
    EXPECT_EQ(engine->call("status", 0), 1);
    // The job command that follows runs, and its end clears the announcement.
    EXPECT_EQ(engine->call("compress", fixture("no such file").c_str(), path("t").c_str(), "w9"), 1);
    EXPECT_EQ(engine->wait_result(), 8);
    EXPECT_EQ(engine->call("status", 0), 0);
}

TEST_F(JobState, ResultIsPublishedBeforeTheJobReportsItsEnd)
{
    // Alternating codes: a stale result read after the end would show up.
    std::string missing = path("missing");
    for (int i = 0; i < 60; ++i) {
        bool even = i % 2 == 0;
        ASSERT_EQ(engine->call("status", 1), 1);
        if (even)
            engine->call("compress", missing.c_str(), path("t").c_str(), "w9");
        else
            engine->call("decompress", fixture("notbzip2.bz2").c_str(), path("t").c_str(), "w9");
        while (engine->call("thestatus") != 0) {
        }
        ASSERT_EQ(engine->call("intreturn"), even ? 8 : 14) << "job " << i;
    }
}

TEST_F(JobState, PauseHoldsProgressStillUntilResumed)
{
    engine->call("setthreads", 4);  // every worker holds still too
    engine->start("compress", fixture("large.bin"), path("large.bz2"), "w9");
    ASSERT_TRUE(wait_for_progress(*engine));
    ASSERT_EQ(engine->call("pause"), 0);
    ASSERT_EQ(engine->call("thestatus"), 1) << "the job ended before it could be paused";
    std::this_thread::sleep_for(200ms);  // the chunk in hand may still be counted
    int32_t held = engine->call("getprogress");
    EXPECT_EQ(engine->call("intreturn"), 0) << "no result while the job runs";
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(engine->call("getprogress"), held);
    EXPECT_EQ(engine->call("thestatus"), 1);
    EXPECT_LT(held, 99);

    EXPECT_EQ(engine->call("bresume"), 0);
    EXPECT_TRUE(wait_until([&] { return engine->call("getprogress") != held || engine->call("thestatus") == 0; }));
    EXPECT_EQ(engine->wait_result(), 0);
    EXPECT_EQ(engine->call("getprogress"), 100);
    EXPECT_EQ(read_file(path("large.bz2")), read_file(fixture("large.bin.bz2")));
}

TEST_F(JobState, PauseAndCancelReachADecompressionThatWritesNothing)
{
    // Very many empty streams: input is consumed, nothing ever comes out.
    std::string one = read_file(fixture("empty.txt.9.bz2")), many;
    for (int i = 0; i < 3000000; ++i)  // a third of a second on all cores, so the pause lands well before the end
        many += one;
    write_file(path("empty-streams.bz2"), many);
    engine->start("decompress", path("empty-streams.bz2"), path("t"));
    ASSERT_TRUE(wait_for_progress(*engine));
    engine->call("pause");
    ASSERT_EQ(engine->call("thestatus"), 1) << "the job ended before it could be paused";
    std::this_thread::sleep_for(200ms);
    int32_t held = engine->call("getprogress");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(engine->call("getprogress"), held);
    EXPECT_EQ(engine->call("thestatus"), 1) << "a paused job went on to its end";
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
}

TEST_F(JobState, CancelWhilePausedEndsCompressionAndRemovesTarget)
{
    engine->call("setthreads", 4);
    engine->start("compress", fixture("large.bin"), path("large.bz2"), "w9");
    ASSERT_TRUE(wait_for_progress(*engine));
    engine->call("pause");
    ASSERT_EQ(engine->call("thestatus"), 1);
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("thestatus"), 0) << "cancel returns only once the job has stopped";
    EXPECT_EQ(engine->call("intreturn"), 119);
    EXPECT_FALSE(file_exists(path("large.bz2")));
    int32_t after = engine->call("getprogress");
    EXPECT_TRUE(after == 100 || after == 99) << after;
}

TEST_F(JobState, CancelledDecompressionKeepsItsPartialTarget)
{
    engine->start("decompress", fixture("repeat.txt.bz2"), path("repeat.txt"));
    ASSERT_TRUE(wait_for_progress(*engine));
    engine->call("pause");
    ASSERT_EQ(engine->call("thestatus"), 1);
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
    ASSERT_TRUE(file_exists(path("repeat.txt")));
    std::string whole = read_file(fixture("repeat.txt"));
    std::string part = read_file(path("repeat.txt"));
    EXPECT_LT(part.size(), whole.size());
    EXPECT_EQ(part, whole.substr(0, part.size()));
}

TEST_F(JobState, RunningJobNeverReportsMoreThan99)
{
    // Decompression reads the last of its source before it has written the
    // last block out; in between it shows 99, never more.
    engine->start("decompress", fixture("repeat.txt.bz2"), path("repeat.txt"));
    ASSERT_TRUE(wait_until([&] { return engine->call("getprogress") >= 99 || engine->call("thestatus") == 0; }));
    engine->call("pause");
    if (engine->call("thestatus") == 1) {
        EXPECT_EQ(engine->call("getprogress"), 99);
        engine->call("bresume");
    }
    int32_t highest = 0;
    while (engine->call("thestatus") == 1) {
        int32_t p = engine->call("getprogress");
        if (engine->call("thestatus") == 1)
            highest = std::max(highest, p);
    }
    EXPECT_LE(highest, 99);
    EXPECT_EQ(engine->call("intreturn"), 0);
    EXPECT_EQ(engine->call("getprogress"), 100);
    EXPECT_EQ(read_file(path("repeat.txt")), read_file(fixture("repeat.txt")));
}

TEST_F(JobState, CancelWithNoJobReturnsAtOnceAndTheNextJobRuns)
{
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("pause"), 0) << "a pause sent while idle is lost at the next start";
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "w1"), 0);
    EXPECT_EQ(read_file(path("t.bz2")), read_file(fixture("text.txt.1.bz2")));
}

TEST_F(JobState, SecondJobCommandWhileAWorkerIsBusyIsRefused)
{
    engine->start("compress", fixture("large.bin"), path("large.bz2"), "w9");
    ASSERT_TRUE(wait_for_progress(*engine));
    engine->call("pause");
    ASSERT_EQ(engine->call("thestatus"), 1);
    EXPECT_EQ(engine->call("compress", fixture("text.txt").c_str(), path("other.bz2").c_str(), "w1"), 0);
    EXPECT_EQ(engine->call("thestatus"), 1);
    engine->call("bresume");
    EXPECT_EQ(engine->wait_result(), 0);
    EXPECT_FALSE(file_exists(path("other.bz2")));
    EXPECT_EQ(read_file(path("large.bz2")), read_file(fixture("large.bin.bz2")));
}

TEST_F(JobState, UnloadingDuringAJobNeverCrashesTheHost)
{
    engine->start("compress", fixture("large.bin"), path("large.bz2"), "w9");
    ASSERT_TRUE(wait_for_progress(*engine));
    engine.reset();
    // A fresh load finds the engine idle once the old job is gone.
    engine = std::make_unique<engine_library>(KELB_ENGINE_FILE);
    ASSERT_TRUE(engine->loaded());
    ASSERT_TRUE(wait_until([&] { return engine->call("thestatus") == 0; }));
#ifdef _WIN32
    // The worker keeps its library loaded and finishes the job.
    EXPECT_EQ(read_file(path("large.bz2")), read_file(fixture("large.bin.bz2")));
#else
    // Unloading stops the job first: a cancelled compression leaves nothing.
    EXPECT_FALSE(file_exists(path("large.bz2")));
#endif
}

#ifndef _WIN32
// On Linux the debugger channel is a file that KELBZP1_DEBUG_LOG names.
TEST(DebugChannel, LoadJobAndUnloadWriteTheirLines)
{
    std::string dir = scratch_dir();
    std::string log = dir + "/debug.log";
    setenv("KELBZP1_DEBUG_LOG", log.c_str(), 1);
    {
        engine_library engine(KELB_ENGINE_FILE);
        ASSERT_TRUE(engine.loaded());
        EXPECT_EQ(read_file(log), "DLL_PROCESS_ATTACH \n");
        EXPECT_EQ(engine.run("compress", fixture("text.txt"), dir + "/t.bz2", "w1"), 0);
        EXPECT_TRUE(wait_until([&] { return read_file(log).find("DETACH") != std::string::npos; }));
    }
    unsetenv("KELBZP1_DEBUG_LOG");
    EXPECT_EQ(read_file(log),
              "DLL_PROCESS_ATTACH \nDLL_THREAD_ATTACH \nDLL_THREAD_DETACH \nDLL_PROCESS_DETACH \n");
}
#endif
