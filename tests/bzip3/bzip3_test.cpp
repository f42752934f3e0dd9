// The Bzip3 container: the long-file layer, MD5, and the jobs, through interface1 and called directly.
#include "bzip3.h"
#include "bzip3_header.h"
#include "job.h"
#include "longfile.h"
#include "digest.h"
#include "md5.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace kelb;
using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

// Only "rb+" reads and writes, "w" modes create or empty, others open nothing; a failed read reads nothing.
// Sizes pass 4 GiB: a hole a little past it.
TEST(Longfile, ModesOpenAsTheTableSaysAndSizesPassFourGibibytes)
{
    std::string dir = scratch_dir(), name = dir + "/f", missing = dir + "/missing", sparse = dir + "/sparse";
    const char* rows[][2] = {{"wb", "new!"},       {"w", "new!"},         {"rb+", "new!456789"}, {"r+", "0123456789"},
                             {"rt", "0123456789"}, {"rb", "0123456789"}, {"x", "0123456789"},   {"", "0123456789"}};
    for (const auto& r : rows) {
        write_file(name, "0123456789");
        longfile_handle f = longfile_open(name.c_str(), r[0]), created = longfile_open(missing.c_str(), r[0]);
        EXPECT_EQ(f != nullptr, r[0][0] == 'w' || r[0][0] == 'r') << r[0];
        EXPECT_EQ(created != nullptr, r[0][0] == 'w') << r[0];
        EXPECT_EQ(f ? longfile_write("new!", 4, f) : 0, strcmp(r[1], "0123456789") ? 4u : 0u) << r[0];
        uint32_t got = 99;
        char buffer[8];
        EXPECT_EQ(f && !longfile_read_some(buffer, sizeof buffer, f, &got) && got == 0, r[0][0] == 'w') << r[0];
        EXPECT_TRUE((!f || longfile_close(f)) && (!created || longfile_close(created)));
        EXPECT_EQ(read_file(name), r[1]) << r[0];
        std::remove(missing.c_str());
    }
    EXPECT_TRUE(!longfile_open(dir.c_str(), "rb") && !longfile_open((dir + "/no folder/f").c_str(), "wb"));
    EXPECT_EQ(longfile_size(dir.c_str()), 0u);
    const uint64_t size = (4ULL << 30) + 4096;
#ifdef _WIN32
    HANDLE h = CreateFileA(sparse.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h));
    CloseHandle(h);
#else
    write_file(sparse, "");
    ASSERT_EQ(truncate(sparse.c_str(), static_cast<off_t>(size)), 0);
#endif
    EXPECT_EQ(longfile_size(sparse.c_str()), 4294971392ULL);
#if defined(_WIN32) && !defined(_WIN64)
    // Both jobs across 4 GiB with a 32-bit size_t; the digest checks every byte (4 GiB of disk for a moment).
    std::string packed = dir + "/sparse.bz3", restored = dir + "/restored";
    ASSERT_EQ(compress_bzip3_file(sparse.c_str(), packed.c_str(), 1), 0);
    ASSERT_EQ(decompress_bzip3_file(packed.c_str(), restored.c_str()), 0);
    EXPECT_EQ(longfile_size(restored.c_str()), size);
    DeleteFileA(restored.c_str());
#endif
}

// Every time a file system or a header can hold converts, saturating at the ends of the other side's range.
TEST(Longfile, TimesConvertBothWaysWithoutOverflow)
{
    const uint64_t epoch = 116444736000000000ULL;
    const struct { int64_t seconds, nanoseconds; uint64_t filetime; bool back; } rows[] = {  // back: and the same way back
        {0, 0, epoch, true},           {1049522828, 765432199, 126939964287654321ULL, false},  // truncated to 100 ns
        {-1, 999999900, epoch - 1, true},                 {0, -1, epoch - 1, false},
        {-11644473600LL, 0, 0, true},                     {-11644473601LL, 999999999, 0, false},  // 1601
        {1833029933770LL, 955161500, UINT64_MAX, true},   {1833029933771LL, 0, UINT64_MAX, false},  // the last tick
        {INT64_MAX, 2000000000, UINT64_MAX, false},
    };
    for (const auto& r : rows) {
        int64_t seconds = 0, nanoseconds = 0;
        unix_from_filetime(r.filetime, &seconds, &nanoseconds);
        EXPECT_EQ(filetime_from_unix(r.seconds, r.nanoseconds), r.filetime) << r.seconds << " s " << r.nanoseconds;
        EXPECT_TRUE(!r.back || (seconds == r.seconds && nanoseconds == r.nanoseconds)) << r.seconds << " s";
    }
    // The percentage: 100 / total first, then times done, truncated.
    const uint64_t percents[][3] = {{0, 5, 0}, {5, 0, 0}, {3, 1, 33}, {97, 97, 99}, {200, 1, 0},
                                    {1ULL << 40, (1ULL << 40) - 1, 99}, {5368709120ULL, 2684354560ULL, 50}};
    for (const auto& r : percents)
        EXPECT_EQ(percent_of_64(r[0], r[1]), int32_t(r[2])) << r[0] << ", " << r[1];
}

// RFC 1321's own suite, fed in pieces that split its blocks every way.
TEST(Md5, Rfc1321TestSuite)
{
    const char* rows[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},               {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},            {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& r : rows)
        for (size_t piece : {1, 7, 63, 64, 100})
            EXPECT_EQ(md5_of(r[0], piece), unhex(r[1])) << r[0] << " in pieces of " << piece;
}

// The raw digest the real md5sum printed for a fixture.
std::string md5sum_of(const std::string& name) { return unhex(read_file(fixture(name + ".md5"))); }

// The attributes a restore brings back (Linux keeps only read-only), and creation and last-write FILETIMEs.
#ifdef _WIN32
const uint32_t wanted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
void give_attributes(const std::string& path) { SetFileAttributesA(path.c_str(), wanted); }
bool has_attributes(const std::string& path) { return GetFileAttributesA(path.c_str()) == wanted; }
std::pair<uint64_t, uint64_t> times_of(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, 0);
    FILETIME t[2] = {};
    GetFileTime(h, &t[0], nullptr, &t[1]);
    CloseHandle(h);
    return {uint64_t(t[0].dwHighDateTime) << 32 | t[0].dwLowDateTime, uint64_t(t[1].dwHighDateTime) << 32 | t[1].dwLowDateTime};
}
#else
const uint32_t wanted = 0x21;  // archive and read-only
void give_attributes(const std::string& path) { fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove); }
bool has_attributes(const std::string& path) { return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none; }
std::pair<uint64_t, uint64_t> times_of(const std::string& path)
{
    struct statx sx {};
    statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx);
    auto filetime = [](const statx_timestamp& t) { return 116444736000000000ULL + t.tv_sec * 10000000ULL + t.tv_nsec / 100; };
    return {filetime((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime), filetime(sx.stx_mtime)};
}
#endif

const std::pair<uint64_t, uint64_t> some_times = {126227808001234567ULL, 126939964287654321ULL};  // 2001 and 2003

// The header as the format lays it out, little-endian.
std::string header(const std::string& digest, uint32_t attributes = wanted, std::pair<uint64_t, uint64_t> times = some_times)
{
    std::string out = "KELB" + digest;
    for (auto field : {std::pair<uint64_t, int>{attributes, 4}, {times.first, 8}, {times.second, 8}})
        for (int i = 0; i < field.second; ++i)
            out += static_cast<char>(field.first >> 8 * i);
    return out;
}

// "write 3" fails the third write, "read 2" the second chunk read, "close 3" the third close, "rb+" the header's
// open, "times" the times; "size" is added to sizes; "pause", "cancel_chunk" after, "resume", "cancel_sleep" at.
std::map<std::string, int64_t> inject;
int writes, chunk_reads, closes, sleeps;
int64_t fault(const char* name) { return inject.count(name) ? inject.at(name) : 0; }

const longfile_ops& real() { return real_longfile_platform(); }
const longfile_ops longfile_double = [] {
    longfile_ops ops = real();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) {
        bool read_write = access == (longfile_generic_read | longfile_generic_write);
        return read_write && inject.count("rb+") ? nullptr : real().create(name, access, share, disposition);
    };
    ops.read = [](longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        bool chunk = count == bzip3_chunk_size;
        if (chunk && ++chunk_reads == fault("read"))
            return false;
        bool ok = real().read(h, buffer, count, transferred);
        if (chunk && chunk_reads == fault("pause"))
            job_paused.store(1);
        if (chunk && chunk_reads == fault("cancel_chunk"))
            job_cancel.store(1);
        return ok;
    };
    ops.write = [](longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        return ++writes != fault("write") && real().write(h, buffer, count, transferred);
    };
    ops.close = [](longfile_handle h) { return real().close(h) && ++closes != fault("close"); };
    ops.size = [](longfile_handle h, uint64_t* size) {
        bool ok = real().size(h, size);
        *size = static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(*size) + fault("size")));
        return ok;
    };
    ops.get_times = [](longfile_handle h, longfile_times* times) { return !inject.count("times") && real().get_times(h, times); };
    return ops;
}();
const platform_ops platform_double = [] {
    platform_ops ops = real_platform();
    ops.sleep_ms = [](unsigned) {
        EXPECT_EQ(chunk_reads, fault("pause")) << "read on while paused";
        if (++sleeps == fault("resume"))
            job_paused.store(0);
        if (sleeps == fault("cancel_sleep"))
            job_cancel.store(1);
    };
    ops.get_file_attributes = [](const char* name) {
        if (fault("cancel_open"))
            job_cancel.store(1);
        return real_platform().get_file_attributes(name);
    };
    return ops;
}();

class Bzip3 : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(engine.loaded()) << "cannot load " << KELB_ENGINE_FILE;
        use_longfile_platform(&longfile_double);
        use_platform(&platform_double);
    }
    void TearDown() override
    {
        use_longfile_platform(nullptr);
        use_platform(nullptr);
        reset("");
    }
    static void reset(const std::string& faults)
    {
        inject.clear();
        std::istringstream in(faults);
        for (std::string name; in >> name;)
            in >> inject[name];
        writes = chunk_reads = closes = sleeps = 0;
        job_paused = job_cancel = 0;
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    static bool packed(const std::string& name) { return name.find(".bz3") != std::string::npos; }
    // A .bz3 file is decompressed, anything else compressed: through interface1, or called directly.
    int32_t run(const std::string& source, const std::string& target, int level = 9)
    {
        engine.call("setlevel", level);
        return engine.run(packed(source) ? "decompressbzip3" : "compressbzip3", source, target, "");
    }
    int32_t direct(const std::string& source, const std::string& target, int level = 9)
    {
        return packed(source) ? decompress_bzip3_file(source.c_str(), target.c_str())
                              : compress_bzip3_file(source.c_str(), target.c_str(), level);
    }
    engine_library engine{KELB_ENGINE_FILE};
    std::string dir = scratch_dir();
};

// The stream is the real bzip2's at the clamped level, behind md5sum's digest; every byte comes back.
TEST_F(Bzip3, RealFilesComeBackByteForByte)
{
    const struct { const char *name, *tool_output; int level, threads; } rows[] = {
        {"text.txt", "text.txt.1.bz2", 0, 1}, {"text.txt", "text.txt.9.bz2", 10, 4}, {"empty.txt", nullptr, 9, 1},
        {"random.bin", "random.bin.9.bz2", 9, 1}, {"binary.bin", "binary.bin.1.bz2", 1, 4},  // ten blocks
        {"runs.bin", "runs.bin.9.bz2", 9, 4}, {"chunk32768.bin", nullptr, 9, 4},  // two blocks of runs; one chunk
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.name << " at level " << r.level << ", " << r.threads << " workers");
        engine.call("setthreads", r.threads);
        const std::string original = read_file(fixture(r.name));
        ASSERT_EQ(run(fixture(r.name), path("p.bz3"), r.level), 0);
        const std::string bytes = read_file(path("p.bz3"));
        EXPECT_EQ(bytes.substr(0, 20), "KELB" + md5sum_of(r.name));
        EXPECT_TRUE(r.tool_output ? bytes.substr(40) == read_file(fixture(r.tool_output)) : !original.empty() || bytes.size() == 40);
        ASSERT_EQ(run(path("p.bz3"), path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == original);
        EXPECT_EQ(engine.call("getprogress"), 100);
    }
}

// Headers made by hand before bzip2 -9's stream: whatever follows it; a zero digest is no empty file.
TEST_F(Bzip3, FilesPutTogetherByHand)
{
    const std::string text = read_file(fixture("text.txt")), digest = md5sum_of("text.txt");
    const std::string stream = read_file(fixture("text.txt.9.bz2")), good = header(digest) + stream;
    std::string damaged = good;
    damaged[good.size() / 2] ^= 0x10;
    const struct { std::string input, plain; int32_t code; bool target_made; } rows[] = {
        {good + "trailing", text, 0, true},           {header(md5sum_of("empty.txt")), "", 0, true},
        {header(std::string(16, '\0')), "", 123, true}, {header(std::string(16, 'Z')) + stream, text, 123, true},
        {good.substr(0, good.size() - 100), text, 123, true},       {damaged, text, 126, true},
        {header(digest) + "PK\003\004 no bzip2 stream", "", 122, true}, {good.substr(0, 39), "", 122, false},
        {"kELB" + good.substr(4), "", 122, false},    {"KELb" + good.substr(4), "", 122, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        const std::string restored = path("restored" + std::to_string(&r - rows));
        write_file(path("in.bz3"), r.input);
        ASSERT_EQ(run(path("in.bz3"), restored), r.code);
        ASSERT_EQ(file_exists(restored), r.target_made);
        std::string out = r.target_made ? read_file(restored) : "";
        EXPECT_TRUE(r.code == 0 ? out == r.plain : r.code == 126 || out == r.plain.substr(0, out.size()));
        EXPECT_EQ(times_of(restored).second == some_times.second, r.code == 0);
        EXPECT_EQ(has_attributes(restored), r.code == 0);
    }
    // A read-only target is replaced, and loses read-only even when it is not.
    EXPECT_EQ(run(fixture("text.txt"), path("restored1")), 0);
    write_file(path("in.bz3"), "kELB");
    EXPECT_EQ(run(path("in.bz3"), path("restored0")), 122);
    EXPECT_TRUE(!has_attributes(path("restored0")) && read_file(path("restored0")) == text);
}

// Each fault ends the job in its code and leaves the target it should; the measured size decides nothing.
TEST_F(Bzip3, InjectedFaults)
{
    const std::string source = path("source"), original = read_file(fixture("binary.bin")), tool = read_file(fixture("binary.bin.9.bz2"));
    write_file(source, original);
    give_attributes(source);
    ASSERT_EQ(direct(source, path("whole.bz3"), 1), 0);  // ten 100 kB blocks
    const std::string whole = read_file(path("whole.bz3")), cut = whole.substr(0, whole.size() * 6 / 10);
    write_file(path("cut.bz3"), cut);
    ASSERT_EQ(direct(path("cut.bz3"), path("part")), 123);
    write_file(path("patched.bz3"), cut.substr(0, 4) + md5_of(read_file(path("part"))) + cut.substr(20));
    write_file(path("bare.bz3"), whole.substr(0, 40));
    enum left_t { kept, empty, zero_digest, nothing, whole_file, part_of };
    const struct { const char *input, *faults; int32_t code; left_t left; } rows[] = {
        {"missing", "cancel_open 1", 119, kept},       {"source", "read 1", 107, kept},
        {"source", "write 1", 114, empty},             {"source", "write 3", 114, zero_digest},
        {"source", "read 2", 116, zero_digest},        {"source", "rb+ 0", 108, zero_digest},
        {"source", "close 3", 114, zero_digest},       {"source", "close 4", 114, whole_file},
        {"source", "size -1 times 0", 0, whole_file},  {"source", "size -9999999", 0, whole_file},
        {"source", "pause 1 resume 3", 0, whole_file}, {"source", "pause 1 cancel_sleep 2", 119, nothing},
        {"source", "cancel_chunk 2", 119, nothing},    {"whole.bz3", "size -9999999", 0, whole_file},
        {"bare.bz3", "size -9999999", 123, part_of},   {"cut.bz3", "size -9999999", 123, part_of},
        {"patched.bz3", "", 124, part_of},             {"whole.bz3", "write 3", 114, part_of},
        {"whole.bz3", "close 3", 114, part_of},        {"whole.bz3", "pause 1 resume 3", 0, whole_file},
        {"whole.bz3", "pause 1 cancel_sleep 2", 119, part_of}, {"whole.bz3", "cancel_chunk 2", 119, part_of},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.input) + ": " + r.faults);
        const std::string target = path(packed(r.input) ? "t" : "t.bz3");
        write_file(target, "precious");
        reset(r.faults);
        const uint64_t before = real().now();
        ASSERT_EQ(direct(path(r.input), target), r.code);
        EXPECT_EQ(percent_done.load(), 100);
        EXPECT_EQ(sleeps, std::max(fault("resume"), fault("cancel_sleep")));
        EXPECT_TRUE(r.code != 119 || chunk_reads == fault("pause") + fault("cancel_chunk")) << chunk_reads;
        const bool timeless = inject.count("times");
        reset("");
        const std::string left = file_exists(target) ? read_file(target) : "(none)";
        if (r.left == kept || r.left == empty || r.left == nothing) {
            EXPECT_EQ(left, r.left == kept ? "precious" : r.left == empty ? "" : "(none)");
        } else if (packed(r.input)) {
            EXPECT_TRUE(r.left == whole_file ? left == original : left == original.substr(0, left.size()));
            EXPECT_EQ(has_attributes(target), r.code == 0);
        } else if (r.left == zero_digest) {
            EXPECT_EQ(left.substr(4, 16), std::string(16, '\0'));
            EXPECT_TRUE(left.substr(40) == tool.substr(0, left.size() - 40));
            EXPECT_EQ(direct(target, path("back")), 123);
        } else {
            EXPECT_EQ(direct(target, path("back")), 0);
            EXPECT_TRUE(read_file(path("back")) == original);
            bzip3_header h;
            decode_bzip3_header(reinterpret_cast<const unsigned char*>(left.data()), &h);
            EXPECT_TRUE(timeless ? h.last_write_time >= before && h.creation_time == h.last_write_time  // now, honestly
                                 : left.substr(0, 40) == header(md5sum_of("binary.bin"), wanted, times_of(source)));
        }
    }
    // A cancel reaches a decompression inside one chunk: eight megabytes of zeros pack into less than one.
    write_file(path("zeros"), std::string(8 << 20, '\0'));
    ASSERT_EQ(direct(path("zeros"), path("zeros.bz3")), 0);
    ASSERT_LT(file_size(path("zeros.bz3")), bzip3_chunk_size);
    reset("cancel_chunk 1");
    EXPECT_EQ(direct(path("zeros.bz3"), path("t")), 119);
    EXPECT_LE(file_size(path("t")), 2 * bzip3_chunk_size);
}

}  // namespace
