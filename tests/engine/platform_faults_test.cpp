// The platform made to fail on purpose, through a double of its table.
#include "job.h"
#include "kelbzp1.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <vector>

using namespace kelbtest;

namespace {

int32_t call(const char* command, uintptr_t a2 = 0, uintptr_t a3 = 0, uintptr_t a4 = 0)
{
    return interface1(reinterpret_cast<uintptr_t>(command), a2, a3, a4);
}

int32_t run(const char* command, const std::string& source, const std::string& target, const char* mode = "w9")
{
    call("status", 1);
    EXPECT_EQ(call(command, reinterpret_cast<uintptr_t>(source.c_str()), reinterpret_cast<uintptr_t>(target.c_str()),
                   reinterpret_cast<uintptr_t>(mode)),
              1);
    EXPECT_TRUE(wait_until([] { return call("thestatus") == 0; }));
    return call("intreturn");
}

// What the double breaks; reset for every test.
struct faults {
    bool no_threads = false;
    int fail_read_after = -1;  // reads that succeed before one fails
    bool fail_write = false;
    bool fail_close_of_written = false;
    bool record_progress = false;  // the percentage as each 4096 bytes written begin
};
faults inject;
std::atomic<int> reads{0};
std::set<FILE*> failed_streams;
std::set<FILE*> written_streams;
std::vector<int32_t> progress_at_write;

kelb::platform_ops make_double()
{
    kelb::platform_ops ops = kelb::real_platform();
    ops.start_thread = [](void (*entry)()) { return !inject.no_threads && kelb::real_platform().start_thread(entry); };
    ops.stream_open = [](const char* name, const char* mode) {
        FILE* f = kelb::real_platform().stream_open(name, mode);
        if (f && mode[0] == 'w')
            written_streams.insert(f);
        return f;
    };
    ops.stream_read = [](void* buffer, size_t count, FILE* stream) -> size_t {
        if (inject.fail_read_after >= 0 && reads++ >= inject.fail_read_after) {
            failed_streams.insert(stream);
            return 0;
        }
        return kelb::real_platform().stream_read(buffer, count, stream);
    };
    ops.stream_write = [](const void* buffer, size_t count, FILE* stream) -> size_t {
        if (inject.record_progress)
            progress_at_write.insert(progress_at_write.end(), (count + 4095) / 4096, kelb::get_progress());
        return inject.fail_write ? 0 : kelb::real_platform().stream_write(buffer, count, stream);
    };
    ops.stream_failed = [](FILE* stream) {
        return failed_streams.count(stream) > 0 || kelb::real_platform().stream_failed(stream);
    };
    ops.stream_close = [](FILE* stream) {
        bool written = written_streams.erase(stream) > 0;
        failed_streams.erase(stream);
        bool ok = kelb::real_platform().stream_close(stream);
        return ok && !(written && inject.fail_close_of_written);
    };
    return ops;
}
kelb::platform_ops failing_platform = make_double();

class PlatformFaults : public testing::Test {
protected:
    void SetUp() override
    {
        inject = faults{};
        reads = 0;
        progress_at_write.clear();
        kelb::use_platform(&failing_platform);
        dir = scratch_dir();
    }
    void TearDown() override { kelb::use_platform(nullptr); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

}  // namespace

TEST_F(PlatformFaults, JobWhoseThreadCannotStartEndsWithACode)
{
    inject.no_threads = true;
    EXPECT_EQ(run("compress", fixture("text.txt"), path("a")), 11);
    EXPECT_EQ(run("decompress", fixture("text.txt.1.bz2"), path("b")), 12);
    EXPECT_EQ(run("compressbzip3", fixture("text.txt"), path("c")), 120);
    EXPECT_EQ(run("decompressbzip3", fixture("text.txt"), path("d")), 121);
    EXPECT_EQ(call("cancel"), 0) << "returns: nothing is left running";
    EXPECT_FALSE(file_exists(path("a")));
    inject.no_threads = false;
    EXPECT_EQ(run("compress", fixture("text.txt"), path("a"), "w1"), 0) << "the engine recovers";
}

TEST_F(PlatformFaults, ReadFailureOfTheSourceIsNotTheEndOfTheFile)
{
    inject.fail_read_after = 5;
    EXPECT_EQ(run("compress", fixture("binary.bin"), path("b.bz2")), 8);
}

TEST_F(PlatformFaults, FailedFinishOfTheCompressedFileIsAWriteError)
{
    inject.fail_close_of_written = true;
    EXPECT_EQ(run("compress", fixture("text.txt"), path("t.bz2")), 10);
}

TEST_F(PlatformFaults, LostDecompressedDataIsAWriteError)
{
    inject.fail_write = true;
    EXPECT_EQ(run("decompress", fixture("text.txt.1.bz2"), path("t")), 114);
    inject.fail_write = false;
    inject.fail_close_of_written = true;
    EXPECT_EQ(run("decompress", fixture("text.txt.1.bz2"), path("t")), 114);
}

TEST_F(PlatformFaults, DecompressionProgressFollowsTheCompressedBytesRead)
{
    // This file comes out 30 times larger than it is: counted by output, the
    // job would show 99 once it had written as many bytes as it reads in all.
    inject.record_progress = true;
    std::string source = fixture("repeat.txt.bz2");
    ASSERT_EQ(run("decompress", source, path("r")), 0);
    size_t as_many_as_read = static_cast<size_t>(file_size(source)) / 4096 + 1;
    ASSERT_GT(progress_at_write.size(), as_many_as_read);
    EXPECT_LT(progress_at_write[as_many_as_read - 1], 20);
    EXPECT_TRUE(std::is_sorted(progress_at_write.begin(), progress_at_write.end()));
    EXPECT_GE(progress_at_write.back(), 90);
}

#ifdef _WIN32
#include "wide_names_win32.h"

// Wine takes long paths without the "\\?\" form, so the form itself is
// checked here: only absolute paths past 259 characters get it, made whole.
TEST(LongPathForm, OnlyAbsolutePathsBeyond259CharactersTakeIt)
{
    const std::wstring x(290, L'x');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\data\\a.txt", L"C:\\data\\a.txt"},
        {L"data\\" + x, L"data\\" + x},
        {L"C:/data/" + x, L"\\\\?\\C:\\data\\" + x},
        {L"C:\\data\\..\\data\\.\\" + x, L"\\\\?\\C:\\data\\" + x},
        {L"\\\\server\\share\\" + x, L"\\\\?\\UNC\\server\\share\\" + x},
        {L"\\\\?\\C:\\" + x, L"\\\\?\\C:\\" + x},
    };
    for (const auto& [name, form] : cases)
        EXPECT_TRUE(kelb::long_path_form(name) == form) << name.size();
    EXPECT_EQ(kelb::wide_from_utf8("\xCE\xB1\xF0\x9F\x93\xA6"), L"\u03B1\U0001F4E6");
    EXPECT_EQ(kelb::wide_from_utf8("\xC0\xAF"), L"") << "no UTF-8";
}
#endif
