// What the Bzip3 jobs stand on: the long-file layer on real files, the
// 64-bit percentage and MD5.
#include "bzip3.h"
#include "test_support.h"
#include "longfile.h"
#include "md5.h"

#include <gtest/gtest.h>

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kelb;
using namespace kelbtest;

namespace {

// Only "rb+" reads and writes; the other read modes do not write, "w" modes
// create or empty, anything else opens nothing, nor does a folder. A read
// that fails reports nothing read.
TEST(Longfile, ModesOpenAsTheTableSays)
{
    std::string dir = scratch_dir(), name = dir + "/f", missing = dir + "/missing";
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
    EXPECT_EQ(longfile_open(dir.c_str(), "rb"), nullptr);
    EXPECT_EQ(longfile_size(dir.c_str()), 0u);
    EXPECT_EQ(longfile_open((dir + "/no folder/f").c_str(), "wb"), nullptr);
}

// Holes up to a few bytes past 4 GiB, then those bytes.
TEST(Longfile, AFileBeyondFourGibibytes)
{
    std::string dir = scratch_dir(), name = dir + "/sparse", tail = "past four gibibytes";
    const uint64_t size = (4ULL << 30) + 4096;
#ifdef _WIN32
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size - tail.size());
    SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &done, nullptr);
    CloseHandle(h);
#else
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())), ssize_t(tail.size()));
    close(fd);
#endif
    EXPECT_EQ(longfile_size(name.c_str()), 4294971392ULL);
#if defined(_WIN32) && !defined(_WIN64)
    // Both jobs across 4 GiB in a 32-bit process (64-bit offsets, a 32-bit
    // size_t): every byte comes back and the digest agrees. It takes 4 GiB
    // of disk for a moment.
    std::string packed = dir + "/sparse.bz3", restored = dir + "/restored";
    ASSERT_EQ(compress_bzip3_file(name.c_str(), packed.c_str(), 1), 0);
    ASSERT_EQ(decompress_bzip3_file(packed.c_str(), restored.c_str()), 0);
    EXPECT_EQ(longfile_size(restored.c_str()), size);
    h = CreateFileA(restored.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string end(tail.size(), '\0');
    EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
                ReadFile(h, &end[0], static_cast<DWORD>(end.size()), &done, nullptr));
    CloseHandle(h);
    DeleteFileA(restored.c_str());
    EXPECT_EQ(end, tail);
#endif
}

// Every time a file system or a header can hold converts, saturating at
// the ends of the other side's range instead of overflowing.
TEST(Longfile, TimesConvertBothWaysWithoutOverflow)
{
    const uint64_t epoch = 116444736000000000ULL, april_2003 = 126939964287654321ULL;
    const struct {
        int64_t seconds, nanoseconds;
        uint64_t filetime;
        bool back;  // and the way back gives the same
    } rows[] = {
        {0, 0, epoch, true},
        {1049522828, 765432199, april_2003, false},  // truncated to 100 ns
        {-1, 999999900, epoch - 1, true},
        {0, -1, epoch - 1, false},
        {-11644473600LL, 0, 0, true},  // 1601
        {-11644473601LL, 999999999, 0, false},
        {1833029933770LL, 955161500, UINT64_MAX, true},  // the last tick that fits
        {1833029933771LL, 0, UINT64_MAX, false},
        {INT64_MAX, 2000000000, UINT64_MAX, false},
    };
    for (const auto& r : rows) {
        int64_t seconds = 0, nanoseconds = 0;
        unix_from_filetime(r.filetime, &seconds, &nanoseconds);
        EXPECT_EQ(filetime_from_unix(r.seconds, r.nanoseconds), r.filetime) << r.seconds << " s " << r.nanoseconds;
        EXPECT_TRUE(!r.back || (seconds == r.seconds && nanoseconds == r.nanoseconds)) << r.seconds << " s";
    }
}

// 100 / total first, then times done, truncated.
TEST(Longfile, PercentOf64)
{
    const uint64_t rows[][3] = {{0, 5, 0},  {5, 0, 0},   {3, 1, 33},  {3, 3, 100},
                                {97, 97, 99}, {200, 1, 0}, {1ULL << 40, (1ULL << 40) - 1, 99}, {5368709120ULL, 2684354560ULL, 50}};
    for (const auto& r : rows)
        EXPECT_EQ(percent_of_64(r[0], r[1]), int32_t(r[2])) << r[0] << ", " << r[1];
}

// RFC 1321's own suite, fed in pieces that split its blocks every way.
TEST(Md5, Rfc1321TestSuite)
{
    const char* rows[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& r : rows) {
        for (size_t piece : {1, 7, 63, 64, 100}) {
            md5_context context;
            memset(&context, 0xa5, sizeof context);  // nothing is left to chance
            md5_init(&context);
            for (size_t at = 0, length = strlen(r[0]); at < length; at += piece)
                md5_update(&context, r[0] + at, std::min(piece, length - at));
            unsigned char digest[16];
            char hex[33];
            md5_final(&context, digest);
            for (int i = 0; i < 16; ++i)
                snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_STREQ(hex, r[1]) << r[0] << " in pieces of " << piece;
        }
    }
}

}  // namespace
