// The Bzip3 jobs as a host drives them: through interface1 of the shipped
// library, on real files made by the real bzip2 and md5sum tools.
#include "bzip3_test_util.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace kelbtest;
using namespace bzip3test;

namespace {

class Bzip3Jobs : public testing::Test {
protected:
    void SetUp() override
    {
        engine = std::make_unique<engine_library>(KELB_ENGINE_FILE);
        ASSERT_TRUE(engine->loaded()) << "cannot load " << KELB_ENGINE_FILE;
        dir = scratch_dir();
        if (!quiet)
            quiet = std::make_unique<bzip3test::stderr_captured>(dir + "/../stderr-" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt");
    }
    void TearDown() override
    {
        if (engine && engine->loaded() && engine->call("thestatus") == 1)
            engine->call("cancel");
        engine.reset();
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    int32_t compress(const std::string& source, const std::string& target, int level = 9)
    {
        engine->call("setlevel", static_cast<uintptr_t>(static_cast<intptr_t>(level)));
        return engine->run("compressbzip3", source, target, "");
    }
    int32_t decompress(const std::string& source, const std::string& target)
    {
        return engine->run("decompressbzip3", source, target, "");
    }
    int32_t progress() { return engine->call("getprogress"); }

    std::unique_ptr<engine_library> engine;
    std::string dir;
    std::unique_ptr<stderr_captured> quiet;
};

std::string le_bytes(uint64_t value, int size)
{
    std::string out;
    for (int i = 0; i < size; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

std::string unhex(const std::string& hex_text)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex_text.size(); i += 2)
        out += static_cast<char>(std::stoi(hex_text.substr(i, 2), nullptr, 16));
    return out;
}

const uint64_t some_creation = filetime_of_unix(978307200, 1234567);    // 2001-01-01, odd fraction
const uint64_t some_last_write = filetime_of_unix(1049522828, 7654321);  // 2003-04-05

// A Bzip3 file put together by hand from the real tools' output: md5sum's
// digest and what bzip2 -9 made of the same file.
std::string assemble_bzip3(const std::string& plain, const std::string& compressed, const std::string& target)
{
    std::string header = "KELB" + unhex(md5sum_of_fixture(plain)) + std::string("\x20\0\0\0", 4) +
                         le_bytes(some_creation, 8) + le_bytes(some_last_write, 8);
    write_file(target, header + read_file(fixture(compressed)));
    return target;
}

// --- the format, byte for byte ---------------------------------------------

TEST_F(Bzip3Jobs, AnEmptySourceGivesExactlyTheHeader)
{
    std::string source = path("empty.txt"), packed = path("empty.bz3");
    write_file(source, "");
    set_times(source, some_creation, some_last_write);
    ASSERT_EQ(compress(source, packed), 0);

    std::string expected = "KELB";
    expected += unhex("d41d8cd98f00b204e9800998ecf8427e");
    expected += std::string("\x20\0\0\0", 4);
    expected += le_bytes(times_of(source).creation, 8);
    expected += le_bytes(some_last_write, 8);
    EXPECT_EQ(hex(read_file(packed)), hex(expected));

    std::string restored = path("restored");
    write_file(restored, "old content");
    ASSERT_EQ(decompress(packed, restored), 0);
    EXPECT_EQ(file_size(restored), 0);
    EXPECT_EQ(times_of(restored).last_write, some_last_write);
}

// A header with no stream is an empty file only when its digest says so: a
// compression killed before its first block leaves a zero digest behind.
TEST_F(Bzip3Jobs, ABareHeaderIsAnEmptyFileOnlyWithTheDigestOfNothing)
{
    const struct {
        std::string digest;
        int32_t code;
    } cases[] = {{unhex("d41d8cd98f00b204e9800998ecf8427e"), 0}, {std::string(16, '\0'), 123},
                 {std::string(16, '\x5a'), 123}};
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.digest));
        std::string packed = path("bare.bz3");
        write_file(packed, "KELB" + c.digest + std::string("\x20\0\0\0", 4) + le_bytes(some_creation, 8) +
                               le_bytes(some_last_write, 8));
        ASSERT_EQ(decompress(packed, path("restored")), c.code);
        EXPECT_EQ(file_size(path("restored")), 0);
        EXPECT_EQ(times_of(path("restored")).last_write == some_last_write, c.code == 0);
    }
}

#ifndef _WIN32
// A file under /proc measures 0 bytes and still has content: the end of the
// file, not its size, ends the stream.
TEST_F(Bzip3Jobs, ASourceThatMeasuresNothingIsStillReadToItsEnd)
{
    std::string content = read_file("/proc/version");
    ASSERT_FALSE(content.empty());
    ASSERT_EQ(compress("/proc/version", path("v.bz3")), 0);
    ASSERT_EQ(decompress(path("v.bz3"), path("v")), 0);
    EXPECT_EQ(read_file(path("v")), content);

    // Not one byte of this one can be read: a failure, and the target is left alone.
    write_file(path("t.bz3"), "precious");
    EXPECT_EQ(compress("/proc/self/mem", path("t.bz3")), 107);
    EXPECT_EQ(read_file(path("t.bz3")), "precious");
}

// A far-future time (a tmpfs keeps one) is stored as the largest file time,
// one before 1601 as the smallest: neither overflows.
TEST_F(Bzip3Jobs, TimesBeyondTheFileTimeRangeAreStoredAtItsLimits)
{
    if (!std::filesystem::is_directory("/dev/shm"))
        GTEST_SKIP() << "no /dev/shm";
    std::string source = "/dev/shm/kelb-times-" + std::to_string(getpid());
    write_file(source, "when?");
    const struct {
        int64_t seconds;
        uint64_t stored;
    } cases[] = {{int64_t(1) << 62, UINT64_MAX}, {-(int64_t(1) << 40), 0}};
    for (const auto& c : cases) {
        timespec both[2] = {{c.seconds, 0}, {c.seconds, 0}};
        if (utimensat(AT_FDCWD, source.c_str(), both, 0) != 0)
            GTEST_SKIP() << "/dev/shm cannot keep time " << c.seconds;
        ASSERT_EQ(compress(source, path("t.bz3")), 0);
        EXPECT_EQ(header_of(read_file(path("t.bz3"))).last_write, c.stored);
        ASSERT_EQ(decompress(path("t.bz3"), path("t")), 0);
        EXPECT_EQ(read_file(path("t")), "when?");
    }
    std::remove(source.c_str());
}
#endif

// The stream after the header is what the bzip2 tool itself writes at the
// clamped level.
TEST_F(Bzip3Jobs, TheLevelIsClampedAndShownInTheStream)
{
    struct row {
        int level, used;
    } rows[] = {{0, 1}, {-1, 1}, {1, 1}, {5, 5}, {9, 9}, {10, 9}};
    for (const row& r : rows) {
        std::string packed = path("level" + std::to_string(r.level) + ".bz3");
        ASSERT_EQ(compress(fixture("text.txt"), packed, r.level), 0) << r.level;
        std::string stream = read_file(packed).substr(40);
        EXPECT_EQ(stream.substr(0, 4), "BZh" + std::to_string(r.used)) << r.level;
        EXPECT_TRUE(stream == read_file(fixture("text.txt." + std::to_string(r.used) + ".bz2"))) << r.level;
    }
}

// --- round trips ------------------------------------------------------------------

#ifndef _WIN32
std::string bzip2_tool_decompress(const std::string& file)
{
    std::string out = file + ".out";
    std::string command = "bzip2 -dc < '" + file + "' > '" + out + "'";
    if (system(command.c_str()) != 0)
        return "(bzip2 refused " + file + ")";
    return read_file(out);
}
#endif

TEST_F(Bzip3Jobs, CompressionWritesNothingToTheHostsErrorStream)
{
    ASSERT_EQ(compress(fixture("binary.bin"), path("b.bz3"), 1), 0);
    EXPECT_EQ(quiet->text(), "");
}

TEST_F(Bzip3Jobs, RealFilesComeBackByteForByte)
{
    struct sample {
        const char* name;
        const char* tool_output;  // the same file compressed by bzip2 -9, where the fixtures have it
    } samples[] = {
        {"text.txt", "text.txt.9.bz2"},
        {"chunk32768.bin", nullptr},  // one chunk exactly: finished with the first read
        {"sample1.ref", nullptr},
        {"binary.bin", "binary.bin.9.bz2"},
        {"random.bin", "random.bin.9.bz2"},
        {"text.txt.9.bz2", nullptr},  // already compressed
        {"large.bin", "large.bin.bz2"},  // 16 MB, several blocks and many chunks
        {"runs.bin", "runs.bin.9.bz2"},  // 6 MB in two blocks of runs
    };
    // One worker or several: the same bytes.
    for (int threads : {1, 4})
    for (const sample& s : samples) {
        SCOPED_TRACE(testing::Message() << s.name << ", " << threads << " workers");
        engine->call("setthreads", threads);
        std::string source = fixture(s.name), packed = path(std::string(s.name) + ".bz3");
        std::string original = read_file(source);
        ASSERT_EQ(compress(source, packed), 0);
        std::string bytes = read_file(packed);
        EXPECT_EQ(bytes.substr(0, 4), "KELB");
        EXPECT_EQ(hex(header_of(bytes).digest), md5sum_of_fixture(s.name));
        std::string stream = bytes.substr(40);
        if (s.tool_output) {
            EXPECT_TRUE(stream == read_file(fixture(s.tool_output)));
        }

        // The part after the header is a plain bzip2 file.
        std::string tail = path(std::string(s.name) + ".tail.bz2");
        write_file(tail, stream);
#ifdef _WIN32
        ASSERT_EQ(engine->run("decompress", tail, tail + ".out"), 0);
        EXPECT_TRUE(read_file(tail + ".out") == original);
#else
        EXPECT_TRUE(bzip2_tool_decompress(tail) == original);
#endif

        std::string restored = path(std::string(s.name) + ".restored");
        ASSERT_EQ(decompress(packed, restored), 0);
        EXPECT_EQ(file_size(restored), static_cast<int64_t>(original.size()));
        EXPECT_TRUE(read_file(restored) == original);
        EXPECT_EQ(progress(), 100);
    }
}

TEST_F(Bzip3Jobs, AFileAssembledFromTheToolsOutputIsRead)
{
    for (const char* name : {"text.txt", "binary.bin", "random.bin"}) {
        SCOPED_TRACE(name);
        std::string packed = assemble_bzip3(name, std::string(name) + ".9.bz2", path("assembled.bz3"));
        ASSERT_EQ(decompress(packed, path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == read_file(fixture(name)));
        EXPECT_EQ(times_of(path("restored")).last_write, some_last_write);
    }
}

TEST_F(Bzip3Jobs, BytesAfterTheStreamAreIgnored)
{
    std::string packed = path("t.bz3");
    ASSERT_EQ(compress(fixture("text.txt"), packed), 0);
    write_file(packed, read_file(packed) + "trailing bytes that are not looked at");
    ASSERT_EQ(decompress(packed, path("restored")), 0);
    EXPECT_TRUE(read_file(path("restored")) == read_file(fixture("text.txt")));
}

// --- result codes ---------------------------------------------------------------------

TEST_F(Bzip3Jobs, CompressionCodes)
{
    std::string target = path("existing.bz3");
    write_file(target, "untouched");
    EXPECT_EQ(compress(path("missing.txt"), target), 107);
    EXPECT_EQ(read_file(target), "untouched");

    EXPECT_EQ(compress(fixture("text.txt"), path("no folder/t.bz3")), 108);
    EXPECT_FALSE(file_exists(path("no folder")));

    // A read-only target is replaced all the same.
    make_read_only(target);
    EXPECT_EQ(compress(fixture("text.txt"), target), 0);
    EXPECT_EQ(read_file(target).substr(40), read_file(fixture("text.txt.9.bz2")));
}

TEST_F(Bzip3Jobs, WhatIsNotABzip3FileIsRefused)
{
    std::string good = path("good.bz3");
    ASSERT_EQ(compress(fixture("text.txt"), good), 0);
    std::string bytes = read_file(good);
    std::string bad = path("bad.bz3"), target = path("target");

    write_file(bad, bytes.substr(0, 39));
    EXPECT_EQ(decompress(bad, target), 122);
    EXPECT_FALSE(file_exists(target));

    for (int i = 0; i < 4; ++i) {
        std::string wrong = bytes;
        wrong[i] = static_cast<char>(wrong[i] ^ 0x20);  // "kELB", "KeLB", ...
        write_file(bad, wrong);
        EXPECT_EQ(decompress(bad, target), 122) << "magic byte " << i;
        EXPECT_FALSE(file_exists(target));
    }

    // An existing target is not replaced, but it has lost read-only already.
    write_file(target, "kept");
    make_read_only(target);
    write_file(bad, bytes.substr(0, 39));
    EXPECT_EQ(decompress(bad, target), 122);
    EXPECT_EQ(read_file(target), "kept");
    EXPECT_FALSE(is_read_only(target));

    // A good header followed by no bzip2 stream: the target was created, empty.
    write_file(bad, bytes.substr(0, 40) + "PK\003\004 this is no bzip2 stream at all");
    EXPECT_EQ(decompress(bad, target), 122);
    EXPECT_TRUE(file_exists(target));
    EXPECT_EQ(file_size(target), 0);

    EXPECT_EQ(decompress(path("missing.bz3"), target), 107);
    EXPECT_EQ(decompress(good, path("no folder/target")), 108);
}

TEST_F(Bzip3Jobs, DamageIsFound)
{
    std::string source = path("source.txt");
    write_file(source, read_file(fixture("text.txt")));
    set_times(source, some_creation, some_last_write);
    make_read_only(source);
    std::string good = path("good.bz3");
    ASSERT_EQ(compress(source, good), 0);
    std::string bytes = read_file(good);
    std::string bad = path("bad.bz3"), target = path("target");

    std::string flipped = bytes;
    flipped[40 + (bytes.size() - 40) / 2] ^= 0x10;
    write_file(bad, flipped);
    EXPECT_EQ(decompress(bad, target), 126);

    // A wrong digest: the data is there, but not the stored times and attributes.
    flipped = bytes;
    flipped[4 + 7] ^= 0x01;
    write_file(bad, flipped);
    EXPECT_EQ(decompress(bad, target), 123);
    EXPECT_TRUE(read_file(target) == read_file(source));
    EXPECT_FALSE(is_read_only(target));
    EXPECT_NE(times_of(target).last_write, some_last_write);

    write_file(bad, bytes.substr(0, bytes.size() - 100));
    EXPECT_EQ(decompress(bad, target), 123);
}

// --- pause and cancel, on a file large enough to be caught in the middle ----------------

class Bzip3Cancel : public Bzip3Jobs {
protected:
    // Starts the job and waits until it has read its first chunk. The
    // previous job's end shows as 99 until the new job has reset it.
    void start_and_wait_for_progress(const char* command, const std::string& source, const std::string& target)
    {
        engine->start(command, source, target, "");
        ASSERT_TRUE(wait_until([&] {
            int32_t p = progress();
            return (p > 0 && p < 99) || engine->call("thestatus") == 0;
        }));
        ASSERT_EQ(engine->call("thestatus"), 1) << "the job ended before it could be caught";
    }
    // While paused, the percentage stands still and the job does not end.
    void expect_standing_still()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        int32_t before = progress();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(progress(), before);
        EXPECT_EQ(engine->call("thestatus"), 1);
    }
    // After a cancel the next job runs as usual.
    void expect_next_job_runs()
    {
        EXPECT_EQ(compress(fixture("text.txt"), path("after.bz3")), 0);
    }
};

TEST_F(Bzip3Cancel, CompressionCancelledInTheLoop)
{
    engine->call("setthreads", 4);
    std::string target = path("large.bz3");
    start_and_wait_for_progress("compressbzip3", fixture("large.bin"), target);
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("thestatus"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
    EXPECT_FALSE(file_exists(target));
    expect_next_job_runs();
}

TEST_F(Bzip3Cancel, CompressionCancelledWhilePaused)
{
    engine->call("setthreads", 4);
    std::string target = path("large.bz3");
    start_and_wait_for_progress("compressbzip3", fixture("large.bin"), target);
    EXPECT_EQ(engine->call("pause"), 0);
    expect_standing_still();
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
    EXPECT_FALSE(file_exists(target));
    expect_next_job_runs();
}

TEST_F(Bzip3Cancel, DecompressionCancelledInTheLoop)
{
    std::string packed = assemble_bzip3("large.bin", "large.bin.bz2", path("large.bz3"));
    std::string target = path("large.out");
    start_and_wait_for_progress("decompressbzip3", packed, target);
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
    EXPECT_TRUE(file_exists(target));  // the part written stays
    expect_next_job_runs();
}

TEST_F(Bzip3Cancel, DecompressionCancelledWhilePaused)
{
    std::string packed = assemble_bzip3("large.bin", "large.bin.bz2", path("large.bz3"));
    std::string target = path("large.out");
    start_and_wait_for_progress("decompressbzip3", packed, target);
    EXPECT_EQ(engine->call("pause"), 0);
    expect_standing_still();
    EXPECT_EQ(engine->call("cancel"), 0);
    EXPECT_EQ(engine->call("intreturn"), 119);
    EXPECT_TRUE(file_exists(target));
    expect_next_job_runs();
}

// --- what the header keeps about the source -----------------------------------------------

TEST_F(Bzip3Jobs, AttributesAndTimesComeBack)
{
    std::string source = path("source.txt"), packed = path("s.bz3"), restored = path("restored.txt");
    write_file(source, read_file(fixture("text.txt")));
    set_times(source, some_creation, some_last_write);
#ifdef _WIN32
    const uint32_t wanted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE;
    set_attributes(source, wanted);
    ASSERT_EQ(attributes_of(source), wanted);
#else
    make_read_only(source);
    const uint32_t wanted = 0x21;  // archive and read-only
#endif
    disk_times source_times = times_of(source);
    ASSERT_EQ(compress(source, packed), 0);
    auto header = header_of(read_file(packed));
    EXPECT_EQ(header.attributes, wanted);
    EXPECT_EQ(header.last_write, some_last_write);
    EXPECT_EQ(header.creation, source_times.creation);
#ifdef _WIN32
    if (!under_wine()) {  // Wine cannot set a creation time
        EXPECT_EQ(header.creation, some_creation);
    }
#endif

    // Twice: the second time onto the read-only (and hidden) file the first made.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(decompress(packed, restored), 0);
        EXPECT_TRUE(read_file(restored) == read_file(fixture("text.txt")));
        EXPECT_TRUE(is_read_only(restored));
        EXPECT_EQ(times_of(restored).last_write, some_last_write);
#ifdef _WIN32
        EXPECT_EQ(attributes_of(restored), wanted);
        if (!under_wine()) {
            EXPECT_EQ(times_of(restored).creation, some_creation);
        }
#endif
    }
}

// --- one file under two names -------------------------------------------------------------

TEST_F(Bzip3Jobs, AFileIsNeverItsOwnTarget)
{
    std::string source = path("a.txt");
    std::string content = read_file(fixture("text.txt"));
    write_file(source, content);
    std::string packed = path("a.bz3");
    ASSERT_EQ(compress(source, packed), 0);
    std::string packed_bytes = read_file(packed);
    make_read_only(packed);

#ifdef _WIN32
    const std::string same_source = dir + "\\.\\a.txt", same_packed = dir + "\\.\\a.bz3";
    EXPECT_EQ(compress(source, same_source), 2);
    EXPECT_EQ(decompress(packed, same_packed), 2);
#else
    // Relative names, as a host would type them.
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    EXPECT_EQ(compress("a.txt", "./a.txt"), 2);
    EXPECT_EQ(decompress("a.bz3", "./a.bz3"), 2);
    std::filesystem::current_path(before);
    std::filesystem::create_hard_link(source, path("link.txt"));
    EXPECT_EQ(compress(source, path("link.txt")), 2);
#endif
    EXPECT_EQ(read_file(source), content);
    EXPECT_EQ(read_file(packed), packed_bytes);
    EXPECT_TRUE(is_read_only(packed));
}

}  // namespace
