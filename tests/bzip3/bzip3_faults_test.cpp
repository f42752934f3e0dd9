// The Bzip3 jobs called directly, with the platform made to fail, pause or
// cancel at exact points through doubles of its tables.
#include "bzip3.h"
#include "bzip3_header.h"
#include "bzip3_test_util.h"
#include "job.h"
#include "longfile.h"
#include "md5.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

using namespace kelb;
using namespace kelbtest;

namespace {

// The faults of one case, by name: "write 3" fails the third write, "read 2"
// the second chunk read, "close 3" the third close; "size" is added to every
// measured size (down to nothing), "rb+ 0" refuses the open that stores the
// final header, "header 39" is what its write reports, "times 0" fails
// reading the source's times; "pause" and "cancel_chunk" act after that
// chunk read, "resume" and "cancel_sleep" at that pause sleep, and
// "cancel_open 1" when the job looks at the target's attributes.
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
        bool ok = ++writes != fault("write") && real().write(h, buffer, count, transferred);
        if (ok && writes > 1 && count == 40 && inject.count("header"))
            *transferred = static_cast<uint32_t>(fault("header"));
        return ok;
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

class Bzip3Faults : public testing::Test {
protected:
    void SetUp() override
    {
        reset("");
        use_longfile_platform(&longfile_double);
        use_platform(&platform_double);
    }
    void TearDown() override
    {
        use_longfile_platform(nullptr);
        use_platform(nullptr);
        reset("");
    }
    void reset(const std::string& faults)
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
    // A .bz3 file is decompressed, anything else compressed.
    int32_t job(const std::string& source, const std::string& target, int level = 9)
    {
        return source.find(".bz3") == std::string::npos ? compress_bzip3_file(source.c_str(), target.c_str(), level)
                                                         : decompress_bzip3_file(source.c_str(), target.c_str());
    }
    std::string dir = scratch_dir();
};

// Each fault ends the job in its code and leaves the target it should: a
// source that cannot be read touches none; a compression that fails after
// its placeholder header leaves the zero digest, which fails the check; a
// cancelled one leaves nothing, a decompression the part it wrote, without
// the stored attributes. The measured size decides nothing, and a stream cut
// short is unfinished even when its digest matches what came out.
TEST_F(Bzip3Faults, EachFaultEndsInItsCodeAndLeavesTheTargetItShould)
{
    const std::string source = path("source"), original = read_file(fixture("binary.bin"));
    const std::string tool = read_file(fixture("binary.bin.9.bz2"));
    write_file(source, original);
    bzip3test::make_read_only(source);  // restored only by a success
    ASSERT_EQ(job(source, path("whole.bz3"), 1), 0);  // ten 100 kB blocks
    const std::string whole = read_file(path("whole.bz3")), cut = whole.substr(0, whole.size() * 6 / 10);
    write_file(path("cut.bz3"), cut);
    ASSERT_EQ(job(path("cut.bz3"), path("part")), 123);
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
        {"source", "close 4", 114, whole_file},   {"source", "header 39", 114, whole_file},
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
        ASSERT_EQ(job(path(r.input), target), r.code);
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
            EXPECT_EQ(bzip3test::is_read_only(target), r.code == 0);
        } else if (r.left == zero_digest) {
            EXPECT_EQ(left.substr(4, 16), std::string(16, '\0'));
            EXPECT_TRUE(left.substr(40) == tool.substr(0, left.size() - 40));
            EXPECT_EQ(job(target, path("back")), 123);
        } else {
            EXPECT_EQ(job(target, path("back")), 0);
            EXPECT_TRUE(read_file(path("back")) == original);
            bzip3_header h;
            decode_bzip3_header(reinterpret_cast<const unsigned char*>(left.data()), &h);
            EXPECT_TRUE(timeless ? h.last_write_time >= before && h.creation_time == h.last_write_time  // now, honestly
                                 : h.last_write_time == bzip3test::times_of(source).last_write);
        }
    }
    // A cancel reaches a decompression inside one chunk: eight megabytes of
    // zeros pack into less than one.
    write_file(path("zeros"), std::string(8 << 20, '\0'));
    ASSERT_EQ(job(path("zeros"), path("zeros.bz3")), 0);
    ASSERT_LT(file_size(path("zeros.bz3")), bzip3_chunk_size);
    reset("cancel_chunk 1");
    EXPECT_EQ(job(path("zeros.bz3"), path("t")), 119);
    EXPECT_LE(file_size(path("t")), 2 * bzip3_chunk_size);
}

}  // namespace
