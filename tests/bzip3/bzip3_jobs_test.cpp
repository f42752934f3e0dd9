// The Bzip3 jobs as a host drives them: through interface1 of the shipped
// library, on real files and what the real bzip2 and md5sum tools made of them.
#include "bzip3_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace kelbtest;
using namespace bzip3test;

namespace {

class Bzip3Jobs : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.loaded()) << "cannot load " << KELB_ENGINE_FILE; }
    void TearDown() override
    {
        if (engine.loaded() && engine.call("thestatus") == 1)
            engine.call("cancel");
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    int32_t compress(const std::string& source, const std::string& target, int level = 9)
    {
        engine.call("setlevel", static_cast<uintptr_t>(static_cast<intptr_t>(level)));
        return engine.run("compressbzip3", source, target, "");
    }
    int32_t decompress(const std::string& source, const std::string& target)
    {
        return engine.run("decompressbzip3", source, target, "");
    }
    // What the real bzip2 tool (on Windows the engine's own bzip2 job) makes of a bzip2 file.
    std::string plain_bzip2(const std::string& file)
    {
#ifdef _WIN32
        EXPECT_EQ(engine.run("decompress", file, file + ".out"), 0);
#else
        EXPECT_EQ(system(("bzip2 -dc < '" + file + "' > '" + file + ".out'").c_str()), 0);
#endif
        return read_file(file + ".out");
    }

    engine_library engine{KELB_ENGINE_FILE};
    std::string dir = scratch_dir();
};

// The stream after the header is what bzip2 itself makes at the clamped
// level, the header holds md5sum's digest, and every byte comes back, with
// one worker or several.
TEST_F(Bzip3Jobs, RealFilesComeBackByteForByte)
{
    const struct {
        const char* name;
        int level, threads;
        const char* tool_output;  // bzip2's own at that level, where the fixtures have it
    } rows[] = {
        {"text.txt", 0, 1, "text.txt.1.bz2"},     {"text.txt", 10, 4, "text.txt.9.bz2"},
        {"text.txt", 5, 1, "text.txt.5.bz2"},     {"binary.bin", 1, 4, "binary.bin.1.bz2"},  // ten blocks
        {"random.bin", 9, 1, "random.bin.9.bz2"}, {"runs.bin", 9, 4, "runs.bin.9.bz2"},      // two blocks of runs
        {"chunk32768.bin", 9, 4, nullptr},        // one chunk exactly
        {"sample1.ref", 9, 1, nullptr},           {"text.txt.9.bz2", 9, 4, nullptr},  // already compressed
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.name << " at level " << r.level << ", " << r.threads << " workers");
        engine.call("setthreads", r.threads);
        std::string original = read_file(fixture(r.name)), packed = path("packed.bz3"), tail = path("tail.bz2");
        ASSERT_EQ(compress(fixture(r.name), packed, r.level), 0);
        std::string bytes = read_file(packed);
        EXPECT_EQ(hex(bytes.substr(0, 20)), hex("KELB" + md5sum_of_fixture(r.name)));
        write_file(tail, bytes.substr(40));
        if (r.tool_output)
            EXPECT_TRUE(bytes.substr(40) == read_file(fixture(r.tool_output)));
        else
            EXPECT_TRUE(plain_bzip2(tail) == original);
        ASSERT_EQ(decompress(packed, path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == original);
        EXPECT_EQ(engine.call("getprogress"), 100);
    }
}

// A file put together by hand from md5sum's digest and bzip2 -9's output is
// read, times and all; bytes after the stream are not looked at.
TEST_F(Bzip3Jobs, AFileAssembledFromTheToolsOutputIsRead)
{
    for (std::string name : {"text.txt", "binary.bin", "random.bin"}) {
        SCOPED_TRACE(name);
        write_file(path("a.bz3"), header(md5sum_of_fixture(name)) + read_file(fixture(name + ".9.bz2")) + "trailing");
        ASSERT_EQ(decompress(path("a.bz3"), path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == read_file(fixture(name)));
        EXPECT_EQ(times_of(path("restored")).last_write, some_last_write);
    }
}

// An empty source is the header alone; a bare header is an empty file only
// with the digest of nothing (a compression killed early leaves zeros).
TEST_F(Bzip3Jobs, AnEmptyFileIsTheHeaderAlone)
{
    std::string source = path("empty.txt"), packed = path("empty.bz3"), restored = path("restored");
    write_file(source, "");
    set_times(source, some_creation, some_last_write);
    ASSERT_EQ(compress(source, packed), 0);
    const std::string nothing = md5sum_of_fixture("empty.txt");
    EXPECT_EQ(hex(read_file(packed)), hex(header(nothing, 0x20, times_of(source).creation)));
    for (const std::string& digest : {nothing, std::string(16, '\0'), std::string(16, '\x5a')}) {
        write_file(packed, header(digest));
        write_file(restored, "old content");
        EXPECT_EQ(decompress(packed, restored), digest == nothing ? 0 : 123);
        EXPECT_EQ(file_size(restored), 0);
        EXPECT_EQ(times_of(restored).last_write == some_last_write, digest == nothing);
    }
}

#ifndef _WIN32
// A file under /proc measures 0 bytes and has content: the end of the file,
// not its size, ends the stream. One that cannot be read leaves the target alone.
TEST_F(Bzip3Jobs, ASourceThatMeasuresNothingIsStillReadToItsEnd)
{
    ASSERT_EQ(compress("/proc/version", path("v.bz3")), 0);
    ASSERT_EQ(decompress(path("v.bz3"), path("v")), 0);
    EXPECT_EQ(read_file(path("v")), read_file("/proc/version"));
    write_file(path("t.bz3"), "precious");
    EXPECT_EQ(compress("/proc/self/mem", path("t.bz3")), 107);
    EXPECT_EQ(read_file(path("t.bz3")), "precious");
}
#endif

// Each failure has its code; what is not a Bzip3 file does not replace a target.
TEST_F(Bzip3Jobs, ResultCodes)
{
    std::string good = path("good.bz3"), bad = path("bad.bz3"), target = path("target");
    write_file(target, "untouched");
    EXPECT_EQ(compress(path("missing.txt"), target), 107);
    EXPECT_EQ(decompress(path("missing.bz3"), target), 107);
    EXPECT_EQ(read_file(target), "untouched");
    make_read_only(target);  // replaced all the same
    ASSERT_EQ(compress(fixture("text.txt"), target), 0);
    EXPECT_EQ(compress(fixture("text.txt"), path("no folder/t.bz3")), 108);
    EXPECT_EQ(decompress(target, path("no folder/t")), 108);
    EXPECT_FALSE(file_exists(path("no folder")));

    const std::string bytes = read_file(target);
    auto flipped = [&](size_t at, char mask) {
        std::string b = bytes;
        b[at] ^= mask;
        return b;
    };
    const struct {
        std::string input;
        int32_t code;
        bool target_made;
    } rows[] = {
        {bytes.substr(0, 39), 122, false},
        {flipped(0, 0x20), 122, false},  // "kELB", "KeLB", ...
        {flipped(1, 0x20), 122, false},
        {flipped(2, 0x20), 122, false},
        {flipped(3, 0x20), 122, false},
        {bytes.substr(0, 40) + "PK\003\004 no bzip2 stream", 122, true},
        {flipped(40 + (bytes.size() - 40) / 2, 0x10), 126, true},
        {bytes.substr(0, bytes.size() - 100), 123, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.input.size() << " bytes, code " << r.code);
        std::filesystem::remove(target);
        write_file(bad, r.input);
        EXPECT_EQ(decompress(bad, target), r.code);
        EXPECT_EQ(file_exists(target), r.target_made);
    }
    // An existing target is kept, but it has lost read-only already.
    write_file(target, "kept");
    make_read_only(target);
    write_file(bad, bytes.substr(0, 39));
    EXPECT_EQ(decompress(bad, target), 122);
    EXPECT_EQ(read_file(target), "kept");
    EXPECT_FALSE(is_read_only(target));
}

// The header keeps the source's attributes and times, and they come back,
// also onto the read-only file the first restore made; with a wrong digest
// the data comes back but they do not.
TEST_F(Bzip3Jobs, AttributesAndTimesComeBack)
{
    std::string source = path("source.txt"), packed = path("s.bz3"), restored = path("restored.txt");
    write_file(source, read_file(fixture("text.txt")));
    set_times(source, some_creation, some_last_write);
#ifdef _WIN32
    const uint32_t wanted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesA(source.c_str(), wanted));
    const bool creation_kept = !under_wine();
#else
    make_read_only(source);
    const uint32_t wanted = 0x21;  // archive and read-only
    const bool creation_kept = false;
#endif
    ASSERT_EQ(compress(source, packed), 0);
    std::string bytes = read_file(packed);
    EXPECT_EQ(hex(bytes.substr(0, 40)), hex(header(md5sum_of_fixture("text.txt"), wanted, times_of(source).creation)));
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(decompress(packed, restored), 0);
        EXPECT_TRUE(read_file(restored) == read_file(source));
        EXPECT_TRUE(is_read_only(restored));
        EXPECT_EQ(times_of(restored).last_write, some_last_write);
#ifdef _WIN32
        EXPECT_EQ(attributes_of(restored), wanted);
#endif
        if (creation_kept)
            EXPECT_EQ(times_of(restored).creation, some_creation);
    }
    bytes[4 + 7] ^= 0x01;
    write_file(packed, bytes);
    EXPECT_EQ(decompress(packed, restored), 123);
    EXPECT_TRUE(read_file(restored) == read_file(source));
    EXPECT_FALSE(is_read_only(restored));
    EXPECT_NE(times_of(restored).last_write, some_last_write);
}

TEST_F(Bzip3Jobs, AFileIsNeverItsOwnTarget)
{
    std::string source = path("a.txt"), packed = path("a.bz3");
    write_file(source, "content");
    ASSERT_EQ(compress(source, packed), 0);
    const std::string packed_bytes = read_file(packed);
#ifdef _WIN32
    EXPECT_EQ(compress(source, dir + "\\.\\a.txt"), 2);
    EXPECT_EQ(decompress(packed, dir + "\\.\\a.bz3"), 2);
#else
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // relative names, as a host would type them
    EXPECT_EQ(compress("a.txt", "./a.txt"), 2);
    EXPECT_EQ(decompress("a.bz3", "./a.bz3"), 2);
    std::filesystem::current_path(before);
    std::filesystem::create_hard_link(source, path("link.txt"));
    EXPECT_EQ(compress(source, path("link.txt")), 2);
#endif
    EXPECT_EQ(read_file(source), "content");
    EXPECT_EQ(read_file(packed), packed_bytes);
}

// Caught in the middle of a large file, paused or not: a cancelled
// compression leaves no target, a decompression the part it wrote, and the
// next job runs as usual. While paused, the percentage stands still.
TEST_F(Bzip3Jobs, PauseAndCancelInTheMiddle)
{
    engine.call("setthreads", 4);
    write_file(path("large.bz3"), header(md5sum_of_fixture("large.bin")) + read_file(fixture("large.bin.bz2")));
    const struct {
        const char* command;
        std::string source, target;
        bool pause;
    } rows[] = {{"compressbzip3", fixture("large.bin"), path("out.bz3"), false},
                {"compressbzip3", fixture("large.bin"), path("out.bz3"), true},
                {"decompressbzip3", path("large.bz3"), path("out"), false},
                {"decompressbzip3", path("large.bz3"), path("out"), true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.command << (r.pause ? ", paused" : ""));
        std::filesystem::remove(r.target);
        engine.start(r.command, r.source, r.target, "");
        // The previous job's end shows as 99 until the new job has reset it.
        ASSERT_TRUE(wait_until([&] {
            int32_t p = engine.call("getprogress");
            return (p > 0 && p < 99) || engine.call("thestatus") == 0;
        }));
        ASSERT_EQ(engine.call("thestatus"), 1) << "the job ended before it could be caught";
        if (r.pause) {
            EXPECT_EQ(engine.call("pause"), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            int32_t before = engine.call("getprogress");
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            EXPECT_EQ(engine.call("getprogress"), before);
            EXPECT_EQ(engine.call("thestatus"), 1);
        }
        EXPECT_EQ(engine.call("cancel"), 0);
        EXPECT_EQ(engine.call("thestatus"), 0);
        EXPECT_EQ(engine.call("intreturn"), 119);
        EXPECT_EQ(file_exists(r.target), std::string(r.command) == "decompressbzip3");
    }
    EXPECT_EQ(compress(fixture("text.txt"), path("after.bz3")), 0);
}

}  // namespace
