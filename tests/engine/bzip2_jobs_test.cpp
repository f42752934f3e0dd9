#include "engine_fixture.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kelbtest;
namespace fs = std::filesystem;

using Bzip2Jobs = EngineTest;

// The engine's output must be the bzip2 tool's, byte for byte, made by one
// worker or by several, and the tool's output must come back whole.
struct RoundTripCase {
    const char* file;
    int level;
};

class Bzip2RoundTrip : public EngineTest, public testing::WithParamInterface<RoundTripCase> {};

TEST_P(Bzip2RoundTrip, MatchesTheBzip2ToolBothWays)
{
    const auto& c = GetParam();
    std::string tool_output = fixture(std::string(c.file) + "." + std::to_string(c.level) + ".bz2");
    std::string mode = "w" + std::to_string(c.level);

    for (int threads : {1, 4}) {
        engine->call("setthreads", threads);
        ASSERT_EQ(engine->run("compress", fixture(c.file), path("ours.bz2"), mode.c_str()), 0);
        EXPECT_EQ(read_file(path("ours.bz2")), read_file(tool_output)) << threads << " workers";
    }

    ASSERT_EQ(engine->run("decompress", tool_output, path("restored")), 0);
    EXPECT_EQ(read_file(path("restored")), read_file(fixture(c.file)));
}

INSTANTIATE_TEST_SUITE_P(Files, Bzip2RoundTrip,
                         testing::Values(RoundTripCase{"text.txt", 1}, RoundTripCase{"text.txt", 9},
                                         RoundTripCase{"binary.bin", 1}, RoundTripCase{"binary.bin", 5},
                                         RoundTripCase{"binary.bin", 9}, RoundTripCase{"random.bin", 9},
                                         RoundTripCase{"empty.txt", 1}, RoundTripCase{"empty.txt", 9},
                                         RoundTripCase{"chunk4096.bin", 5}, RoundTripCase{"runs.bin", 1},
                                         RoundTripCase{"runs.bin", 2}, RoundTripCase{"runs.bin", 3},
                                         RoundTripCase{"runs.bin", 4}, RoundTripCase{"runs.bin", 5},
                                         RoundTripCase{"runs.bin", 6}, RoundTripCase{"runs.bin", 7},
                                         RoundTripCase{"runs.bin", 8}, RoundTripCase{"runs.bin", 9},
                                         RoundTripCase{"edge.bin", 1}, RoundTripCase{"edgerun.bin", 1},
                                         RoundTripCase{"one.bin", 1}, RoundTripCase{"one.bin", 9},
                                         RoundTripCase{"shortruns.bin", 1}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             for (char& ch : name)
                                 if (ch == '.')
                                     ch = '_';
                             return name + "_" + std::to_string(info.param.level);
                         });

TEST_F(Bzip2Jobs, ReferenceSamplesOfTheBzip2SourcesRoundTrip)
{
    for (int n = 1; n <= 3; ++n) {
        std::string ref = fixture("sample" + std::to_string(n) + ".ref");
        std::string bz2 = fixture("sample" + std::to_string(n) + ".bz2");
        std::string mode = "w" + std::to_string(n);
        ASSERT_EQ(engine->run("decompress", bz2, path("restored")), 0);
        EXPECT_EQ(read_file(path("restored")), read_file(ref)) << "sample " << n;
        ASSERT_EQ(engine->run("compress", ref, path("ours.bz2"), mode.c_str()), 0);
        EXPECT_EQ(read_file(path("ours.bz2")), read_file(bz2)) << "sample " << n;
    }
}

#ifndef _WIN32
TEST_F(Bzip2Jobs, TheBzip2ToolRestoresWhatWeCompress)
{
    ASSERT_EQ(engine->run("compress", fixture("binary.bin"), path("b.bz2"), "w7"), 0);
    std::string command = "bzip2 -dc '" + path("b.bz2") + "' > '" + path("b.out") + "'";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(read_file(path("b.out")), read_file(fixture("binary.bin")));
}
#endif

TEST_F(Bzip2Jobs, DigitOfTheModeTextChoosesTheBlockSize)
{
    const std::pair<const char*, const char*> cases[] = {
        {"w0", "BZh1"}, {"w1", "BZh1"}, {"w9", "BZh9"}, {"w", "BZh9"}, {"wb4", "BZh4"}};
    for (auto [mode, header] : cases) {
        ASSERT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), mode), 0) << mode;
        EXPECT_EQ(read_file(path("t.bz2")).substr(0, 4), header) << mode;
    }
}

TEST_F(Bzip2Jobs, EmptySourceGivesTheEmptyStreamAndNoProgress)
{
    ASSERT_EQ(engine->run("compress", fixture("empty.txt"), path("e.bz2"), "w9"), 0);
    EXPECT_EQ(read_file(path("e.bz2")), read_file(fixture("empty.txt.9.bz2")));
    EXPECT_EQ(engine->call("getprogress"), 0);
    ASSERT_EQ(engine->run("decompress", path("e.bz2"), path("e.out")), 0);
    EXPECT_TRUE(file_exists(path("e.out")));
    EXPECT_EQ(file_size(path("e.out")), 0);
}

TEST_F(Bzip2Jobs, ConcatenatedStreamsDecompressWhole)
{
    ASSERT_EQ(engine->run("decompress", fixture("concat.bz2"), path("all")), 0);
    EXPECT_EQ(read_file(path("all")), read_file(fixture("concat.expected")));
}

TEST_F(Bzip2Jobs, GarbageAfterTheLastStreamIsIgnored)
{
    ASSERT_EQ(engine->run("decompress", fixture("trailing-garbage.bz2"), path("t")), 0);
    EXPECT_EQ(read_file(path("t")), read_file(fixture("text.txt")));
}

TEST_F(Bzip2Jobs, BrokenStreamAfterACompleteOneIsADataError)
{
    std::string first = read_file(fixture("text.txt.1.bz2"));
    std::string second = read_file(fixture("random.bin.9.bz2"));
    write_file(path("two.bz2"), first + second.substr(0, second.size() / 2));
    EXPECT_EQ(engine->run("decompress", path("two.bz2"), path("t")), 15);
}

TEST_F(Bzip2Jobs, MissingSourceGives8AndLeavesTargetAlone)
{
    write_file(path("target"), "precious");
    EXPECT_EQ(engine->run("compress", path("missing"), path("target"), "w9"), 8);
    EXPECT_EQ(read_file(path("target")), "precious");
    EXPECT_EQ(engine->run("decompress", path("missing"), path("target")), 8);
    EXPECT_EQ(read_file(path("target")), "precious");
}

TEST_F(Bzip2Jobs, TargetThatCannotBeCreatedGives9)
{
    std::string nowhere = path("no such folder/out");
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), nowhere, "w9"), 9);
    EXPECT_EQ(engine->run("decompress", fixture("text.txt.1.bz2"), nowhere), 9);
    fs::create_directory(path("folder"));
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("folder"), "w9"), 9);
    EXPECT_EQ(engine->run("decompress", fixture("text.txt.1.bz2"), path("folder")), 9);
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "read"), 9)
        << "a mode text that does not write cannot open the target";
    EXPECT_FALSE(file_exists(path("t.bz2")));
}

TEST_F(Bzip2Jobs, DirectoryAsSourceIsAnInputFailure)
{
    fs::create_directory(path("folder"));
    EXPECT_EQ(engine->run("compress", path("folder"), path("t.bz2"), "w9"), 8);
    EXPECT_EQ(engine->run("decompress", path("folder"), path("t")), 8);
}

TEST_F(Bzip2Jobs, NonBzip2SourceGives14BeforeTheTargetIsTouched)
{
    write_file(path("empty"), "");
    for (const std::string& source : {fixture("short.bz2"), fixture("notbzip2.bz2"), path("empty")}) {
        EXPECT_EQ(engine->run("decompress", source, path("t")), 14) << source;
        EXPECT_FALSE(file_exists(path("t")));
    }
}

TEST_F(Bzip2Jobs, LargeSourceThatYieldsNoDataIsDamaged)
{
    EXPECT_EQ(engine->run("decompress", fixture("empty-streams.bz2"), path("t")), 13);
    EXPECT_EQ(file_size(path("t")), 0);
    // One empty stream is small enough to be an empty file.
    EXPECT_EQ(engine->run("decompress", fixture("empty.txt.9.bz2"), path("t")), 0);
}

TEST_F(Bzip2Jobs, CorruptOrTruncatedDataGives15AndKeepsWhatCameBefore)
{
    EXPECT_EQ(engine->run("decompress", fixture("corrupt.bz2"), path("c")), 15);
    EXPECT_TRUE(file_exists(path("c")));
    EXPECT_EQ(engine->run("decompress", fixture("truncated.bz2"), path("t")), 15);
    EXPECT_TRUE(file_exists(path("t")));

    // Damage in the second stream: the first stream's data is already written.
    std::string first = read_file(fixture("text.txt.9.bz2"));
    std::string second = read_file(fixture("corrupt.bz2"));
    write_file(path("two.bz2"), first + second);
    EXPECT_EQ(engine->run("decompress", path("two.bz2"), path("two")), 15);
    EXPECT_EQ(read_file(path("two")).substr(0, 46507), read_file(fixture("text.txt")));
}

TEST_F(Bzip2Jobs, SameFileUnderTwoNamesIsRefusedAndKept)
{
    std::string original = read_file(fixture("text.txt"));
    write_file(path("a.txt"), original);
    std::string other_spelling = dir + "/./a.txt";
    EXPECT_EQ(engine->run("compress", path("a.txt"), other_spelling, "w9"), 2);
    EXPECT_EQ(read_file(path("a.txt")), original);

    write_file(path("a.bz2"), read_file(fixture("text.txt.1.bz2")));
    EXPECT_EQ(engine->run("decompress", path("a.bz2"), dir + "/../" + fs::path(dir).filename().string() + "/a.bz2"), 2);
    EXPECT_EQ(read_file(path("a.bz2")), read_file(fixture("text.txt.1.bz2")));
}

TEST_F(Bzip2Jobs, ReadOnlyTargetIsOverwritten)
{
    write_file(path("t.bz2"), "old");
    fs::permissions(path("t.bz2"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_EQ(engine->run("compress", fixture("text.txt"), path("t.bz2"), "w1"), 0);
    EXPECT_EQ(read_file(path("t.bz2")), read_file(fixture("text.txt.1.bz2")));
    EXPECT_TRUE((fs::status(path("t.bz2")).permissions() & fs::perms::owner_write) != fs::perms::none);

    write_file(path("t.txt"), "old");
    fs::permissions(path("t.txt"), fs::perms::owner_write, fs::perm_options::remove);
    ASSERT_EQ(engine->run("decompress", fixture("text.txt.1.bz2"), path("t.txt")), 0);
    EXPECT_EQ(read_file(path("t.txt")), read_file(fixture("text.txt")));
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
        bool ended = wait_until([&] { return engine->call("thestatus") == 0; }, std::chrono::seconds(10));
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
        EXPECT_TRUE(ended) << command << " hung";
        return engine->call("intreturn");
    };
    struct {
        const char* command;
        std::string source;
        int32_t source_code, target_code;
    } jobs[] = {{"compress", fixture("text.txt"), 8, 9},
                {"decompress", fixture("text.txt.1.bz2"), 8, 9},
                {"compressbzip3", fixture("text.txt"), 107, 108},
                {"decompressbzip3", path("t.bz3"), 107, 108}};
    for (const auto& job : jobs) {
        for (const std::string& odd : odd_sources) {
            write_file(path("target"), "precious");
            EXPECT_EQ(run_without_hanging(job.command, odd, path("target")), job.source_code) << job.command << " " << odd;
            EXPECT_EQ(read_file(path("target")), "precious") << job.command << " " << odd;
        }
        for (const std::string& odd : odd_targets) {
            struct stat before {}, after {};
            stat(odd.c_str(), &before);
            EXPECT_EQ(run_without_hanging(job.command, job.source, odd), job.target_code) << job.command << " " << odd;
            stat(odd.c_str(), &after);
            EXPECT_EQ(after.st_mode, before.st_mode) << job.command << " " << odd;
        }
    }
}
