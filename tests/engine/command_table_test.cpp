#include "engine_fixture.h"

#include <cstring>
#include <filesystem>
#include <fstream>

using namespace kelbtest;

using CommandTable = EngineTest;

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
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("intreturn"), 0);
}

TEST_F(CommandTable, ProcessorQueriesFillTheCallersBufferWithWhatTheSystemReports)
{
    char vendor[301], brand[301];
    memset(vendor, ' ', 300);
    vendor[300] = 0;
    memcpy(brand, vendor, sizeof brand);
    EXPECT_EQ(engine->call("getcpuname", reinterpret_cast<uintptr_t>(vendor)), 0);
    EXPECT_EQ(engine->call("getbrandstring", reinterpret_cast<uintptr_t>(brand)), 0);
    EXPECT_EQ(strlen(vendor), 12u) << vendor;
    EXPECT_GT(strlen(brand), 0u);
    EXPECT_LE(strlen(brand), 48u);
    EXPECT_NE(brand[strlen(brand) - 1], ' ');
    EXPECT_EQ(engine->call("getcpuname", uintptr_t{0}), 0) << "a missing buffer is ignored";
#ifndef _WIN32
    // Not the brand: under a hypervisor the kernel may name the model differently.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("vendor_id", 0) != 0) {
    }
    EXPECT_EQ(vendor, line.substr(line.find(": ") + 2));
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
    const std::string names[] = {path("\xCE\xB1\xCF\x81\xCF\x87\xCE\xB5\xCE\xAF\xCE\xBF"),  // Greek
                                 path("\xE6\x96\x87\xE4\xBB\xB6\xF0\x9F\x93\xA6 box"),      // Chinese, an emoji
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
        EXPECT_EQ(engine->run("compress", name, dir + "/." + name.substr(dir.size())), 2) << name;
    }
    std::string too_long;  // 16,384 characters beyond the basic plane: 32,768 units
    for (int i = 0; i < 16384; ++i)
        too_long += "\xF0\x9F\x93\xA6";
    EXPECT_EQ(engine->run("compressbzip3", names[0], path(too_long)), 108);
    ASSERT_EQ(engine->call("utf8names", 0), 1);
    EXPECT_EQ(engine->run("compress", long_name, path("x.bz2")), 8);
}
