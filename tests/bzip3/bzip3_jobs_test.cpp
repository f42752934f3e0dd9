// The Bzip3 jobs: through interface1 of the shipped library on real files and
// what the real bzip2 and md5sum tools made of them, and called directly with
// the platform made to fail, pause or cancel at exact points.
#include "bzip3.h"
#include "bzip3_header.h"
#include "job.h"
#include "longfile.h"
#include "md5.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

using namespace kelb;
using namespace kelbtest;

namespace {

// The raw digest the real md5sum printed for a fixture.
std::string md5sum_of(const std::string& name)
{
    std::string line = read_file(fixture(name + ".md5")), out;
    for (size_t i = 0; i < 32; i += 2)
        out += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    return out;
}

// FILETIME values (100 ns since 1601): 2001-01-01 and 2003-04-05, odd fractions.
const uint64_t some_creation = 126227808001234567ULL, some_last_write = 126939964287654321ULL;

// The header as the format lays it out, little-endian.
std::string header(const std::string& digest, uint32_t attributes = 0x20, uint64_t creation = some_creation,
                   uint64_t last_write = some_last_write)
{
    std::string out = "KELB" + digest;
    auto put = [&](uint64_t value, int size) {
        for (int i = 0; i < size; ++i)
            out += static_cast<char>(value >> 8 * i);
    };
    put(attributes, 4);
    put(creation, 8);
    put(last_write, 8);
    return out;
}

// The system's own view: creation and last-write times as FILETIME values, and read-only.
std::pair<uint64_t, uint64_t> times_of(const std::string& path)
{
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    FILETIME t[2] = {};
    GetFileTime(h, &t[0], nullptr, &t[1]);
    CloseHandle(h);
    return {uint64_t(t[0].dwHighDateTime) << 32 | t[0].dwLowDateTime, uint64_t(t[1].dwHighDateTime) << 32 | t[1].dwLowDateTime};
#else
    struct statx sx {};
    statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx);
    auto filetime = [](const statx_timestamp& t) { return 116444736000000000ULL + t.tv_sec * 10000000ULL + t.tv_nsec / 100; };
    return {filetime((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime), filetime(sx.stx_mtime)};
#endif
}
namespace fs = std::filesystem;
void make_read_only(const std::string& path) { fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove); }
bool is_read_only(const std::string& path) { return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none; }

// The faults of one case, by name: "write 3" fails the third write, "read 2"
// the second chunk read, "close 3" the third close; "size" is added to every
// measured size (down to nothing); "rb+ 0" refuses the open that stores the
// final header; "times 0" fails reading the source's times; "pause" and "cancel_chunk" act after that chunk
// read, "resume" and "cancel_sleep" at that pause sleep, "cancel_open 1" when
// the job looks at the target's attributes.
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
    ops.get_times = [](longfile_handle h, longfile_times* times) {
        return !inject.count("times") && real().get_times(h, times);
    };
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
        if (engine.loaded() && engine.call("thestatus") == 1)
            engine.call("cancel");
    }
    static void reset(const std::string& faults)
    {
        inject.clear();
        std::istringstream in(faults);
        for (std::string name; in >> name;)
            in >> inject[name];
        writes = chunk_reads = closes = sleeps = 0;
        job_paused.store(0);
        job_cancel.store(0);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // A .bz3 file is decompressed, anything else compressed: through interface1, or called directly.
    int32_t run(const std::string& source, const std::string& target, int level = 9)
    {
        engine.call("setlevel", level);
        return engine.run(source.find(".bz3") == std::string::npos ? "compressbzip3" : "decompressbzip3", source, target, "");
    }
    int32_t direct(const std::string& source, const std::string& target, int level = 9)
    {
        return source.find(".bz3") == std::string::npos ? compress_bzip3_file(source.c_str(), target.c_str(), level)
                                                         : decompress_bzip3_file(source.c_str(), target.c_str());
    }

    engine_library engine{KELB_ENGINE_FILE};
    std::string dir = scratch_dir();
};

// The stream after the header is what the real bzip2 makes at the clamped
// level, the header holds md5sum's digest, and every byte comes back, with
// one worker or several.
TEST_F(Bzip3, RealFilesComeBackByteForByte)
{
    const struct {
        const char *name, *tool_output;
        int level, threads;
    } rows[] = {
        {"text.txt", "text.txt.1.bz2", 0, 1},     {"text.txt", "text.txt.9.bz2", 10, 4},
        {"random.bin", "random.bin.9.bz2", 9, 1}, {"binary.bin", "binary.bin.1.bz2", 1, 4},  // ten blocks
        {"runs.bin", "runs.bin.9.bz2", 9, 4},     // two blocks of runs
        {"chunk32768.bin", nullptr, 9, 4},        {"text.txt.9.bz2", nullptr, 9, 1},  // one chunk exactly
        {"empty.txt", nullptr, 9, 1},             // the header alone
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.name << " at level " << r.level << ", " << r.threads << " workers");
        engine.call("setthreads", r.threads);
        const std::string original = read_file(fixture(r.name)), packed = path("p.bz3");
        ASSERT_EQ(run(fixture(r.name), packed, r.level), 0);
        const std::string bytes = read_file(packed);
        EXPECT_EQ(bytes.substr(0, 20), "KELB" + md5sum_of(r.name));
        EXPECT_TRUE(r.tool_output ? bytes.substr(40) == read_file(fixture(r.tool_output)) : !original.empty() || bytes.size() == 40);
        ASSERT_EQ(run(packed, path("restored")), 0);
        EXPECT_TRUE(read_file(path("restored")) == original);
        EXPECT_EQ(engine.call("getprogress"), 100);
    }
}

// A file put together by hand from md5sum's digest and bzip2 -9's output is
// read, times and all, whatever follows its stream; a bare header is an
// empty file only with the digest of nothing (a compression killed early
// leaves zeros). What is not a Bzip3 file replaces no target.
TEST_F(Bzip3, FilesPutTogetherByHand)
{
    const std::string text = read_file(fixture("text.txt")), digest = md5sum_of("text.txt");
    const std::string stream = read_file(fixture("text.txt.9.bz2")), good = header(digest) + stream;
    std::string damaged = good;
    damaged[good.size() / 2] ^= 0x10;
    const struct {
        std::string input, plain;
        int32_t code;
        bool target_made;
    } rows[] = {
        {good + "trailing", text, 0, true},
        {header(md5sum_of("random.bin")) + read_file(fixture("random.bin.9.bz2")), read_file(fixture("random.bin")), 0, true},
        {header(md5sum_of("empty.txt")), "", 0, true},
        {header(std::string(16, '\0')), "", 123, true},
        {header(std::string(16, 'Z')) + stream, text, 123, true},
        {good.substr(0, good.size() - 100), text, 123, true},
        {damaged, text, 126, true},
        {header(digest) + "PK\003\004 no bzip2 stream", "", 122, true},
        {"kELB" + good.substr(4), "", 122, false},   {"KELb" + good.substr(4), "", 122, false},
        {good.substr(0, 39), "", 122, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        fs::remove(path("restored"));
        write_file(path("in.bz3"), r.input);
        ASSERT_EQ(run(path("in.bz3"), path("restored")), r.code);
        ASSERT_EQ(file_exists(path("restored")), r.target_made);
        std::string out = r.target_made ? read_file(path("restored")) : "";
        EXPECT_TRUE(r.code == 0 ? out == r.plain : r.code == 126 || out == r.plain.substr(0, out.size()));
        EXPECT_EQ(times_of(path("restored")).second == some_last_write, r.code == 0);
    }
    // An existing target is kept, but it has lost read-only already.
    write_file(path("restored"), "kept");
    make_read_only(path("restored"));
    EXPECT_EQ(run(path("in.bz3"), path("restored")), 122);
    EXPECT_FALSE(is_read_only(path("restored")));
    EXPECT_EQ(read_file(path("restored")), "kept");
}

// The header keeps the source's attributes and times, and they come back,
// also onto the read-only file the first restore made; with a wrong digest
// the data comes back but they do not. Files that cannot be opened have their codes.
TEST_F(Bzip3, AttributesAndTimesComeBack)
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
    const auto times = times_of(source);
    write_file(packed, "untouched");
    EXPECT_EQ(run(path("missing"), packed), 107);
    EXPECT_EQ(run(path("missing.bz3"), packed), 107);
    EXPECT_EQ(read_file(packed), "untouched");
    make_read_only(packed);  // replaced all the same
    ASSERT_EQ(run(source, packed), 0);
    EXPECT_EQ(run(source, path("no folder/t.bz3")), 108);
    EXPECT_EQ(run(packed, path("no folder/t")), 108);
    std::string bytes = read_file(packed);
    EXPECT_EQ(bytes.substr(0, 40), header(md5sum_of("text.txt"), wanted, times.first, times.second));
    for (int round = 0; round < 3; ++round) {
        if (round == 2)
            bytes[4 + 7] ^= 0x01;
        write_file(packed, bytes);
        ASSERT_EQ(run(packed, restored), round < 2 ? 0 : 123);
        EXPECT_TRUE(read_file(restored) == read_file(source));
        EXPECT_EQ(is_read_only(restored), round < 2);
        EXPECT_EQ(times_of(restored).second == times.second, round < 2);
#ifdef _WIN32
        EXPECT_EQ(GetFileAttributesA(restored.c_str()) == wanted, round < 2);
#endif
        EXPECT_TRUE(!creation_kept || round == 2 || times_of(restored).first == times.first);
    }
}

// Caught in the middle of a large file, paused or not: a cancelled
// compression leaves no target, a decompression the part it wrote, and the
// next job runs as usual. While paused, the percentage stands still.
TEST_F(Bzip3, PauseAndCancelInTheMiddle)
{
    engine.call("setthreads", 4);
    write_file(path("large.bz3"), header(md5sum_of("large.bin")) + read_file(fixture("large.bin.bz2")));
    for (int row = 0; row < 4; ++row) {
        const bool compressing = row < 2, pausing = row % 2;
        SCOPED_TRACE(row);
        std::string target = path(compressing ? "out.bz3" : "out");
        fs::remove(target);
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
    EXPECT_EQ(run(fixture("text.txt"), path("after.bz3")), 0);
}

// Each injected fault ends the job in its code and leaves the target it
// should: a source that cannot be read touches none; a compression that fails
// after its placeholder header leaves the zero digest, which fails the check;
// a cancelled one leaves nothing, a decompression the part it wrote, without
// the stored attributes. The measured size decides nothing, and a stream cut
// short is unfinished even when its digest matches what came out.
TEST_F(Bzip3, InjectedFaults)
{
    const std::string source = path("source"), original = read_file(fixture("binary.bin"));
    const std::string tool = read_file(fixture("binary.bin.9.bz2"));
    write_file(source, original);
    make_read_only(source);  // restored only by a success
    ASSERT_EQ(direct(source, path("whole.bz3"), 1), 0);  // ten 100 kB blocks
    const std::string whole = read_file(path("whole.bz3")), cut = whole.substr(0, whole.size() * 6 / 10);
    write_file(path("cut.bz3"), cut);
    ASSERT_EQ(direct(path("cut.bz3"), path("part")), 123);
    std::string part = read_file(path("part")), patched = cut;
    md5_context md5;
    md5_init(&md5);
    md5_update(&md5, part.data(), part.size());
    md5_final(&md5, reinterpret_cast<unsigned char*>(&patched[4]));
    write_file(path("patched.bz3"), patched);
    write_file(path("bare.bz3"), whole.substr(0, 40));

    enum left_t { kept, empty, zero_digest, nothing, whole_file, part_of };
    const struct {
        const char *input, *faults;
        int32_t code;
        left_t left;
    } rows[] = {
        {"source", "read 1", 107, kept},          {"source", "write 1", 114, empty},
        {"source", "write 3", 114, zero_digest},  {"source", "read 2", 116, zero_digest},
        {"source", "rb+ 0", 108, zero_digest},    {"source", "close 3", 114, zero_digest},
        {"source", "close 4", 114, whole_file},
        {"source", "size 1", 0, whole_file},      {"source", "size -1 times 0", 0, whole_file},
        {"source", "size -9999999", 0, whole_file},
        {"source", "pause 1 resume 3", 0, whole_file},
        {"source", "pause 1 cancel_sleep 2", 119, nothing},
        {"source", "cancel_chunk 2", 119, nothing},
        {"missing", "cancel_open 1", 119, kept},  // cancelled before the target is opened
        {"whole.bz3", "size -9999999", 0, whole_file},
        {"bare.bz3", "size -9999999", 123, part_of},
        {"cut.bz3", "size -9999999", 123, part_of},
        {"patched.bz3", "", 124, part_of},
        {"whole.bz3", "write 3", 114, part_of},   {"whole.bz3", "close 3", 114, part_of},
        {"whole.bz3", "pause 1 resume 3", 0, whole_file},
        {"whole.bz3", "pause 1 cancel_sleep 2", 119, part_of},
        {"whole.bz3", "cancel_chunk 2", 119, part_of},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.input) + ": " + r.faults);
        const bool compressing = std::string(r.input).find(".bz3") == std::string::npos;
        const std::string target = path(compressing ? "t.bz3" : "t");
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
        } else if (!compressing) {
            EXPECT_TRUE(r.left == whole_file ? left == original : left == original.substr(0, left.size()));
            EXPECT_EQ(is_read_only(target), r.code == 0);
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
                                 : h.last_write_time == times_of(source).second);
        }
    }
    // A cancel reaches a decompression inside one chunk: eight megabytes of
    // zeros pack into less than one.
    write_file(path("zeros"), std::string(8 << 20, '\0'));
    ASSERT_EQ(direct(path("zeros"), path("zeros.bz3")), 0);
    ASSERT_LT(file_size(path("zeros.bz3")), bzip3_chunk_size);
    reset("cancel_chunk 1");
    EXPECT_EQ(direct(path("zeros.bz3"), path("t")), 119);
    EXPECT_LE(file_size(path("t")), 2 * bzip3_chunk_size);
}

}  // namespace
