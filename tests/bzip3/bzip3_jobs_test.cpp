// The Bzip3 jobs as a host drives them: through interface1 of the shipped
// library, on real files and what the real bzip2 and md5sum tools made of them.
#include "bzip3_test_util.h"

#include <gtest/gtest.h>

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

    engine_library engine{KELB_ENGINE_FILE};
    std::string dir = scratch_dir();
};

// The stream after the header is what bzip2 itself makes at the clamped
// level (else the real tool reads it), the header holds md5sum's digest, and
// every byte comes back, with one worker or several.
TEST_F(Bzip3Jobs, RealFilesComeBackByteForByte)
{
    const struct {
        const char *name, *tool_output;
        int level, threads;
    } rows[] = {
        {"text.txt", "text.txt.1.bz2", 0, 1},     {"text.txt", "text.txt.9.bz2", 10, 4},
        {"random.bin", "random.bin.9.bz2", 9, 1}, {"binary.bin", "binary.bin.1.bz2", 1, 4},  // ten blocks
        {"runs.bin", "runs.bin.9.bz2", 9, 4},     // two blocks of runs
        {"chunk32768.bin", nullptr, 9, 4},        {"text.txt.9.bz2", nullptr, 9, 1},  // one chunk exactly
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.name << " at level " << r.level << ", " << r.threads << " workers");
        engine.call("setthreads", r.threads);
        std::string original = read_file(fixture(r.name)), packed = path("packed.bz3"), tail = path("tail.bz2");
        ASSERT_EQ(compress(fixture(r.name), packed, r.level), 0);
        std::string bytes = read_file(packed);
        EXPECT_EQ(bytes.substr(0, 20), "KELB" + md5sum_of_fixture(r.name));
        write_file(tail, bytes.substr(40));
        if (r.tool_output) {
            EXPECT_TRUE(bytes.substr(40) == read_file(fixture(r.tool_output)));
        } else {
#ifdef _WIN32
            EXPECT_EQ(engine.run("decompress", tail, tail + ".out"), 0);  // standing in for the tool
#else
            EXPECT_EQ(system(("bzip2 -dc < '" + tail + "' > '" + tail + ".out'").c_str()), 0);
#endif
            EXPECT_TRUE(read_file(tail + ".out") == original);
        }
        ASSERT_EQ(decompress(packed, path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == original);
        EXPECT_EQ(engine.call("getprogress"), 100);
    }
}

// A file put together by hand from md5sum's digest and bzip2 -9's output is
// read, times and all, whatever follows its stream; a bare header is an
// empty file only with the digest of nothing (a compression killed early
// leaves zeros). What is not a Bzip3 file replaces no target.
TEST_F(Bzip3Jobs, FilesPutTogetherByHand)
{
    const std::string text = read_file(fixture("text.txt")), text_digest = md5sum_of_fixture("text.txt");
    const std::string stream = read_file(fixture("text.txt.9.bz2")), good = header(text_digest) + stream;
    std::string damaged = good;
    damaged[good.size() / 2] ^= 0x10;
    const struct {
        std::string input, plain;
        int32_t code;
        bool target_made;
    } rows[] = {
        {good + "trailing", text, 0, true},
        {header(md5sum_of_fixture("random.bin")) + read_file(fixture("random.bin.9.bz2")), read_file(fixture("random.bin")), 0, true},
        {header(md5sum_of_fixture("empty.txt")), "", 0, true},
        {header(std::string(16, '\0')), "", 123, true},
        {header(std::string(16, 'Z')), "", 123, true},
        {header(std::string(16, 'Z')) + stream, text, 123, true},
        {good.substr(0, good.size() - 100), text, 123, true},
        {damaged, text, 126, true},
        {header(text_digest) + "PK\003\004 no bzip2 stream", "", 122, true},
        {"kELB" + good.substr(4), "", 122, false},
        {"KeLB" + good.substr(4), "", 122, false},
        {"KElB" + good.substr(4), "", 122, false},
        {"KELb" + good.substr(4), "", 122, false},
        {good.substr(0, 39), "", 122, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        std::filesystem::remove(path("restored"));
        write_file(path("in.bz3"), r.input);
        ASSERT_EQ(decompress(path("in.bz3"), path("restored")), r.code);
        ASSERT_EQ(file_exists(path("restored")), r.target_made);
        std::string out = r.target_made ? read_file(path("restored")) : "";
        EXPECT_TRUE(r.code == 0 ? out == r.plain : r.code == 126 || out == r.plain.substr(0, out.size()));
        EXPECT_EQ(times_of(path("restored")).last_write == some_last_write, r.code == 0);
    }
    // An existing target is kept, but it has lost read-only already.
    write_file(path("restored"), "kept");
    make_read_only(path("restored"));
    EXPECT_EQ(decompress(path("in.bz3"), path("restored")), 122);
    EXPECT_FALSE(is_read_only(path("restored")));
    EXPECT_EQ(read_file(path("restored")), "kept");
}

// The header keeps the source's attributes and times, and they come back,
// also onto the read-only file the first restore made; with a wrong digest
// the data comes back but they do not. Files that cannot be opened have their codes.
TEST_F(Bzip3Jobs, AttributesAndTimesComeBack)
{
    std::string source = path("source.txt"), packed = path("s.bz3"), restored = path("restored.txt");
    write_file(source, read_file(fixture("text.txt")));
#ifdef _WIN32
    const uint32_t wanted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesA(source.c_str(), wanted));
    const bool creation_kept = !GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");  // not by Wine
#else
    make_read_only(source);
    const uint32_t wanted = 0x21;  // archive and read-only
    const bool creation_kept = false;
#endif
    const disk_times times = times_of(source);
    write_file(packed, "untouched");
    EXPECT_EQ(compress(path("missing"), packed), 107);
    EXPECT_EQ(decompress(path("missing"), packed), 107);
    EXPECT_EQ(read_file(packed), "untouched");
    make_read_only(packed);  // replaced all the same
    ASSERT_EQ(compress(source, packed), 0);
    EXPECT_EQ(compress(source, path("no folder/t.bz3")), 108);
    EXPECT_EQ(decompress(packed, path("no folder/t")), 108);
    std::string bytes = read_file(packed);
    EXPECT_EQ(bytes.substr(0, 40), header(md5sum_of_fixture("text.txt"), wanted, times.creation, times.last_write));
    for (int round = 0; round < 3; ++round) {
        if (round == 2)
            bytes[4 + 7] ^= 0x01;
        write_file(packed, bytes);
        ASSERT_EQ(decompress(packed, restored), round < 2 ? 0 : 123);
        EXPECT_TRUE(read_file(restored) == read_file(source));
        EXPECT_EQ(is_read_only(restored), round < 2);
        EXPECT_EQ(times_of(restored).last_write == times.last_write, round < 2);
#ifdef _WIN32
        EXPECT_EQ(GetFileAttributesA(restored.c_str()) == wanted, round < 2);
#endif
        EXPECT_TRUE(!creation_kept || round == 2 || times_of(restored).creation == times.creation);
    }
}

// Caught in the middle of a large file, paused or not: a cancelled
// compression leaves no target, a decompression the part it wrote, and the
// next job runs as usual. While paused, the percentage stands still.
TEST_F(Bzip3Jobs, PauseAndCancelInTheMiddle)
{
    engine.call("setthreads", 4);
    write_file(path("large.bz3"), header(md5sum_of_fixture("large.bin")) + read_file(fixture("large.bin.bz2")));
    for (int row = 0; row < 4; ++row) {
        const bool compressing = row < 2, pausing = row % 2;
        SCOPED_TRACE(row);
        std::string target = path(compressing ? "out.bz3" : "out");
        std::filesystem::remove(target);
        engine.start(compressing ? "compressbzip3" : "decompressbzip3",
                     compressing ? fixture("large.bin") : path("large.bz3"), target, "");
        // The previous job's end shows as 99 until the new job has reset it.
        ASSERT_TRUE(wait_until([&] {
            int32_t p = engine.call("getprogress");
            return (p > 0 && p < 99) || engine.call("thestatus") == 0;
        }));
        ASSERT_EQ(engine.call("thestatus"), 1) << "the job ended before it could be caught";
        if (pausing) {
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
        EXPECT_EQ(file_exists(target), !compressing);
    }
    EXPECT_EQ(compress(fixture("text.txt"), path("after.bz3")), 0);
}

}  // namespace
