// The Bzip3 jobs called directly, with the platform made to fail, pause or
// cancel at exact points through doubles of its tables, and fed damaged input.
#include "bzip3.h"
#include "bzip3_header.h"
#include "bzip3_test_util.h"
#include "job.h"
#include "longfile.h"
#include "md5.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace kelb;
using namespace kelbtest;

namespace {

// What the doubles do; reset for every case.
struct faults {
    int fail_write = 0, fail_read = 0;  // this write, this chunk read (counting from 1) fails
    int64_t size_error = 0;             // added to every measured size
    bool refuse_read_write = false;     // the open that stores the final header
    int header_transfer = -1;           // what the final header's write reports
    bool fail_get_times = false, cancel_on_attributes = false;
    std::function<void(int)> after_chunk_read, on_sleep;  // told the number of each
} inject;
int writes, chunk_reads, sleeps;

const longfile_ops& real() { return real_longfile_platform(); }
const longfile_ops longfile_double = [] {
    longfile_ops ops = real();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) {
        bool read_write = access == (longfile_generic_read | longfile_generic_write);
        return read_write && inject.refuse_read_write ? nullptr : real().create(name, access, share, disposition);
    };
    ops.read = [](longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        bool chunk = count == bzip3_chunk_size;
        if (chunk && ++chunk_reads == inject.fail_read)
            return false;
        bool ok = real().read(h, buffer, count, transferred);
        if (chunk && inject.after_chunk_read)
            inject.after_chunk_read(chunk_reads);
        return ok;
    };
    ops.write = [](longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        if (++writes == inject.fail_write)
            return false;
        bool ok = real().write(h, buffer, count, transferred);
        if (ok && writes > 1 && count == 40 && inject.header_transfer >= 0)
            *transferred = static_cast<uint32_t>(inject.header_transfer);
        return ok;
    };
    ops.size = [](longfile_handle h, uint64_t* size) {
        bool ok = real().size(h, size);
        *size += static_cast<uint64_t>(inject.size_error);
        return ok;
    };
    ops.get_times = [](longfile_handle h, longfile_times* times) {
        return !inject.fail_get_times && real().get_times(h, times);
    };
    return ops;
}();
const platform_ops platform_double = [] {
    platform_ops ops = real_platform();
    ops.sleep_ms = [](unsigned) {
        if (inject.on_sleep)
            inject.on_sleep(++sleeps);
    };
    ops.get_file_attributes = [](const char* name) {
        if (inject.cancel_on_attributes)
            job_cancel.store(1);
        return real_platform().get_file_attributes(name);
    };
    return ops;
}();

class Bzip3Faults : public testing::Test {
protected:
    void SetUp() override
    {
        reset();
        use_longfile_platform(&longfile_double);
        use_platform(&platform_double);
    }
    void TearDown() override
    {
        use_longfile_platform(nullptr);
        use_platform(nullptr);
        reset();
    }
    void reset(const faults& f = {})
    {
        inject = f;
        writes = chunk_reads = sleeps = 0;
        job_paused.store(0);
        job_cancel.store(0);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    int32_t compress(const std::string& source, const std::string& target, int level = 9)
    {
        return compress_bzip3_file(source.c_str(), target.c_str(), level);
    }
    int32_t decompress(const std::string& source, const std::string& target)
    {
        return decompress_bzip3_file(source.c_str(), target.c_str());
    }
    // Whether the restored file is the start of the original, and some of it.
    bool restored_is_part_of(const std::string& source, bool some = true)
    {
        std::string part = read_file(path("restored"));
        return part.size() >= size_t(some) && part == read_file(source).substr(0, part.size());
    }
    std::string dir = scratch_dir();
};

// A source that cannot be read touches no target; a job that fails after
// the placeholder header leaves its zero digest, so that the file fails
// its check; the measured size decides nothing: the source's end ends the stream.
TEST_F(Bzip3Faults, CompressionFaults)
{
    const std::string source = fixture("binary.bin"), target = path("t.bz3"), tool = read_file(source + ".9.bz2");
    const int64_t size = file_size(source);
    const struct {
        int fail_write, fail_read;
        int64_t size_error;
        bool refuse_read_write;
        int header_transfer;
        bool fail_get_times;
        int32_t code;
    } rows[] = {
        {0, 1, 0, false, -1, false, 107},  {1, 0, 0, false, -1, false, 114},  // the placeholder header
        {3, 0, 0, false, -1, false, 114},  {0, 2, 0, false, -1, false, 116},
        {0, 0, 0, true, -1, false, 108},   {0, 0, 0, false, 39, false, 114},
        {0, 0, 1, false, -1, false, 0},    {0, 0, -1, false, -1, false, 0},
        {0, 0, -size, false, -1, true, 0},  // and times that cannot be read are now
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        faults f;
        f.fail_write = r.fail_write, f.fail_read = r.fail_read, f.size_error = r.size_error;
        f.refuse_read_write = r.refuse_read_write, f.header_transfer = r.header_transfer;
        f.fail_get_times = r.fail_get_times;
        reset(f);
        write_file(target, "precious");
        uint64_t before = real().now();
        ASSERT_EQ(compress(source, target), r.code);
        uint64_t after = real().now();
        std::string left = read_file(target);
        reset();
        if (r.code == 107 || r.fail_write == 1) {
            EXPECT_EQ(left, r.code == 107 ? "precious" : "");
        } else if (r.code == 0 || r.header_transfer >= 0) {
            ASSERT_EQ(decompress(target, path("restored")), 0);
            EXPECT_TRUE(read_file(path("restored")) == read_file(source));
            bzip3_header h;
            decode_bzip3_header(reinterpret_cast<const unsigned char*>(left.data()), &h);
            if (r.fail_get_times)
                EXPECT_TRUE(h.last_write_time >= before && h.last_write_time <= after && h.creation_time == h.last_write_time);
            else
                EXPECT_EQ(h.last_write_time, bzip3test::times_of(source).last_write);
        } else {
            EXPECT_EQ(left.substr(4, 16), std::string(16, '\0'));
            EXPECT_TRUE(left.substr(40) == tool.substr(0, left.size() - 40));
            EXPECT_EQ(left.size() == 40 + tool.size(), r.code == 108);
            EXPECT_EQ(decompress(target, path("restored")), 123);
            EXPECT_TRUE(restored_is_part_of(source, false));
        }
    }
}

// A failed write keeps what was written; the checks on what comes back lean
// neither on the measured size nor on the digest alone: a stream cut short
// whose digest matches what did come out is still unfinished.
TEST_F(Bzip3Faults, DecompressionFaults)
{
    const std::string source = fixture("binary.bin"), packed = path("in.bz3");
    ASSERT_EQ(compress(source, path("whole.bz3"), 1), 0);  // ten 100 kB blocks
    const std::string whole = read_file(path("whole.bz3")), cut = whole.substr(0, whole.size() * 6 / 10);
    write_file(packed, cut);
    ASSERT_EQ(decompress(packed, path("restored")), 123);
    std::string part = read_file(path("restored")), patched = cut;
    md5_context md5;
    md5_init(&md5);
    md5_update(&md5, part.data(), part.size());
    md5_final(&md5, reinterpret_cast<unsigned char*>(&patched[4]));
    const struct {
        std::string bytes;
        bool measures_nothing;
        int fail_write;
        int32_t code;
    } rows[] = {{whole, true, 0, 0},       {whole.substr(0, 40), true, 0, 123}, {cut, true, 0, 123},
                {whole, false, 3, 114},    {patched, false, 0, 124}};
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        write_file(packed, r.bytes);
        faults f;
        f.size_error = r.measures_nothing ? -static_cast<int64_t>(r.bytes.size()) : 0;
        f.fail_write = r.fail_write;
        reset(f);
        EXPECT_EQ(decompress(packed, path("restored")), r.code);
        EXPECT_TRUE(restored_is_part_of(source, r.bytes.size() > 40));
    }
}

// Pause waits in the platform's sleep without reading on, cancel is seen
// while paused, between chunks and inside one chunk: a cancelled compression
// leaves no target, a decompression its part, without the stored attributes.
TEST_F(Bzip3Faults, PauseAndCancelAtExactPoints)
{
    std::string source = path("source");
    write_file(source, read_file(fixture("binary.bin")));
    bzip3test::make_read_only(source);
    ASSERT_EQ(compress(source, path("s.bz3")), 0);
    const struct {
        int pause_at_chunk, resume_at_sleep, cancel_at_sleep, cancel_at_chunk;
        int32_t code;
    } rows[] = {{1, 3, 0, 0, 0}, {1, 0, 2, 0, 119}, {0, 0, 0, 2, 119}};
    for (const auto& r : rows) {
        for (bool compressing : {true, false}) {
            SCOPED_TRACE(testing::Message() << (&r - rows) << (compressing ? " compressing" : " decompressing"));
            reset();
            inject.after_chunk_read = [&](int n) {
                if (n == r.pause_at_chunk)
                    job_paused.store(1);
                if (n == r.cancel_at_chunk)
                    job_cancel.store(1);
            };
            inject.on_sleep = [&](int n) {
                EXPECT_EQ(chunk_reads, r.pause_at_chunk) << "read on while paused";
                if (n == r.resume_at_sleep)
                    job_paused.store(0);
                if (n == r.cancel_at_sleep)
                    job_cancel.store(1);
            };
            std::string target = path(compressing ? "t.bz3" : "restored");
            EXPECT_EQ(compressing ? compress(source, target) : decompress(path("s.bz3"), target), r.code);
            EXPECT_EQ(sleeps, std::max(r.resume_at_sleep, r.cancel_at_sleep));
            EXPECT_EQ(percent_done.load(), 100);
            EXPECT_EQ(file_exists(target), r.code == 0 || !compressing);
            if (r.code != 0)
                EXPECT_EQ(chunk_reads, r.pause_at_chunk + r.cancel_at_chunk);
            if (!compressing)
                EXPECT_EQ(bzip3test::is_read_only(target), r.code == 0);
        }
    }
    // Eight megabytes of zeros pack into less than one chunk.
    reset();
    write_file(source + "0", std::string(8 << 20, '\0'));
    ASSERT_EQ(compress(source + "0", path("z.bz3")), 0);
    ASSERT_LT(file_size(path("z.bz3")), bzip3_chunk_size);
    inject.after_chunk_read = [](int) { job_cancel.store(1); };
    EXPECT_EQ(decompress(path("z.bz3"), path("z")), 119);
    EXPECT_LE(file_size(path("z")), 2 * bzip3_chunk_size);
    // A cancel before the target is opened must not cost an existing file of that name.
    write_file(path("precious"), "not ours");
    reset();
    inject.cancel_on_attributes = true;
    EXPECT_EQ(compress(path("missing"), path("precious")), 119);
    EXPECT_EQ(read_file(path("precious")), "not ours");
}

// Any bytes at all end in one of the job's own codes, the source untouched;
// a success means the digest vouched for the data.
TEST_F(Bzip3Faults, DamagedInputAlwaysEndsInACode)
{
    const std::string original = read_file(fixture("text.txt")), source = path("in.bz3");
    ASSERT_EQ(compress(fixture("text.txt"), path("good.bz3"), 1), 0);
    const std::string good = read_file(path("good.bz3"));
    std::mt19937 random(20240611);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    for (int i = 0; i < 100; ++i) {
        std::string bytes = good;
        if (i < 50)  // a flipped bit
            bytes[below(bytes.size())] ^= static_cast<char>(1 << below(8));
        else if (i < 70)  // cut short
            bytes.resize(below(good.size()));
        else if (i < 90) {  // a run overwritten
            size_t at = 40 + below(bytes.size() - 40), n = 1 + below(64);
            for (size_t k = at; k < at + n && k < bytes.size(); ++k)
                bytes[k] = static_cast<char>(random());
        } else {  // a random stream behind the header, "BZh1" and a little more
            bytes.resize(44 + below(8));
            for (size_t n = below(70000); n > 0; --n)
                bytes += static_cast<char>(random());
        }
        write_file(source, bytes);
        int32_t result = decompress(source, path("out"));
        ASSERT_TRUE(result == 0 || (result >= 122 && result <= 126)) << i << ": " << result;
        ASSERT_EQ(read_file(source), bytes) << i;
        if (result == 0)
            ASSERT_TRUE(read_file(path("out")) == original || (bytes.size() == 40 && read_file(path("out")).empty())) << i;
    }
}

}  // namespace
