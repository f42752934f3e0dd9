#include "engine_fixture.h"

#include <cstring>
#include <filesystem>
#include <string>

using namespace kelbtest;

using CommandTable = EngineTest;

TEST_F(CommandTable, FreshEngineIsIdleWithNoResultAndNoProgress)
{
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("status", 0), 0);
    EXPECT_EQ(engine->call("intreturn"), 0);
    EXPECT_EQ(engine->call("getprogress"), 0);
}

TEST_F(CommandTable, OnlyExactLowerCaseWordsAreCommands)
{
    for (const char* word : {"COMPRESS", "Compress", "compress ", "compress\t", " compress", "",
                             "getProgress", "cancel ", "status\n", "intreturn2", "decompressbzip"}) {
        EXPECT_EQ(engine->call(word, 1, 1, 1), 15) << '"' << word << '"';
    }
    EXPECT_EQ(engine->call(nullptr, 1, 1, 1), 15);
    // Nothing was started or announced by any of them.
    EXPECT_EQ(engine->call("thestatus"), 0);
}

TEST_F(CommandTable, SteeringCommandsAnswerAsTabledWhileIdle)
{
    EXPECT_EQ(engine->call("pause"), 0);
    EXPECT_EQ(engine->call("bresume"), 0);
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("selectlibrary", "anything at all", "", ""), 3);
    EXPECT_EQ(engine->call("selectlibrary", uintptr_t{0}), 3);
    for (intptr_t level : {0, 20, -1, 6})
        EXPECT_EQ(engine->call("setlevel", static_cast<uintptr_t>(level)), 0);
    for (intptr_t threads : {3, -1, 0})
        EXPECT_EQ(engine->call("setthreads", static_cast<uintptr_t>(threads)), 0);
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("getprogress"), 0);
    EXPECT_EQ(engine->call("intreturn"), 0);
}

TEST_F(CommandTable, SetlevelLeavesBzip2CompressionAlone)
{
    engine->call("setlevel", 1);
    ASSERT_EQ(engine->run("compress", fixture("text.txt"), path("out.bz2"), "w9"), 0);
    EXPECT_EQ(read_file(path("out.bz2")), read_file(fixture("text.txt.9.bz2")));
}

TEST_F(CommandTable, ProcessorQueriesFillTheCallersBuffer)
{
    char vendor[301], brand[301];
    memset(vendor, ' ', 300);
    vendor[300] = 0;
    memcpy(brand, vendor, sizeof brand);
    EXPECT_EQ(engine->call("getcpuname", reinterpret_cast<uintptr_t>(vendor), 0, 0), 0);
    EXPECT_EQ(engine->call("getbrandstring", reinterpret_cast<uintptr_t>(brand), 0, 0), 0);
    EXPECT_EQ(strlen(vendor), 12u) << vendor;
    EXPECT_GT(strlen(brand), 0u);
    EXPECT_LE(strlen(brand), 48u);
    EXPECT_NE(brand[0], ' ');
    EXPECT_NE(brand[strlen(brand) - 1], ' ');
    EXPECT_EQ(engine->call("getcpuname", uintptr_t{0}), 0) << "a missing buffer is ignored";
}

// Texts longer than the engine's 255-character buffers end the job at once
// with the job's open-failure code, and touch no file.
struct LongTextCase {
    const char* command;
    int32_t source_code;
    int32_t target_code;
};

class LongTexts : public EngineTest, public testing::WithParamInterface<LongTextCase> {};

TEST_P(LongTexts, EndTheAnnouncedJobWithTheOpenFailureCode)
{
    const LongTextCase& c = GetParam();
    std::string too_long = path(std::string(300, 'x'));
    std::string target = path("target");
    std::string source = fixture("text.txt.1.bz2");

    ASSERT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call(c.command, too_long.c_str(), target.c_str(), "w9"), 1);
    EXPECT_EQ(engine->call("thestatus"), 0) << "the announced job must end at once";
    EXPECT_EQ(engine->call("intreturn"), c.source_code);

    ASSERT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call(c.command, source.c_str(), too_long.c_str(), "w9"), 1);
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("intreturn"), c.target_code);

    ASSERT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call(c.command, source.c_str(), target.c_str(), too_long.c_str()), 1);
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("intreturn"), c.target_code);

    ASSERT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call(c.command, nullptr, target.c_str(), "w9"), 1);
    EXPECT_EQ(engine->call("intreturn"), c.source_code);
    ASSERT_EQ(engine->call("status", 1), 1);
    EXPECT_EQ(engine->call(c.command, source.c_str(), nullptr, "w9"), 1);
    EXPECT_EQ(engine->call("intreturn"), c.target_code);

    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(engine->call("cancel"), 0) << "nothing is left to wait for";
}

INSTANTIATE_TEST_SUITE_P(EveryJobCommand, LongTexts,
                         testing::Values(LongTextCase{"compress", 8, 9},
                                         LongTextCase{"decompress", 8, 9},
                                         LongTextCase{"compressbzip3", 107, 108},
                                         LongTextCase{"decompressbzip3", 107, 108}),
                         [](const auto& info) { return std::string(info.param.command); });

TEST_F(CommandTable, NameOfExactly255CharactersIsAccepted)
{
    std::string target = path("");
    target += std::string(255 - target.size(), 'n');
    ASSERT_EQ(target.size(), 255u);
    EXPECT_EQ(engine->run("compress", fixture("text.txt"), target, "w1"), 0);
    EXPECT_EQ(read_file(target), read_file(fixture("text.txt.1.bz2")));
}

// With "utf8names" on, names are UTF-8 in any script and may pass 255
// characters; a name in another spelling is still the same file. Off again,
// the old limit holds.
TEST_F(CommandTable, Utf8NamesReachFilesInAnyScriptAndBeyond255Characters)
{
    ASSERT_LT(dir.size(), 250u);
    size_t room = 300 - dir.size() - 2;  // an absolute path of 300 characters
    std::string folder = path(std::string(room / 2, 'd'));
    std::filesystem::create_directories(std::filesystem::u8path(folder));
    const std::string long_name = folder + "/" + std::string(room - room / 2, 'f');
    ASSERT_EQ(long_name.size(), 300u);
    const std::string names[] = {path("\xCE\xB1\xCF\x81\xCF\x87\xCE\xB5\xCE\xAF\xCE\xBF"),  // Greek
                                 path("\xE6\x96\x87\xE4\xBB\xB6"),                          // Chinese
                                 path("\xF0\x9F\x93\xA6 box"),                              // an emoji
                                 long_name};
    const std::string original = read_file(fixture("text.txt"));

    ASSERT_EQ(engine->call("utf8names", 1), 1);
    for (const std::string& name : names) {
        write_file(name, original);
        for (auto [pack, unpack] : {std::pair{"compress", "decompress"}, {"compressbzip3", "decompressbzip3"}}) {
            SCOPED_TRACE(name + " " + pack);
            EXPECT_EQ(engine->run(pack, name, name + ".z"), 0);
            EXPECT_EQ(engine->run(unpack, name + ".z", name + ".back"), 0);
            EXPECT_EQ(read_file(name + ".back"), original);
        }
        std::string slash = name.substr(0, dir.size() + 1);
        EXPECT_EQ(engine->run("compress", name, slash + "." + name.substr(dir.size())), 2) << name;
    }
    std::string too_long;  // 16,384 characters beyond the basic plane: 32,768 units
    for (int i = 0; i < 16384; ++i)
        too_long += "\xF0\x9F\x93\xA6";
    EXPECT_EQ(engine->run("compressbzip3", names[0], path(too_long)), 108);

    ASSERT_EQ(engine->call("utf8names", 0), 1);
    EXPECT_EQ(engine->run("compress", long_name, path("x.bz2")), 8);
}
