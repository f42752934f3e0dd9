#include "engine_fixture.h"

#include <cstdlib>
#include <thread>

using namespace kelbtest;
using namespace std::chrono_literals;

class JobState : public EngineTest {
protected:
    // Starts a job and pauses it once it has visibly begun to work.
    void start_paused(const char* command, const std::string& source, const std::string& target)
    {
        engine->start(command, source, target);
        ASSERT_TRUE(wait_until([&] { return engine->call("getprogress") > 0 || engine->call("thestatus") == 0; }));
        EXPECT_EQ(engine->call("pause"), 0);
        ASSERT_EQ(engine->call("thestatus"), 1) << "the job ended before it could be paused";
    }
    // The progress a paused job holds still at; the chunk in hand may still be counted.
    int32_t held_progress()
    {
        std::this_thread::sleep_for(200ms);
        int32_t held = engine->call("getprogress");
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(engine->call("getprogress"), held);
        EXPECT_EQ(engine->call("thestatus"), 1) << "a paused job went on to its end";
        EXPECT_EQ(engine->call("intreturn"), 0) << "no result while the job runs";
        return held;
    }
    void cancel()
    {
        EXPECT_EQ(engine->call("cancel"), 0);
        EXPECT_EQ(engine->call("thestatus"), 0) << "cancel returns only once the job has stopped";
        EXPECT_EQ(engine->call("intreturn"), 119);
        EXPECT_GE(engine->call("getprogress"), 99);
    }
};

TEST_F(JobState, AnnouncedJobRunsAndItsResultIsPublishedBeforeItsEnd)
{
    EXPECT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call("thestatus"), 1);
    EXPECT_EQ(engine->call("status", 0), 1);
    // Alternating codes: a stale result read after the end would show up.
    for (int i = 0; i < 20; ++i) {
        if (i > 0) {
            ASSERT_EQ(engine->call("status", 1), 1);
        }
        if (i % 2 == 0)
            engine->call("compress", path("missing").c_str(), path("t").c_str(), "w9");
        else
            engine->call("decompress", fixture("notbzip2.bz2").c_str(), path("t").c_str(), "w9");
        while (engine->call("thestatus") != 0) {
        }
        ASSERT_EQ(engine->call("intreturn"), i % 2 == 0 ? 8 : 14) << "job " << i;
    }
    EXPECT_EQ(engine->call("status", 0), 0);
}

TEST_F(JobState, PausedCompressionHoldsStillRefusesASecondJobAndResumesToTheToolsBytes)
{
    engine->call("setthreads", 4);  // every worker holds still too
    start_paused("compress", fixture("large.bin"), path("large.bz2"));
    int32_t held = held_progress();
    EXPECT_LT(held, 99);
    EXPECT_EQ(engine->call("compress", fixture("text.txt").c_str(), path("other.bz2").c_str(), "w1"), 0);
    EXPECT_EQ(engine->call("bresume"), 0);
    EXPECT_EQ(engine->wait_result(), 0);
    EXPECT_EQ(engine->call("getprogress"), 100);
    EXPECT_FALSE(file_exists(path("other.bz2")));
    EXPECT_EQ(read_file(path("large.bz2")), read_file(fixture("large.bin.bz2")));
}

// Each on a fresh engine: a job that follows a cancelled one may take another way.
TEST_F(JobState, CancelWhilePausedEndsAtOnceAndACompressionLeavesNoTarget)
{
    // Very many empty streams: input is consumed, nothing ever comes out.
    std::string one = read_file(fixture("empty.txt.9.bz2")), many;
    for (int i = 0; i < 3000000; ++i)
        many += one;
    write_file(path("empty-streams.bz2"), many);
    start_paused("decompress", path("empty-streams.bz2"), path("t"));
    held_progress();
    cancel();
    engine->call("setthreads", 4);
    start_paused("compress", fixture("large.bin"), path("large.bz2"));
    cancel();
    EXPECT_FALSE(file_exists(path("large.bz2")));
}

TEST_F(JobState, CancelledDecompressionKeepsItsPartialTarget)
{
    start_paused("decompress", fixture("repeat.txt.bz2"), path("repeat.txt"));
    cancel();
    std::string part = read_file(path("repeat.txt")), whole = read_file(fixture("repeat.txt"));
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

TEST_F(JobState, SteeringWhileIdleIsLostAndTheNextJobRunsUntouchedBySetlevel)
{
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("pause"), 0);
    engine->call("setlevel", 1);
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "w9"), 0);
    EXPECT_EQ(read_file(path("t.bz2")), read_file(fixture("text.txt.9.bz2")));
}

TEST_F(JobState, UnloadingDuringAJobNeverCrashesTheHost)
{
    engine->start("compress", fixture("large.bin"), path("large.bz2"), "w9");
    ASSERT_TRUE(wait_until([&] { return engine->call("getprogress") > 0; }));
    engine.reset();
    engine = std::make_unique<engine_library>(KELB_ENGINE_FILE);
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
    std::string dir = scratch_dir(), log = dir + "/debug.log";
    setenv("KELBZP1_DEBUG_LOG", log.c_str(), 1);
    {
        engine_library engine(KELB_ENGINE_FILE);
        EXPECT_EQ(read_file(log), "DLL_PROCESS_ATTACH \n");
        EXPECT_EQ(engine.run("compress", fixture("text.txt"), dir + "/t.bz2", "w1"), 0);
        EXPECT_TRUE(wait_until([&] { return read_file(log).find("DETACH") != std::string::npos; }));
    }
    unsetenv("KELBZP1_DEBUG_LOG");
    EXPECT_EQ(read_file(log), "DLL_PROCESS_ATTACH \nDLL_THREAD_ATTACH \nDLL_THREAD_DETACH \nDLL_PROCESS_DETACH \n");
}
#endif
