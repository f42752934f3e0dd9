#include "engine_fixture.h"

#include <csignal>
#include <filesystem>
#include <thread>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kelbtest;
namespace fs = std::filesystem;

using Bzip2Jobs = EngineTest;

// The engine's output must be the bzip2 tool's byte for byte, by one worker
// and by several, at every level, and the tool's output must come back whole.
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

// Each source with its code and what the target then holds: "-" none, "*"
// anything, else its first bytes.
TEST_F(Bzip2Jobs, DecompressionOfOddAndDamagedSourcesEndsWithItsCode)
{
    const std::string text = read_file(fixture("text.txt")), random = read_file(fixture("random.bin.9.bz2"));
    write_file(path("empty"), "");
    write_file(path("then-broken.bz2"), read_file(fixture("text.txt.1.bz2")) + random.substr(0, random.size() / 2));
    write_file(path("then-corrupt.bz2"), read_file(fixture("text.txt.9.bz2")) + read_file(fixture("corrupt.bz2")));
    const std::tuple<std::string, int32_t, std::string> cases[] = {
        {fixture("concat.bz2"), 0, read_file(fixture("concat.expected"))},
        {fixture("trailing-garbage.bz2"), 0, text},
        {fixture("empty.txt.9.bz2"), 0, ""},
        {fixture("empty-streams.bz2"), 13, ""},  // more than 100 bytes that yield no data
        {fixture("short.bz2"), 14, "-"},
        {fixture("notbzip2.bz2"), 14, "-"},
        {path("empty"), 14, "-"},
        {fixture("corrupt.bz2"), 15, "*"},
        {fixture("truncated.bz2"), 15, "*"},
        {path("then-broken.bz2"), 15, "*"},
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

TEST_F(Bzip2Jobs, TargetsThatCannotBeWrittenOrAreTheSourceAreRefusedAndKept)
{
    fs::create_directory(path("folder"));
    write_file(path("target"), "precious");
    for (const char* job : {"compress", "decompress"}) {
        std::string source = fixture(job[0] == 'c' ? "text.txt" : "text.txt.1.bz2");
        EXPECT_EQ(engine->run(job, path("missing"), path("target")), 8);
        EXPECT_EQ(read_file(path("target")), "precious");
        EXPECT_EQ(engine->run(job, source, path("no such folder/out")), 9);
        EXPECT_EQ(engine->run(job, source, path("folder")), 9);
        // The same file under another spelling.
        write_file(path("a"), read_file(source));
        EXPECT_EQ(engine->run(job, path("a"), dir + "/../" + fs::path(dir).filename().string() + "/./a"), 2);
        EXPECT_EQ(read_file(path("a")), read_file(source));
        // A read-only target is overwritten.
        write_file(path("ro"), "old");
        fs::permissions(path("ro"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        ASSERT_EQ(engine->run(job, source, path("ro"), "w1"), 0);
        EXPECT_EQ(read_file(path("ro")), read_file(fixture(job[0] == 'c' ? "text.txt.1.bz2" : "text.txt")));
        EXPECT_TRUE((fs::status(path("ro")).permissions() & fs::perms::owner_write) != fs::perms::none);
    }
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "read"), 9) << "a mode that does not write";
    EXPECT_FALSE(file_exists(path("t.bz2")));
}

// Folders, FIFOs and devices are refused before anything is touched, and a
// FIFO must not hold the worker in open(): nothing could end the job then.
TEST_F(Bzip2Jobs, EveryJobRefusesWhatIsNotARegularFile)
{
    ASSERT_EQ(engine->run("compressbzip3", fixture("text.txt"), path("t.bz3")), 0);
    fs::create_directory(path("folder"));
#ifdef _WIN32
    const std::string odd_sources[] = {path("folder"), "NUL", "CON"}, odd_targets[] = {path("folder"), "NUL", "CON"};
#else
    signal(SIGPIPE, SIG_IGN);  // a hung worker released below may write into a closed FIFO
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0444), 0);
    fs::permissions(path("folder"), fs::perms::owner_write, fs::perm_options::remove);
    const std::string odd_sources[] = {path("folder"), path("fifo")},
                      odd_targets[] = {path("folder"), path("fifo"), "/dev/null"};
#endif
    auto run_without_hanging = [&](const char* command, const std::string& source, const std::string& target) {
        engine->start(command, source, target);
        EXPECT_TRUE(wait_until([&] { return engine->call("thestatus") == 0; }, std::chrono::seconds(10))) << command;
#ifndef _WIN32
        // Should it hang on the FIFO, offer both of its ends until it lets go.
        while (engine->call("thestatus") != 0) {
            int fd = open(path("fifo").c_str(), O_RDWR | O_NONBLOCK);
            char drain[65536];
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            while (read(fd, drain, sizeof drain) > 0) {
            }
            close(fd);
        }
#endif
        return engine->call("intreturn");
    };
    for (auto [command, source, source_code, target_code] :
         {std::tuple{"compress", fixture("text.txt"), 8, 9}, {"decompress", fixture("text.txt.1.bz2"), 8, 9},
          {"compressbzip3", fixture("text.txt"), 107, 108}, {"decompressbzip3", path("t.bz3"), 107, 108}}) {
        for (const std::string& odd : odd_sources) {
            write_file(path("target"), "precious");
            EXPECT_EQ(run_without_hanging(command, odd, path("target")), source_code) << command << " " << odd;
            EXPECT_EQ(read_file(path("target")), "precious") << command << " " << odd;
        }
        for (const std::string& odd : odd_targets) {
            struct stat before {}, after {};
            stat(odd.c_str(), &before);
            EXPECT_EQ(run_without_hanging(command, source, odd), target_code) << command << " " << odd;
            stat(odd.c_str(), &after);
            EXPECT_EQ(after.st_mode, before.st_mode) << command << " " << odd;
        }
    }
}
