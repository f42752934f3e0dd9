// The Bzip3 jobs called directly, with the platform made to fail, pause or
// cancel at exact points through doubles of its tables, and with damaged
// input of every kind.
#include "bzip3.h"
#include "bzip3_test_util.h"
#include "job.h"
#include "longfile.h"
#include "md5.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <set>

using namespace kelb;
using namespace kelbtest;
using bzip3test::header_of;

namespace {

// What the doubles do; reset for every test.
struct faults {
    int fail_write_number = 0;  // this write (counting from 1) transfers nothing
    int fail_read_number = 0;   // this chunk read fails
    bool fail_get_times = false;
    bool refuse_read_write_open = false;
    int final_header_transfer = -1;  // what a write through an "rb+" handle reports
    int64_t size_error = 0;          // added to every measured size
    std::function<void(int)> after_chunk_read;  // told the number of each chunk read
    std::function<void(int)> on_sleep;          // told the number of each pause sleep
    std::function<void(const char*)> on_get_attributes;
};
faults inject;
int writes, chunk_reads, sleeps;
std::set<longfile_handle> read_write_handles;

longfile_ops make_longfile_double()
{
    longfile_ops ops = real_longfile_platform();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) -> longfile_handle {
        bool read_write = access == (longfile_generic_read | longfile_generic_write);
        if (read_write && inject.refuse_read_write_open)
            return nullptr;
        longfile_handle h = real_longfile_platform().create(name, access, share, disposition);
        if (h && read_write)
            read_write_handles.insert(h);
        return h;
    };
    ops.close = [](longfile_handle h) {
        read_write_handles.erase(h);
        return real_longfile_platform().close(h);
    };
    ops.read = [](longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        bool chunk = count == bzip3_chunk_size;
        if (chunk && ++chunk_reads == inject.fail_read_number)
            return false;
        bool ok = real_longfile_platform().read(h, buffer, count, transferred);
        if (chunk && inject.after_chunk_read)
            inject.after_chunk_read(chunk_reads);
        return ok;
    };
    ops.write = [](longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        if (++writes == inject.fail_write_number)
            return false;
        bool ok = real_longfile_platform().write(h, buffer, count, transferred);
        if (ok && read_write_handles.count(h) && inject.final_header_transfer >= 0)
            *transferred = static_cast<uint32_t>(inject.final_header_transfer);
        return ok;
    };
    ops.size = [](longfile_handle h, uint64_t* size) {
        bool ok = real_longfile_platform().size(h, size);
        *size += static_cast<uint64_t>(inject.size_error);
        return ok;
    };
    ops.get_times = [](longfile_handle h, longfile_times* times) {
        return !inject.fail_get_times && real_longfile_platform().get_times(h, times);
    };
    return ops;
}
const longfile_ops longfile_double = make_longfile_double();

platform_ops make_platform_double()
{
    platform_ops ops = real_platform();
    ops.sleep_ms = [](unsigned) {
        if (inject.on_sleep)
            inject.on_sleep(++sleeps);
    };
    ops.get_file_attributes = [](const char* name) {
        if (inject.on_get_attributes)
            inject.on_get_attributes(name);
        return real_platform().get_file_attributes(name);
    };
    return ops;
}
const platform_ops platform_double = make_platform_double();

class Bzip3Faults : public testing::Test {
protected:
    void SetUp() override
    {
        inject = faults{};
        writes = chunk_reads = sleeps = 0;
        read_write_handles.clear();
        use_longfile_platform(&longfile_double);
        use_platform(&platform_double);
        dir = scratch_dir();
        if (!quiet)
            quiet = std::make_unique<bzip3test::stderr_captured>(dir + "/../stderr-" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt");
    }
    void TearDown() override
    {
        use_longfile_platform(nullptr);
        use_platform(nullptr);
        job_paused.store(0);
        job_cancel.store(0);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A Bzip3 file made without any fault.
    std::string compressed(const std::string& source, int level = 9)
    {
        faults saved = inject;
        inject = faults{};
        std::string target = path("made.bz3");
        EXPECT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), level), 0);
        inject = saved;
        writes = chunk_reads = sleeps = 0;
        return target;
    }

    std::string dir;
    std::unique_ptr<bzip3test::stderr_captured> quiet;
};

const std::string zero_digest(16, '\0');

TEST_F(Bzip3Faults, SourceTimesThatCannotBeReadBecomeTheCurrentTime)
{
    inject.fail_get_times = true;
    std::string source = fixture("text.txt"), target = path("t.bz3");
    uint64_t before = real_longfile_platform().now();
    ASSERT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), 0);
    uint64_t after = real_longfile_platform().now();
    auto header = header_of(read_file(target));
    EXPECT_GE(header.last_write, before);
    EXPECT_LE(header.last_write, after);
    EXPECT_EQ(header.creation, header.last_write);

    inject.fail_get_times = false;
    ASSERT_EQ(decompress_bzip3_file(target.c_str(), path("restored").c_str()), 0);
    EXPECT_EQ(read_file(path("restored")), read_file(source));
}

TEST_F(Bzip3Faults, CompressionWritesThatFail)
{
    std::string source = fixture("binary.bin"), target = path("t.bz3");

    inject.fail_write_number = 1;  // the placeholder header
    EXPECT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), 114);
    EXPECT_EQ(file_size(target), 0);

    SetUp();
    inject.fail_write_number = 3;  // part of the stream
    EXPECT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), 114);
    std::string left = read_file(target);
    ASSERT_GT(left.size(), 40u);
    EXPECT_EQ(header_of(left).digest, zero_digest);
    EXPECT_EQ(left.substr(40, 3), "BZh");

    // The stream is complete but the digest cannot be stored.
    SetUp();
    inject.refuse_read_write_open = true;
    EXPECT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), 108);
    left = read_file(target);
    EXPECT_EQ(header_of(left).digest, zero_digest);
    EXPECT_EQ(left.substr(40), read_file(fixture("binary.bin.9.bz2")));
    // Such a file fails the check when it is read back.
    inject = faults{};
    EXPECT_EQ(decompress_bzip3_file(target.c_str(), path("restored").c_str()), 123);
    EXPECT_EQ(read_file(path("restored")), read_file(source));

    SetUp();
    inject.final_header_transfer = 39;
    EXPECT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), 114);
    EXPECT_TRUE(file_exists(target));
}

// A read that fails is a failure; the measured size decides nothing: a source
// that shrank, grew or measured nothing is compressed to its real end.
TEST_F(Bzip3Faults, TheSourcesEndNotItsSizeEndsTheStream)
{
    std::string source = fixture("binary.bin"), target = path("t.bz3");
    const int64_t size = file_size(source);
    const struct {
        int fail_read;
        int64_t size_error;
        int32_t code;
    } cases[] = {{2, 0, 116}, {1, 0, 107}, {0, 1, 0}, {0, -1, 0}, {0, -size, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "read " << c.fail_read << " fails, size off by " << c.size_error);
        SetUp();
        write_file(target, "precious");
        inject.fail_read_number = c.fail_read;
        inject.size_error = c.size_error;
        ASSERT_EQ(compress_bzip3_file(source.c_str(), target.c_str(), 9), c.code);
        if (c.code == 107) {
            EXPECT_EQ(read_file(target), "precious") << "a source that cannot be read touches no target";
            continue;
        }
        if (c.code != 0) {
            EXPECT_EQ(header_of(read_file(target)).digest, zero_digest);
            continue;
        }
        ASSERT_EQ(decompress_bzip3_file(target.c_str(), path("back").c_str()), 0);
        EXPECT_TRUE(read_file(path("back")) == read_file(source));
    }
}

// The checks on what comes back do not lean on the measured size either.
TEST_F(Bzip3Faults, AnArchiveThatMeasuresNothingIsStillChecked)
{
    std::string whole = read_file(compressed(fixture("binary.bin"), 1));
    const struct {
        std::string bytes;
        int32_t code;
    } cases[] = {{whole, 0},
                 {whole.substr(0, whole.size() / 2), 123},
                 {whole.substr(0, 40), 123}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        write_file(path("in.bz3"), c.bytes);
        inject.size_error = -static_cast<int64_t>(c.bytes.size());
        EXPECT_EQ(decompress_bzip3_file(path("in.bz3").c_str(), path("out").c_str()), c.code);
    }
}

TEST_F(Bzip3Faults, DecompressionWriteThatFailsKeepsThePartialTarget)
{
    std::string packed = compressed(fixture("binary.bin"));
    inject.fail_write_number = 3;
    EXPECT_EQ(decompress_bzip3_file(packed.c_str(), path("restored").c_str()), 114);
    std::string left = read_file(path("restored"));
    EXPECT_GT(left.size(), 0u);
    EXPECT_EQ(left, read_file(fixture("binary.bin")).substr(0, left.size()));
}

TEST_F(Bzip3Faults, PauseWaitsAndResumeGoesOn)
{
    std::string source = fixture("binary.bin");
    inject.after_chunk_read = [](int n) {
        if (n == 1)
            job_paused.store(1);
    };
    inject.on_sleep = [](int n) {
        EXPECT_EQ(chunk_reads, 1) << "read on while paused";
        if (n == 3)
            job_paused.store(0);
    };
    ASSERT_EQ(compress_bzip3_file(source.c_str(), path("t.bz3").c_str(), 9), 0);
    EXPECT_EQ(sleeps, 3);

    chunk_reads = sleeps = 0;
    ASSERT_EQ(decompress_bzip3_file(path("t.bz3").c_str(), path("restored").c_str()), 0);
    EXPECT_EQ(sleeps, 3);
    EXPECT_EQ(read_file(path("restored")), read_file(source));
}

TEST_F(Bzip3Faults, CancelWhilePaused)
{
    std::string source = fixture("binary.bin"), packed = compressed(source);
    inject.after_chunk_read = [](int n) {
        if (n == 1)
            job_paused.store(1);
    };
    inject.on_sleep = [](int n) {
        if (n == 2)
            job_cancel.store(1);
    };
    EXPECT_EQ(compress_bzip3_file(source.c_str(), path("t.bz3").c_str(), 9), 119);
    EXPECT_FALSE(file_exists(path("t.bz3")));
    EXPECT_EQ(chunk_reads, 1);
    EXPECT_EQ(percent_done.load(), 100);

    chunk_reads = sleeps = 0;
    EXPECT_EQ(decompress_bzip3_file(packed.c_str(), path("restored").c_str()), 119);
    EXPECT_EQ(chunk_reads, 1);
    EXPECT_TRUE(file_exists(path("restored")));  // a cancelled decompression keeps its part
}

TEST_F(Bzip3Faults, CancelDuringTheLoop)
{
    std::string source = path("source");
    write_file(source, read_file(fixture("binary.bin")));
    bzip3test::make_read_only(source);
    std::string packed = compressed(source);
    inject.after_chunk_read = [](int n) {
        if (n == 2)
            job_cancel.store(1);
    };
    EXPECT_EQ(compress_bzip3_file(source.c_str(), path("t.bz3").c_str(), 9), 119);
    EXPECT_FALSE(file_exists(path("t.bz3")));
    EXPECT_EQ(chunk_reads, 2);

    chunk_reads = 0;
    EXPECT_EQ(decompress_bzip3_file(packed.c_str(), path("restored").c_str()), 119);
    EXPECT_EQ(chunk_reads, 2);
    ASSERT_TRUE(file_exists(path("restored")));
    EXPECT_FALSE(bzip3test::is_read_only(path("restored"))) << "attributes restored after a cancel";
}

TEST_F(Bzip3Faults, CancelReachesADecompressionInsideOneChunk)
{
    // Eight megabytes of zeros pack into less than one chunk.
    std::string source = path("zeros");
    write_file(source, std::string(8 << 20, '\0'));
    std::string packed = compressed(source);
    ASSERT_LT(file_size(packed), bzip3_chunk_size);
    inject.after_chunk_read = [](int) { job_cancel.store(1); };
    EXPECT_EQ(decompress_bzip3_file(packed.c_str(), path("restored").c_str()), 119);
    EXPECT_LE(file_size(path("restored")), 2 * bzip3_chunk_size);
}

// A cancel that lands before the job has opened its target must not cost
// the owner of an existing file of that name.
TEST_F(Bzip3Faults, CancelBeforeTheTargetIsOpenedLeavesAnExistingTargetAlone)
{
    std::string target = path("precious");
    write_file(target, "not ours");
    inject.on_get_attributes = [](const char*) { job_cancel.store(1); };
    EXPECT_EQ(compress_bzip3_file(path("missing").c_str(), target.c_str(), 9), 119);
    EXPECT_EQ(read_file(target), "not ours");
}

TEST_F(Bzip3Faults, CutShortStreamWithAMatchingDigestIsUnfinished)
{
    std::string packed = compressed(fixture("binary.bin"), 1);  // ten 100 kB blocks
    std::string whole = read_file(packed);
    std::string cut = path("cut.bz3");
    write_file(cut, whole.substr(0, whole.size() * 6 / 10));
    EXPECT_EQ(decompress_bzip3_file(cut.c_str(), path("part").c_str()), 123);
    std::string part = read_file(path("part"));
    ASSERT_GT(part.size(), 0u);
    EXPECT_EQ(part, read_file(fixture("binary.bin")).substr(0, part.size()));

    // Give the header the digest of what did come out: now the stream's end is missed.
    md5_context md5;
    md5_init(&md5);
    md5_update(&md5, part.data(), part.size());
    unsigned char digest[16];
    md5_final(&md5, digest);
    std::string patched = whole.substr(0, whole.size() * 6 / 10);
    patched.replace(4, 16, std::string(reinterpret_cast<char*>(digest), 16));
    write_file(cut, patched);
    EXPECT_EQ(decompress_bzip3_file(cut.c_str(), path("part").c_str()), 124);
}

// Any bytes at all end in one of the job's own codes, the source untouched;
// a success means the digest vouched for the data.
TEST_F(Bzip3Faults, DamagedInputAlwaysEndsInACode)
{
    use_longfile_platform(nullptr);
    use_platform(nullptr);
    const std::string original = read_file(fixture("text.txt"));
    const std::string good = read_file(compressed(fixture("text.txt"), 1));
    const std::set<int32_t> codes = {0, 122, 123, 124, 125, 126};
    std::mt19937 random(20240611);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    std::string source = path("in.bz3"), target = path("out");

    auto check = [&](const std::string& bytes, const char* kind, int i) {
        write_file(source, bytes);
        int32_t result = decompress_bzip3_file(source.c_str(), target.c_str());
        ASSERT_TRUE(codes.count(result)) << kind << " " << i << ": " << result;
        ASSERT_EQ(read_file(source), bytes) << kind << " " << i;
        if (result == 0) {
            std::string out = read_file(target);
            ASSERT_TRUE(out == original || (bytes.size() == 40 && out.empty())) << kind << " " << i;
        }
    };
    for (int i = 0; i < 150; ++i) {
        std::string bytes = good;
        bytes[below(bytes.size())] ^= static_cast<char>(1 << below(8));
        check(bytes, "flipped bit", i);
    }
    for (int i = 0; i < 60; ++i)
        check(good.substr(0, below(good.size())), "cut", i);
    for (int i = 0; i < 60; ++i) {
        std::string bytes = good;
        size_t at = 40 + below(bytes.size() - 40), n = 1 + below(64);
        for (size_t k = at; k < at + n && k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(random());
        check(bytes, "overwritten run", i);
    }
    for (int i = 0; i < 40; ++i) {
        std::string bytes = good.substr(0, 44 + below(8));  // header, "BZh9", a little more
        size_t n = below(70000);
        for (size_t k = 0; k < n; ++k)
            bytes += static_cast<char>(random());
        check(bytes, "random stream", i);
    }
}

}  // namespace
