// Each of the four jobs meets a full disk, a failed read, a failed close and
// a cancel half-way, injected under the engine through doubles of its
// platform tables (C streams for the bzip2 jobs, handles for the Bzip3 ones),
// and a real device as target. Each must end with its own code and leave the
// source as it was.
#include "job.h"
#include "kelbzp1.h"
#include "longfile.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace kelbtest;

namespace {

enum fault { none, disk_full, read_fails, close_fails, cancel_midway };
std::atomic<fault> injected{none};
std::atomic<bool> struck{false};

// The fault hits every transfer that carries the count past 64 KiB, well
// inside every source. A cancel meets the job inside the first such read: the
// read waits until the host's cancel has arrived.
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

struct stream_cookie {
    FILE* real;
    bool target;
    uint64_t done = 0;
};

const kelb::platform_ops stream_double = [] {
    kelb::platform_ops ops = kelb::real_platform();
    ops.stream_open = [](const char* name, const char* mode) -> FILE* {
        FILE* real = kelb::real_platform().stream_open(name, mode);
        cookie_io_functions_t io{};
        io.read = [](void* c, char* buffer, size_t count) -> ssize_t {
            auto* s = static_cast<stream_cookie*>(c);
            if (!s->target && strikes(read_fails, s->done, count)) {
                errno = EIO;
                return -1;
            }
            size_t n = fread(buffer, 1, count, s->real);
            s->done += n;
            return ferror(s->real) ? -1 : static_cast<ssize_t>(n);
        };
        io.write = [](void* c, const char* buffer, size_t count) -> ssize_t {
            auto* s = static_cast<stream_cookie*>(c);
            // 0, never -1, for a failed write: glibc takes -1 for a count and reads past the caller's data.
            if (s->target && strikes(disk_full, s->done, count)) {
                errno = ENOSPC;
                return 0;
            }
            s->done += count;
            return fwrite(buffer, 1, count, s->real) == count ? static_cast<ssize_t>(count) : 0;
        };
        io.seek = [](void* c, off64_t* offset, int whence) {
            FILE* real = static_cast<stream_cookie*>(c)->real;
            if (fseeko(real, *offset, whence) != 0)
                return -1;
            *offset = ftello(real);
            return 0;
        };
        io.close = [](void* c) {
            auto* s = static_cast<stream_cookie*>(c);
            // A target's close counts as past the mark: it fails whenever closes do.
            bool failed = fclose(s->real) != 0 || strikes(close_fails, s->target ? ~0ull : 0, 0);
            delete s;
            return failed ? -1 : 0;
        };
        return real ? fopencookie(new stream_cookie{real, mode[0] == 'w'}, mode, io) : nullptr;
    };
    return ops;
}();

std::mutex handles_lock;
std::map<kelb::longfile_handle, stream_cookie> handles;  // no FILE: the handle is the file

stream_cookie& handle(kelb::longfile_handle h)
{
    std::lock_guard<std::mutex> hold(handles_lock);
    return handles[h];
}

const kelb::longfile_ops handle_double = [] {
    kelb::longfile_ops ops = kelb::real_longfile_platform();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) {
        kelb::longfile_handle h = kelb::real_longfile_platform().create(name, access, share, disposition);
        handle(h) = {nullptr, (access & kelb::longfile_generic_write) != 0};
        return h;
    };
    ops.read = [](kelb::longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        stream_cookie& s = handle(h);
        if (!s.target && strikes(read_fails, s.done, count))
            return false;
        bool ok = kelb::real_longfile_platform().read(h, buffer, count, transferred);
        s.done += ok ? *transferred : 0;
        return ok;
    };
    ops.write = [](kelb::longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        stream_cookie& s = handle(h);
        if (strikes(disk_full, s.done, count))
            return false;
        bool ok = kelb::real_longfile_platform().write(h, buffer, count, transferred);
        s.done += ok ? *transferred : 0;
        return ok;
    };
    ops.close = [](kelb::longfile_handle h) {
        bool target = handle(h).target;
        {
            std::lock_guard<std::mutex> hold(handles_lock);
            handles.erase(h);
        }
        return kelb::real_longfile_platform().close(h) && !strikes(close_fails, target ? ~0ull : 0, 0);
    };
    return ops;
}();

int32_t call(const char* command, uintptr_t a2 = 0, const std::string& target = "")
{
    return interface1(reinterpret_cast<uintptr_t>(command), a2, reinterpret_cast<uintptr_t>(target.c_str()),
                      reinterpret_cast<uintptr_t>("w9"));
}

int32_t run(const char* command, const std::string& source, const std::string& target, bool cancel = false)
{
    call("status", 1);
    EXPECT_EQ(call(command, reinterpret_cast<uintptr_t>(source.c_str()), target), 1);
    if (cancel) {
        EXPECT_TRUE(wait_until([] { return struck.load(); })) << "the job never reached the middle";
        EXPECT_EQ(call("cancel"), 0);
    }
    EXPECT_TRUE(wait_until([] { return call("thestatus") == 0; }));
    return call("intreturn");
}

// Bytes, mode and modification time.
std::string state_of(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return read_file(path) + std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

class InjectedFaults : public testing::Test {
protected:
    // A source of about 700 KiB, half noise so that the compressed files stay large too.
    void SetUp() override
    {
        std::mt19937 random(7);
        std::string bytes;
        for (int i = 0; i < 6000; ++i) {
            bytes += "line " + std::to_string(i) + " of the source that the jobs must never change\n";
            for (int j = 0; j < 64; ++j)
                bytes += static_cast<char>(random());
        }
        write_file(dir + "/plain", bytes);
        ASSERT_EQ(run("compress", dir + "/plain", dir + "/plain.bz2"), 0);
        ASSERT_EQ(run("compressbzip3", dir + "/plain", dir + "/plain.bz3"), 0);
    }
    void TearDown() override
    {
        kelb::use_platform(nullptr);
        kelb::use_longfile_platform(nullptr);
    }
    std::string dir = scratch_dir();
};

// Each job with its source and the codes for a full disk, a failed read and a failed close.
const struct {
    const char *command, *source;
    std::map<fault, int32_t> codes;
} jobs[] = {{"compress", "plain", {{disk_full, 10}, {read_fails, 8}, {close_fails, 10}, {cancel_midway, 119}}},
            {"decompress", "plain.bz2", {{disk_full, 114}, {read_fails, 8}, {close_fails, 114}}},
            {"compressbzip3", "plain", {{disk_full, 114}, {read_fails, 116}, {close_fails, 114}, {cancel_midway, 119}}},
            {"decompressbzip3", "plain.bz3", {{disk_full, 114}, {read_fails, 123}, {close_fails, 114}}}};

}  // namespace

TEST_F(InjectedFaults, EveryJobReportsEveryFaultAndLeavesItsSourceAlone)
{
    kelb::use_platform(&stream_double);
    kelb::use_longfile_platform(&handle_double);
    for (const auto& job : jobs) {
        std::string source = dir + "/" + job.source, before = state_of(source);
        // Without a fault the doubles change nothing, so the codes come from the faults.
        injected = none;
        EXPECT_EQ(run(job.command, source, dir + "/target"), 0) << job.command;
        EXPECT_TRUE(job.command[0] == 'c' || read_file(dir + "/target") == read_file(dir + "/plain")) << job.command;
        for (auto [f, code] : job.codes) {
            SCOPED_TRACE(std::string(job.command) + ", fault " + std::to_string(f));
            injected = f;
            struck = false;
            EXPECT_EQ(run(job.command, source, dir + "/target", f == cancel_midway), code);
            EXPECT_TRUE(struck.load()) << "the job never met the fault";
            EXPECT_TRUE(f != cancel_midway || !file_exists(dir + "/target")) << "a cancelled compression leaves no target";
            EXPECT_TRUE(state_of(source) == before);
        }
    }
    injected = none;
}

// A device is no file to write into: the kernel's full device, made in our
// own folder without write permission, is refused and keeps its mode, so
// nothing the jobs do to their target can touch the system's /dev/full.
TEST_F(InjectedFaults, ADeviceAsTargetIsRefusedAndLeftAsItWas)
{
    std::string full = dir + "/full";
    FILE* probe = mknod(full.c_str(), S_IFCHR | 0444, makedev(1, 7)) == 0 ? fopen(full.c_str(), "r") : nullptr;
    if (!probe)
        GTEST_SKIP() << "cannot make or open a device node here: " << strerror(errno);
    fclose(probe);
    for (const auto& job : jobs) {
        std::string source = dir + "/" + job.source, before = state_of(source);
        EXPECT_EQ(run(job.command, source, full), strstr(job.command, "bzip3") ? 108 : 9) << job.command;
        EXPECT_TRUE(state_of(source) == before);
        struct stat device {};
        EXPECT_EQ(stat(full.c_str(), &device), 0);
        EXPECT_EQ(device.st_mode, S_IFCHR | 0444);
    }
}
