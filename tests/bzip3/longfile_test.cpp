// The long-file layer on real files, and the 64-bit percentage.
#include "bzip3_test_util.h"
#include "jobs.h"
#include "longfile.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kelb;
using namespace kelbtest;

namespace {

std::string bytes_0_to(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(i);
    return s;
}

TEST(Longfile, WriteCreatesOrEmptiesAndReadEndsWithZero)
{
    std::string dir = scratch_dir(), name = dir + "/f";
    longfile_handle f = longfile_open(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(longfile_write("hello world", 11, f), 11u);
    longfile_close(f);
    EXPECT_EQ(read_file(name), "hello world");

    f = longfile_open(name.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(longfile_handle_size(f), 11u);
    char buffer[64];
    EXPECT_EQ(longfile_read(buffer, sizeof buffer, f), 11u);
    EXPECT_EQ(std::string(buffer, 11), "hello world");
    EXPECT_EQ(longfile_read(buffer, sizeof buffer, f), 0u);
    longfile_close(f);

    f = longfile_open(name.c_str(), "w");
    ASSERT_NE(f, nullptr);
    longfile_close(f);
    EXPECT_EQ(file_size(name), 0);
}

TEST(Longfile, ReadWriteModeReplacesTheStartAndKeepsTheRest)
{
    std::string dir = scratch_dir(), name = dir + "/f";
    std::string original = bytes_0_to(100);
    write_file(name, original);
    longfile_handle f = longfile_open(name.c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    std::string head(40, 'K');
    EXPECT_EQ(longfile_write(head.data(), 40, f), 40u);
    longfile_close(f);
    EXPECT_EQ(read_file(name), head + original.substr(40));

    // The same mode does not create a file.
    EXPECT_EQ(longfile_open((dir + "/missing").c_str(), "rb+"), nullptr);
    EXPECT_FALSE(file_exists(dir + "/missing"));
}

TEST(Longfile, ReadModesDoNotWrite)
{
    std::string dir = scratch_dir(), name = dir + "/f";
    write_file(name, "keep");
    for (const char* mode : {"r+", "rb", "rt"}) {
        longfile_handle f = longfile_open(name.c_str(), mode);
        ASSERT_NE(f, nullptr) << mode;
        EXPECT_EQ(longfile_write("lost", 4, f), 0u) << mode;
        longfile_close(f);
    }
    EXPECT_EQ(read_file(name), "keep");
}

TEST(Longfile, MissingFilesAndUnknownModes)
{
    std::string dir = scratch_dir(), name = dir + "/f";
    EXPECT_EQ(longfile_open((dir + "/missing").c_str(), "rb"), nullptr);
    EXPECT_EQ(longfile_size((dir + "/missing").c_str()), 0u);
    for (const char* mode : {"x", ""}) {
        EXPECT_EQ(longfile_open(name.c_str(), mode), nullptr);
        EXPECT_FALSE(file_exists(name));
    }
    // A folder is not a file.
    EXPECT_EQ(longfile_open(dir.c_str(), "rb"), nullptr);
    EXPECT_EQ(longfile_size(dir.c_str()), 0u);
    EXPECT_EQ(longfile_open((dir + "/no folder/f").c_str(), "wb"), nullptr);
}

TEST(Longfile, SizeOfAFileBeyondFourGibibytes)
{
    // Holes up to a few bytes past 4 GiB, then those bytes.
    std::string dir = scratch_dir(), name = dir + "/sparse", tail = "past four gibibytes";
    const uint64_t size = (4ULL << 30) + 4096;
#ifdef _WIN32
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size - tail.size());
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &done, nullptr));
    CloseHandle(h);
#else
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
              static_cast<ssize_t>(tail.size()));
    close(fd);
#endif
    EXPECT_EQ(longfile_size(name.c_str()), 4294971392ULL);
    longfile_handle f = longfile_open(name.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(longfile_handle_size(f), 4294971392ULL);
    longfile_close(f);

#if defined(_WIN32) && !defined(_WIN64)
    // Both Bzip3 jobs across 4 GiB in a 32-bit process (64-bit offsets, a
    // 32-bit size_t): the restore passes its digest check, has every byte,
    // and ends with the same bytes. It takes 4 GiB of disk for a moment.
    std::string packed = dir + "/sparse.bz3", restored = dir + "/restored";
    ASSERT_EQ(compress_bzip3_file(name.c_str(), packed.c_str(), 1), 0);
    ASSERT_EQ(decompress_bzip3_file(packed.c_str(), restored.c_str()), 0);
    EXPECT_EQ(longfile_size(restored.c_str()), size);
    h = CreateFileA(restored.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string back(tail.size(), '\0');
    EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
                ReadFile(h, &back[0], static_cast<DWORD>(back.size()), &done, nullptr));
    CloseHandle(h);
    DeleteFileA(restored.c_str());
    EXPECT_EQ(back, tail);
#endif
}

TEST(Longfile, TimesOnAnOpenHandle)
{
    std::string dir = scratch_dir(), name = dir + "/f";
    write_file(name, "x");
    const uint64_t creation = bzip3test::filetime_of_unix(978307200, 1234567);    // 2001-01-01
    const uint64_t last_write = bzip3test::filetime_of_unix(1049522828, 7654321);  // 2003-04-05
    longfile_handle f = longfile_open(name.c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(longfile_set_times(f, {creation, last_write}));
    longfile_times seen{};
    EXPECT_TRUE(longfile_get_times(f, &seen));
    longfile_close(f);
    EXPECT_EQ(seen.last_write, last_write);
    EXPECT_EQ(bzip3test::times_of(name).last_write, last_write);
    EXPECT_EQ(seen.creation, bzip3test::times_of(name).creation);
#ifdef _WIN32
    if (!bzip3test::under_wine()) {  // Wine cannot set a creation time
        EXPECT_EQ(seen.creation, creation);
    }
#endif
    uint64_t now = longfile_now();
    EXPECT_GT(now, bzip3test::filetime_of_unix(1577836800, 0));  // after 2020
}

// Every time a file system or a header can hold converts, saturating at the
// ends of the other side's range instead of overflowing.
TEST(Longfile, TimesConvertBothWaysWithoutOverflow)
{
    const uint64_t epoch = bzip3test::filetime_unix_epoch;
    const struct {
        int64_t seconds, nanoseconds;
        uint64_t filetime;
    } to_filetime[] = {
        {0, 0, epoch},
        {1049522828, 765432199, bzip3test::filetime_of_unix(1049522828, 7654321)},
        {-11644473600LL, 0, 0},
        {-11644473601LL, 999999999, 0},
        {-11644473601LL, 0, 0},
        {INT64_MIN, 0, 0},
        {1833029933770LL, 0, UINT64_MAX - 9551615},  // the last second that fits
        {1833029933770LL, 955161500, UINT64_MAX},    // and its last tick
        {1833029933771LL, 0, UINT64_MAX},
        {INT64_MAX, 999999999, UINT64_MAX},
        {INT64_MAX, 2000000000, UINT64_MAX},
        {0, -1, epoch - 1},
    };
    for (const auto& c : to_filetime) {
        SCOPED_TRACE(testing::Message() << c.seconds << " s " << c.nanoseconds << " ns");
        EXPECT_EQ(filetime_from_unix(c.seconds, c.nanoseconds), c.filetime);
    }

    const struct {
        uint64_t filetime;
        int64_t seconds, nanoseconds;
    } to_unix[] = {
        {epoch, 0, 0},
        {epoch - 1, -1, 999999900},
        {0, -11644473600LL, 0},
        {UINT64_MAX, 1833029933770LL, 955161500},
    };
    for (const auto& c : to_unix) {
        SCOPED_TRACE(c.filetime);
        int64_t seconds = 0, nanoseconds = 0;
        unix_from_filetime(c.filetime, &seconds, &nanoseconds);
        EXPECT_EQ(seconds, c.seconds);
        EXPECT_EQ(nanoseconds, c.nanoseconds);
    }
}

// --- a handle that will not close ---------------------------------------------

namespace {
std::string debugger_lines;
}

TEST(Longfile, AFailedCloseIsReportedAndNamedOnTheDebuggerChannel)
{
    static const longfile_ops failing_close = [] {
        longfile_ops ops = real_longfile_platform();
        ops.close = [](longfile_handle) { return false; };
        return ops;
    }();
    static const platform_ops listening = [] {
        platform_ops ops = real_platform();
        ops.debug_output = [](const char* text) { debugger_lines += text; };
        return ops;
    }();
    debugger_lines.clear();
    use_longfile_platform(&failing_close);
    use_platform(&listening);
    bool closed = longfile_close(reinterpret_cast<longfile_handle>(1));
    use_longfile_platform(nullptr);
    use_platform(nullptr);
    EXPECT_FALSE(closed);
    EXPECT_EQ(debugger_lines, "longfile: CloseHandle (hFile)\n");
}

// --- percentages ------------------------------------------------------------------

TEST(PercentOf64, DividesFirstThenMultipliesAndTruncates)
{
    struct row {
        uint64_t total, done;
        int32_t percent;
    } rows[] = {
        {0, 0, 0},
        {0, 12345, 0},
        {12345, 0, 0},
        {3, 1, 33},
        {3, 3, 100},
        {97, 97, 99},
        {100, 100, 100},
        {1ULL << 40, (1ULL << 40) - 1, 99},
        {5368709120ULL, 2684354560ULL, 50},
        {5368709120ULL, 5368709120ULL, 100},
        {200, 1, 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(percent_of_64(r.total, r.done), r.percent) << r.total << ", " << r.done;
}

}  // namespace
