// The jobs through interface1 on a platform that fails under them on purpose, through doubles of its two
// tables: C streams for the bzip2 jobs (Linux: fopencookie), handles for the Bzip3 ones, and no thread.
#include "job.h"
#include "kelbzp1.h"
#include "longfile.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

enum fault { none, no_thread, disk_full, read_fails, close_fails, cancel_midway };
std::atomic<fault> injected{none};
std::atomic<bool> struck{false};
std::atomic<uint64_t> read_done{0}, written{0};  // through handles, by the job under way
std::atomic<kelb::longfile_handle> target_handle{nullptr};
std::atomic<int> open_streams{0};
std::vector<int32_t> progress_at_write;  // the percentage as each 4096 bytes written begin

// A fault hits the transfer that carries a file past 64 KiB; a cancel meets
// the job inside the first such read, which waits until it arrives.
bool strikes(fault kind, uint64_t done, size_t count)
{
    if (done + count <= 64 * 1024)
        return false;
    if (kind == read_fails && injected == cancel_midway && !struck.exchange(true))
        wait_until([] { return kelb::job_cancel.load(); });
    if (injected != kind)
        return false;
    struck = true;
    return true;
}

struct stream_state {
    FILE* real;
    bool target;
    uint64_t done = 0;
};

#ifndef _WIN32
// A stream that fails where strikes() says; libbzip2 reads it directly too.
FILE* faulty_stream(FILE* real, const char* mode)
{
    cookie_io_functions_t io{};
    io.read = [](void* c, char* buffer, size_t count) -> ssize_t {
        auto* s = static_cast<stream_state*>(c);
        if (strikes(read_fails, s->done, count))
            return -1;
        size_t n = fread(buffer, 1, count, s->real);
        s->done += n;
        return ferror(s->real) ? -1 : static_cast<ssize_t>(n);
    };
    io.write = [](void* c, const char* buffer, size_t count) -> ssize_t {
        auto* s = static_cast<stream_state*>(c);
        // 0, never -1, for a failed write: glibc takes -1 for a count and reads past the caller's data.
        if (strikes(disk_full, s->done, count))
            return 0;
        s->done += count;
        return fwrite(buffer, 1, count, s->real) == count ? static_cast<ssize_t>(count) : 0;
    };
    io.seek = [](void* c, off64_t* offset, int whence) {
        FILE* real = static_cast<stream_state*>(c)->real;
        return fseeko(real, *offset, whence) != 0 || (*offset = ftello(real)) < 0 ? -1 : 0;
    };
    io.close = [](void* c) {
        auto* s = static_cast<stream_state*>(c);
        bool failed = fclose(s->real) != 0 || (s->target && strikes(close_fails, UINT32_MAX, 0));
        delete s;
        return failed ? -1 : 0;
    };
    return fopencookie(new stream_state{real, mode[0] == 'w'}, mode, io);
}
#endif

const kelb::platform_ops stream_double = [] {
    kelb::platform_ops ops = kelb::real_platform();
    ops.start_thread = [](void (*entry)()) { return !strikes(no_thread, UINT32_MAX, 0) && kelb::real_platform().start_thread(entry); };
    ops.stream_open = [](const char* name, const char* mode) {
        FILE* f = kelb::real_platform().stream_open(name, mode);
        open_streams += f != nullptr;
#ifndef _WIN32
        return f ? faulty_stream(f, mode) : nullptr;
#else
        return f;
#endif
    };
    ops.stream_close = [](FILE* stream) {
        --open_streams;
        return kelb::real_platform().stream_close(stream);
    };
    ops.stream_write = [](const void* buffer, size_t count, FILE* stream) -> size_t {
        progress_at_write.insert(progress_at_write.end(), (count + 4095) / 4096, kelb::get_progress());
        return kelb::real_platform().stream_write(buffer, count, stream);
    };
    return ops;
}();

const kelb::longfile_ops handle_double = [] {
    kelb::longfile_ops ops = kelb::real_longfile_platform();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) {
        kelb::longfile_handle h = kelb::real_longfile_platform().create(name, access, share, disposition);
        if (access & kelb::longfile_generic_write)
            target_handle = h;
        return h;
    };
    ops.read = [](kelb::longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        bool ok = !strikes(read_fails, read_done, count) && kelb::real_longfile_platform().read(h, buffer, count, transferred);
        read_done += ok ? *transferred : 0;
        return ok;
    };
    ops.write = [](kelb::longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        bool ok = !strikes(disk_full, written, count) && kelb::real_longfile_platform().write(h, buffer, count, transferred);
        written += ok ? *transferred : 0;
        return ok;
    };
    ops.close = [](kelb::longfile_handle h) {
        return kelb::real_longfile_platform().close(h) && !(h == target_handle && strikes(close_fails, UINT32_MAX, 0));
    };
    return ops;
}();

int32_t call(const char* command, const std::string& source = "", const std::string& target = "")
{
    return interface1(reinterpret_cast<uintptr_t>(command), reinterpret_cast<uintptr_t>(source.c_str()),
                      reinterpret_cast<uintptr_t>(target.c_str()), reinterpret_cast<uintptr_t>("w9"));
}

// Every job here runs on the doubles; the real tables are never needed again.
int32_t run(const char* command, const std::string& source, const std::string& target, bool cancel = false)
{
    kelb::use_platform(&stream_double);
    kelb::use_longfile_platform(&handle_double);
    progress_at_write.clear();
    read_done = written = 0;
    interface1(reinterpret_cast<uintptr_t>("status"), 1, 0, 0);
    EXPECT_EQ(call(command, source, target), 1);
    if (cancel) {
        EXPECT_TRUE(wait_until([] { return struck.load(); })) << "the job never reached the middle";
        EXPECT_EQ(call("cancel"), 0);
    }
    EXPECT_TRUE(wait_until([] { return call("thestatus") == 0; }));
    EXPECT_EQ(open_streams.load(), 0) << command << " left a stream open";
    return call("intreturn");
}

}  // namespace

// This file restores to 30 times its size: progress counted by output would reach 99 too soon.
TEST(InjectedFaults, DecompressionProgressFollowsTheSourceConsumed)
{
    std::string source = fixture("repeat.txt.bz2");
    ASSERT_EQ(run("decompress", source, scratch_dir() + "/r"), 0);
    size_t as_many_as_read = static_cast<size_t>(file_size(source)) / 4096 + 1;
    ASSERT_GT(progress_at_write.size(), as_many_as_read);
    EXPECT_LT(progress_at_write[as_many_as_read - 1], 20);
    EXPECT_TRUE(std::is_sorted(progress_at_write.begin(), progress_at_write.end()));
    EXPECT_GE(progress_at_write.back(), 90);
}

// Each job with its code for each fault, and for a device as target: a read-only node of the kernel's
// full device in our own folder, so that no job can write /dev/full. Without fopencookie only the thread fails.
TEST(InjectedFaults, EveryJobReportsEveryFaultAndLeavesItsSourceAlone)
{
    std::string dir = scratch_dir();
    std::mt19937 random(7);
    std::string bytes;  // about 700 KiB, half noise, so that the compressed files stay large
    for (int i = 0; i < 6000; ++i) {
        bytes += "line " + std::to_string(i) + " of the source that the jobs must never change\n";
        for (int j = 0; j < 64; ++j)
            bytes += static_cast<char>(random());
    }
    write_file(dir + "/plain", bytes);
    ASSERT_EQ(run("compress", dir + "/plain", dir + "/plain.bz2"), 0);
    ASSERT_EQ(run("compressbzip3", dir + "/plain", dir + "/plain.bz3"), 0);
    std::string target = dir + "/target";
#ifndef _WIN32
    std::string device = dir + "/full";
    bool have_device = mknod(device.c_str(), S_IFCHR | 0444, makedev(1, 7)) == 0;
#endif
    const struct {
        const char *command, *source;
        std::map<fault, int32_t> codes;
        int32_t device_code;
    } jobs[] = {{"compress", "plain", {{no_thread, 11}, {disk_full, 10}, {read_fails, 8}, {close_fails, 10}, {cancel_midway, 119}}, 9},
                {"decompress", "plain.bz2", {{no_thread, 12}, {disk_full, 114}, {read_fails, 8}, {close_fails, 114}}, 9},
                {"compressbzip3", "plain", {{no_thread, 120}, {disk_full, 114}, {read_fails, 116}, {close_fails, 114}, {cancel_midway, 119}}, 108},
                {"decompressbzip3", "plain.bz3", {{no_thread, 121}, {disk_full, 114}, {read_fails, 123}, {close_fails, 114}}, 108}};
    for (const auto& job : jobs) {
        std::string source = dir + "/" + job.source;
        auto state = [&] { return std::tuple{read_file(source), fs::status(source).permissions(), fs::last_write_time(source)}; };
        auto before = state();
        // Without a fault the doubles change nothing, so the codes come from the faults.
        injected = none;
        EXPECT_EQ(run(job.command, source, target), 0) << job.command;
        EXPECT_TRUE(job.command[0] == 'c' || read_file(target) == bytes) << job.command;
        for (auto [f, code] : job.codes) {
#ifdef _WIN32
            if (f != no_thread)
                continue;
#endif
            SCOPED_TRACE(std::string(job.command) + ", fault " + std::to_string(f));
            fs::remove(target);
            injected = f;
            struck = false;
            EXPECT_EQ(run(job.command, source, target, f == cancel_midway), code);
            EXPECT_TRUE(struck.load()) << "the job never met the fault";
            EXPECT_TRUE((f != cancel_midway && f != no_thread) || !file_exists(target)) << "a target left behind";
        }
        injected = none;
#ifndef _WIN32
        if (have_device) {
            EXPECT_EQ(run(job.command, source, device), job.device_code) << job.command;
            struct stat st {};
            EXPECT_EQ(stat(device.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode, S_IFCHR | 0444);
        }
#endif
        EXPECT_TRUE(state() == before) << job.command;
    }
}

#ifdef _WIN32
#include "wide_names_win32.h"

// Wine takes long paths without the "\\?\" form, so the form itself is checked here.
TEST(LongPathForm, OnlyAbsolutePathsBeyond259CharactersTakeIt)
{
    const std::wstring x(290, L'x');
    for (const auto& [name, form] : {std::pair<std::wstring, std::wstring>{L"C:\\data\\a.txt", L"C:\\data\\a.txt"},
                                     {L"data\\" + x, L"data\\" + x}, {L"C:/data/" + x, L"\\\\?\\C:\\data\\" + x},
                                     {L"C:\\data\\..\\data\\.\\" + x, L"\\\\?\\C:\\data\\" + x},
                                     {L"\\\\server\\share\\" + x, L"\\\\?\\UNC\\server\\share\\" + x},
                                     {L"\\\\?\\C:\\" + x, L"\\\\?\\C:\\" + x}})
        EXPECT_TRUE(kelb::long_path_form(name) == form) << name.size();
    EXPECT_EQ(kelb::wide_from_utf8("\xCE\xB1\xF0\x9F\x93\xA6"), L"\u03B1\U0001F4E6");
    EXPECT_EQ(kelb::wide_from_utf8("\xC0\xAF"), L"") << "no UTF-8";
}
#endif
