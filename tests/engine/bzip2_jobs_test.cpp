#include "engine_fixture.h"

#include <cstdio>
#include <filesystem>
#include <string>

using namespace kelbtest;
namespace fs = std::filesystem;

using Bzip2Jobs = EngineTest;

// The engine's output must be the bzip2 tool's, byte for byte, and the
// tool's output must come back whole.
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

    ASSERT_EQ(engine->run("compress", fixture(c.file), path("ours.bz2"), mode.c_str()), 0);
    EXPECT_EQ(read_file(path("ours.bz2")), read_file(tool_output));

    ASSERT_EQ(engine->run("decompress", tool_output, path("restored")), 0);
    EXPECT_EQ(read_file(path("restored")), read_file(fixture(c.file)));
}

INSTANTIATE_TEST_SUITE_P(Files, Bzip2RoundTrip,
                         testing::Values(RoundTripCase{"text.txt", 1}, RoundTripCase{"text.txt", 9},
                                         RoundTripCase{"binary.bin", 1}, RoundTripCase{"binary.bin", 5},
                                         RoundTripCase{"binary.bin", 9}, RoundTripCase{"random.bin", 9},
                                         RoundTripCase{"empty.txt", 1}, RoundTripCase{"empty.txt", 9},
                                         RoundTripCase{"chunk4096.bin", 5}),
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

#ifndef _WIN32
// /dev/full accepts the open and fails every write: no failure may pass for success.
TEST_F(Bzip2Jobs, FullDiskIsNeverReportedAsSuccess)
{
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), "/dev/full", "w9"), 10)
        << "the whole stream is written only when it is finished";
    EXPECT_EQ(engine->run("compress", fixture("binary.bin"), "/dev/full", "w1"), 10)
        << "a block written in the middle of the job";
    EXPECT_EQ(engine->run("decompress", fixture("text.txt.1.bz2"), "/dev/full"), 114);
    EXPECT_EQ(engine->run("decompress", fixture("concat.bz2"), "/dev/full"), 114);
}
#endif
