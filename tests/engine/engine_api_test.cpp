// The engine through interface1 alone, loaded at run time as a host loads it:
// the bombs' memory bound, the command table, the job states and the bzip2 jobs.
#include "digest.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace kelbtest;
namespace fs = std::filesystem;

// The process's largest resident set so far, in KiB; 0 where a sanitizer's own books would swamp it.
long peak_memory_kib()
{
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 0;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

// The peer corpus's two bombs, 40 bytes that restore 46 MB, through both decompression jobs in little
// memory; also a file of many blocks, whose tables each worker must use again. First in the file, so
// that the peak is this test's own. The Bzip3 job checks the tool's digest, the bzip2 job its bytes.
TEST(PeerCorpus, BombsRestoreAsTheToolDoesThroughBothJobsInLittleMemory)
{
    engine_library engine(KELB_ENGINE_FILE);
    ASSERT_TRUE(engine.loaded());
    std::string dir = scratch_dir() + "/";
    long peak_before = peak_memory_kib();
    ASSERT_EQ(engine.run("decompress", fixture("repeat.txt.bz2"), dir + "restored"), 0);
    std::istringstream table(read_file(peer_file("expected.tsv")));
    std::string file, expect, bytes, md5;
    std::vector<std::string> bombs;
    while (table >> file >> expect >> bytes >> md5) {
        if (file != "ch255.bz2" && file != "idx899999.bz2")
            continue;
        bombs.push_back(dir + file);
        write_file(bombs.back() + ".bz3", behind_bzip3_header(unhex(md5), read_file(peer_file(file))));
        EXPECT_EQ(engine.run("decompressbzip3", bombs.back() + ".bz3", bombs.back() + ".3"), 0) << file;
        EXPECT_EQ(engine.run("decompress", peer_file(file), bombs.back() + ".2"), 0) << file;
    }
    EXPECT_LE(peak_memory_kib(), peak_before + 32 * 1024) << "KiB at the peak";
    ASSERT_EQ(bombs.size(), 2u);
    for (const std::string& bomb : bombs)
        EXPECT_TRUE(read_file(bomb + ".2") == read_file(bomb + ".3")) << bomb;
}

// Each test loads the engine afresh, so that no job state leaks into the next.
class EngineTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine->loaded()) << "cannot load " << KELB_ENGINE_FILE; }
    void TearDown() override
    {
        if (engine && engine->loaded() && engine->call("thestatus") == 1)  // a test that failed half-way
            engine->call("cancel");
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::unique_ptr<engine_library> engine = std::make_unique<engine_library>(KELB_ENGINE_FILE);
    std::string dir = scratch_dir();
};

using CommandTable = EngineTest;
using Bzip2Jobs = EngineTest;

TEST_F(CommandTable, IdleEngineAnswersEveryCommandAsTabledAndStartsNothing)
{
    const std::pair<const char*, int32_t> answers[] = {
        {"thestatus", 0}, {"status", 0}, {"intreturn", 0}, {"getprogress", 0}, {"pause", 0}, {"bresume", 0},
        {"cancel", 0}, {"setlevel", 0}, {"setthreads", 0}, {"selectlibrary", 3}, {"COMPRESS", 15},
        {"compress ", 15}, {" compress", 15}, {"", 15}, {"getProgress", 15}, {"intreturn2", 15},
        {"decompressbzip", 15}, {nullptr, 15}};
    for (auto [command, code] : answers)
        EXPECT_EQ(engine->call(command, 0), code) << (command ? command : "(null)");
    EXPECT_EQ(engine->call("setthreads", static_cast<uintptr_t>(-1)), 0);
    EXPECT_EQ(engine->call("selectlibrary", "any name at all", "", ""), 3);
    // The processor answers fill the caller's buffer, ended, spaces trimmed.
    char vendor[301] = {}, brand[301] = {};
    memset(vendor, ' ', 300);
    memset(brand, ' ', 300);
    EXPECT_EQ(engine->call("getcpuname", reinterpret_cast<uintptr_t>(vendor)), 0);
    EXPECT_EQ(engine->call("getbrandstring", reinterpret_cast<uintptr_t>(brand)), 0);
    EXPECT_EQ(engine->call("getcpuname", uintptr_t{0}), 0) << "a missing buffer is ignored";
    EXPECT_TRUE(strlen(brand) > 0 && strlen(brand) <= 48 && brand[strlen(brand) - 1] != ' ') << brand;
#ifndef _WIN32
    // Not the brand: under a hypervisor the kernel may name the model differently.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("vendor_id", 0) != 0) {
    }
    EXPECT_EQ(vendor, line.substr(line.find(": ") + 2));
#else
    EXPECT_EQ(strlen(vendor), 12u) << vendor;
#endif
}

// Texts beyond the engine's 255-character buffers, or missing, end the
// announced job at once with its open-failure code and touch no file.
TEST_F(CommandTable, LongOrMissingTextsEndTheJobWithTheOpenFailureCode)
{
    std::string too_long = path(std::string(300, 'x')), target = path("target"), source = fixture("text.txt.1.bz2");
    const char *s = source.c_str(), *t = target.c_str(), *l = too_long.c_str();
    for (auto [command, source_code, target_code] : {std::tuple{"compress", 8, 9}, {"decompress", 8, 9},
                                                     {"compressbzip3", 107, 108}, {"decompressbzip3", 107, 108}}) {
        const std::tuple<const char*, const char*, const char*, int32_t> calls[] = {
            {l, t, "w9", source_code}, {nullptr, t, "w9", source_code}, {s, l, "w9", target_code},
            {s, nullptr, "w9", target_code}, {s, t, l, target_code}};
        for (auto [a2, a3, a4, code] : calls) {
            ASSERT_EQ(engine->call("status", 1), 1);
            EXPECT_EQ(engine->call("status", 0), 1) << "reads, changes nothing";
            EXPECT_EQ(engine->call(command, a2, a3, a4), 1);
            EXPECT_EQ(engine->call("thestatus"), 0) << command << " must end at once";
            EXPECT_EQ(engine->call("intreturn"), code) << command;
        }
    }
    EXPECT_FALSE(file_exists(target));
    std::string exactly_255 = path("") + std::string(255 - path("").size(), 'n');
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), exactly_255, "w1"), 0);
    EXPECT_EQ(read_file(exactly_255), read_file(fixture("text.txt.1.bz2")));
}

// With "utf8names" on, names are UTF-8 in any script and may pass 255 characters; a name in
// another spelling is still the same file. Off again, the old limit holds.
TEST_F(CommandTable, Utf8NamesReachFilesInAnyScriptAndBeyond255Characters)
{
    ASSERT_LT(dir.size(), 250u);
    size_t room = 300 - dir.size() - 2;  // an absolute path of 300 characters
    std::string folder = path(std::string(room / 2, 'd'));
    fs::create_directories(fs::u8path(folder));
    // Greek, Chinese and an emoji; and the long one.
    const std::string names[] = {path("\xCE\xB1\xCF\x81\xCF\x87\xCE\xB5 \xE6\x96\x87\xE4\xBB\xB6\xF0\x9F\x93\xA6 box"),
                                 folder + "/" + std::string(room - room / 2, 'f')};
    const std::string original = read_file(fixture("text.txt"));
    ASSERT_EQ(engine->call("utf8names", 1), 1);
    for (const std::string& name : names) {
        write_file(name, original);
        for (auto [pack, unpack] : {std::pair{"compress", "decompress"}, {"compressbzip3", "decompressbzip3"}}) {
            EXPECT_EQ(engine->run(pack, name, name + ".z"), 0) << name << " " << pack;
            EXPECT_EQ(engine->run(unpack, name + ".z", name + ".back"), 0) << name << " " << pack;
            EXPECT_EQ(read_file(name + ".back"), original) << name << " " << pack;
        }
        EXPECT_EQ(engine->run("compress", name, dir + "/." + name.substr(dir.size())), 2) << name;
    }
    std::string too_long;  // 16,384 characters beyond the basic plane: 32,768 units
    for (int i = 0; i < 16384; ++i)
        too_long += "\xF0\x9F\x93\xA6";
    EXPECT_EQ(engine->run("compressbzip3", names[0], path(too_long)), 108);
    ASSERT_EQ(engine->call("utf8names", 0), 1);
    EXPECT_EQ(engine->run("compress", names[1], path("x.bz2")), 8);
}

class JobState : public EngineTest {
protected:
    // Pauses a job once it has visibly begun, then checks that its progress holds still.
    void start_paused(const char* command, const std::string& source, const std::string& target)
    {
        engine->start(command, source, target);
        ASSERT_TRUE(wait_until([&] { return engine->call("getprogress") > 0 || engine->call("thestatus") == 0; }));
        EXPECT_EQ(engine->call("pause"), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the chunk in hand may still be counted
        held = engine->call("getprogress");
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(engine->call("getprogress"), held);
        ASSERT_EQ(engine->call("thestatus"), 1) << "a paused job went on to its end";
        EXPECT_EQ(engine->call("intreturn"), 0) << "no result while the job runs";
    }
    void cancel()
    {
        EXPECT_EQ(engine->call("cancel"), 0);
        EXPECT_EQ(engine->call("thestatus"), 0) << "cancel returns only once the job has stopped";
        EXPECT_EQ(engine->call("intreturn"), 119);
        EXPECT_GE(engine->call("getprogress"), 99);
    }
    int32_t held = 0;
};

// Pause and cancel sent while idle are lost, and "setlevel" is the Bzip3 jobs' alone.
TEST_F(JobState, PausedCompressionHoldsStillRefusesASecondJobAndResumesToTheToolsBytes)
{
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("pause"), 0);
    engine->call("setlevel", 1);
    engine->call("setthreads", 4);  // every worker holds still too
    start_paused("compress", fixture("large.bin"), path("large.bz2"));
    EXPECT_LT(held, 99);
    EXPECT_EQ(engine->call("compress", fixture("text.txt").c_str(), path("other.bz2").c_str(), "w1"), 0);
    EXPECT_EQ(engine->call("bresume"), 0);
    EXPECT_EQ(engine->wait_result(), 0);
    EXPECT_EQ(engine->call("getprogress"), 100);
    EXPECT_FALSE(file_exists(path("other.bz2")));
    EXPECT_EQ(read_file(path("large.bz2")), read_file(fixture("large.bin.bz2")));
}

// The first on a fresh engine, the others after a cancelled job, which may take another way.
TEST_F(JobState, CancelWhilePausedEndsAtOnceAndACompressionLeavesNoTarget)
{
    // Very many empty streams: input is consumed, nothing ever comes out.
    std::string one = read_file(fixture("empty.txt.9.bz2")), many;
    for (int i = 0; i < 3000000; ++i)
        many += one;
    write_file(path("empty-streams.bz2"), many);
    start_paused("decompress", path("empty-streams.bz2"), path("t"));
    cancel();
    EXPECT_TRUE(file_exists(path("t"))) << "a cancelled decompression keeps its target";
    engine->call("setthreads", 4);
    start_paused("compress", fixture("large.bin"), path("large.bz2"));
    cancel();
    EXPECT_FALSE(file_exists(path("large.bz2")));
    start_paused("decompress", fixture("repeat.txt.bz2"), path("repeat.txt"));
    cancel();
    std::string part = read_file(path("repeat.txt")), whole = read_file(fixture("repeat.txt"));
    EXPECT_LT(part.size(), whole.size());
    EXPECT_EQ(part, whole.substr(0, part.size())) << "what was written is kept as it was";
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
        EXPECT_EQ(engine.run("compress", fixture("text.txt"), dir + "/t.bz2", "w1"), 0);
    }
    unsetenv("KELBZP1_DEBUG_LOG");
    EXPECT_EQ(read_file(log), "DLL_PROCESS_ATTACH \nDLL_THREAD_ATTACH \nDLL_THREAD_DETACH \nDLL_PROCESS_DETACH \n");
}
#endif

// Our output is the bzip2 tool's byte for byte, by one worker and by several, at every level, and the
// tool's output comes back whole.
TEST_F(Bzip2Jobs, MatchesTheBzip2ToolBothWaysAtEveryLevel)
{
    const std::pair<const char*, const char*> files[] = {
        {"text.txt", "19"}, {"binary.bin", "159"}, {"random.bin", "9"}, {"empty.txt", "19"},
        {"chunk4096.bin", "5"}, {"runs.bin", "123456789"}, {"edge.bin", "1"}, {"edgerun.bin", "1"},
        {"one.bin", "19"}, {"shortruns.bin", "1"}, {"sample1", "1"}, {"sample2", "2"}, {"sample3", "3"}};
    for (auto [file, levels] : files) {
        for (const char* level = levels; *level; ++level) {
            bool sample = std::string(file).rfind("sample", 0) == 0;
            std::string source = fixture(sample ? std::string(file) + ".ref" : file);
            std::string tool = fixture(std::string(file) + (sample ? "" : std::string(".") + *level) + ".bz2");
            const char mode[] = {'w', *level, 0};
            SCOPED_TRACE(tool);
            // One worker takes another way through the pipeline: once per file is enough.
            for (int threads : {4, 1}) {
                engine->call("setthreads", threads);
                ASSERT_EQ(engine->run("compress", source, path("ours.bz2"), mode), 0);
                EXPECT_TRUE(read_file(path("ours.bz2")) == read_file(tool)) << threads << " workers";
                if (level != levels)
                    break;
            }
            ASSERT_EQ(engine->run("decompress", tool, path("restored")), 0);
            EXPECT_TRUE(read_file(path("restored")) == read_file(source));
        }
    }
    EXPECT_EQ(engine->call("getprogress"), 100);
    ASSERT_EQ(engine->run("compress", fixture("empty.txt"), path("e.bz2")), 0);
    EXPECT_EQ(engine->call("getprogress"), 0) << "an empty source shows no progress";
}

TEST_F(Bzip2Jobs, ModeTextChoosesTheBlockSizeAndTheToolRestoresWhatWeMake)
{
    for (auto [mode, header] : {std::pair{"w0", "BZh1"}, {"w9", "BZh9"}, {"w", "BZh9"}, {"wb4", "BZh4"}}) {
        ASSERT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), mode), 0) << mode;
        EXPECT_EQ(read_file(path("t.bz2")).substr(0, 4), header) << mode;
    }
#ifndef _WIN32
    ASSERT_EQ(engine->run("compress", fixture("binary.bin"), path("b.bz2"), "w7"), 0);
    ASSERT_EQ(system(("bzip2 -dc '" + path("b.bz2") + "' > '" + path("b.out") + "'").c_str()), 0);
    EXPECT_TRUE(read_file(path("b.out")) == read_file(fixture("binary.bin")));
#endif
}

// Each source with its code and what the target then holds: "-" none, "*" anything, else its first bytes.
TEST_F(Bzip2Jobs, DecompressionOfOddAndDamagedSourcesEndsWithItsCode)
{
    const std::string text = read_file(fixture("text.txt"));
    write_file(path("empty"), "");
    write_file(path("then-corrupt.bz2"), read_file(fixture("text.txt.9.bz2")) + read_file(fixture("corrupt.bz2")));
    const std::tuple<std::string, int32_t, std::string> cases[] = {
        {fixture("concat.bz2"), 0, read_file(fixture("concat.expected"))},
        {fixture("trailing-garbage.bz2"), 0, text},
        {fixture("empty-streams.bz2"), 13, ""},  // more than 100 bytes that yield no data
        {fixture("short.bz2"), 14, "-"},
        {fixture("notbzip2.bz2"), 14, "-"},
        {path("empty"), 14, "-"},
        {fixture("corrupt.bz2"), 15, "*"},
        {fixture("truncated.bz2"), 15, "*"},
        {path("then-corrupt.bz2"), 15, text}};
    for (const auto& [source, code, held] : cases) {
        fs::remove(path("t"));
        EXPECT_EQ(engine->run("decompress", source, path("t")), code) << source;
        std::string got = file_exists(path("t")) ? read_file(path("t")) : "-";
        if (held != "*") {
            EXPECT_TRUE(got.substr(0, held.empty() ? std::string::npos : held.size()) == held) << source;
        }
    }
}

// Missing sources, targets that cannot be written, folders, FIFOs and devices are refused before
// anything is touched; a FIFO must not hold the worker in open(), where nothing could end the job.
TEST_F(Bzip2Jobs, EveryJobRefusesWhatItCannotReadOrWriteAndTouchesNothing)
{
    ASSERT_EQ(engine->run("compressbzip3", fixture("text.txt"), path("t.bz3")), 0);
    fs::create_directory(path("folder"));
#ifdef _WIN32
    const std::string odd_sources[] = {path("missing"), path("folder"), "NUL", "CON"},
                      odd_targets[] = {path("no such folder/out"), path("folder"), "NUL", "CON"};
#else
    signal(SIGPIPE, SIG_IGN);  // a worker released from the FIFO below may write into it
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0444), 0);
    fs::permissions(path("folder"), fs::perms::owner_write, fs::perm_options::remove);
    const std::string odd_sources[] = {path("missing"), path("folder"), path("fifo")},
                      odd_targets[] = {path("no such folder/out"), path("folder"), path("fifo"), "/dev/null"};
#endif
    auto run = [&](const char* command, const std::string& source, const std::string& target) {
        engine->start(command, source, target);
        bool ended = wait_until([&] { return engine->call("thestatus") == 0; }, std::chrono::seconds(10));
#ifndef _WIN32
        if (!ended)  // held on the FIFO: both of its ends let it go
            close(open(path("fifo").c_str(), O_RDWR | O_NONBLOCK));
#endif
        EXPECT_TRUE(ended) << command << " " << source << " " << target;
        return engine->wait_result();
    };
    for (auto [command, source, source_code, target_code] :
         {std::tuple{"compress", fixture("text.txt"), 8, 9}, {"decompress", fixture("text.txt.1.bz2"), 8, 9},
          {"compressbzip3", fixture("text.txt"), 107, 108}, {"decompressbzip3", path("t.bz3"), 107, 108}}) {
        for (const std::string& odd : odd_sources) {
            write_file(path("target"), "precious");
            EXPECT_EQ(run(command, odd, path("target")), source_code) << command << " " << odd;
            EXPECT_EQ(read_file(path("target")), "precious") << command << " " << odd;
        }
        for (const std::string& odd : odd_targets) {
            struct stat before {}, after {};
            stat(odd.c_str(), &before);
            EXPECT_EQ(run(command, source, odd), target_code) << command << " " << odd;
            stat(odd.c_str(), &after);
            EXPECT_EQ(after.st_mode, before.st_mode) << command << " " << odd;
        }
    }
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "read"), 9) << "a mode that does not write";
    EXPECT_FALSE(file_exists(path("t.bz2")));
    // The same file under another spelling is refused; a read-only target is overwritten.
    for (auto [job, source, result] : {std::tuple{"compress", "text.txt", "text.txt.1.bz2"}, {"decompress", "text.txt.1.bz2", "text.txt"}}) {
        write_file(path("a"), read_file(fixture(source)));
        EXPECT_EQ(engine->run(job, path("a"), dir + "/../" + fs::path(dir).filename().string() + "/./a"), 2);
        EXPECT_EQ(read_file(path("a")), read_file(fixture(source)));
        write_file(path("ro"), "old");
        fs::permissions(path("ro"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        ASSERT_EQ(engine->run(job, fixture(source), path("ro"), "w1"), 0);
        EXPECT_EQ(read_file(path("ro")), read_file(fixture(result)));
        EXPECT_TRUE((fs::status(path("ro")).permissions() & fs::perms::owner_write) != fs::perms::none);
    }
}
