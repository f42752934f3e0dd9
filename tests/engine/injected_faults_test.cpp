// Each of the four jobs meets a full disk, a failed read and a failed close,
// injected under the engine through doubles of its platform tables; each
// must end with its own non-zero code and leave the source as it was. A
// compression cancelled half-way leaves no target; a real device as target
// is refused.
#include "job.h"
#include "kelbzp1.h"
#include "longfile.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace kelbtest;

namespace {

enum class fault { none, disk_full, read_fails, close_fails, cancel_midway };

// Bytes that pass before the fault strikes: well inside every source.
constexpr uint64_t fault_after = 64 * 1024;

std::atomic<fault> injected{fault::none};
std::atomic<bool> fault_struck{false};

// True when the fault hits this transfer: the first one that would carry the
// count past fault_after.
bool strikes(fault kind, uint64_t done, size_t count)
{
    if (injected.load() != kind || done + count <= fault_after)
        return false;
    fault_struck.store(true);
    return true;
}

// A cancel meets the job inside a read: the read waits until the host's
// cancel has arrived, as if the host had clicked it at that very moment.
void wait_for_cancel(uint64_t done)
{
    if (injected.load() != fault::cancel_midway || done < fault_after || fault_struck.exchange(true))
        return;
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!kelb::job_cancel.load() && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// --- the bzip2 jobs: C streams whose file underneath misbehaves --------------

struct stream_cookie {
    FILE* real;
    bool target;
    uint64_t done = 0;
};

ssize_t cookie_read(void* c, char* buffer, size_t count)
{
    auto* s = static_cast<stream_cookie*>(c);
    if (!s->target) {
        if (strikes(fault::read_fails, s->done, count)) {
            errno = EIO;
            return -1;
        }
        wait_for_cancel(s->done);
    }
    size_t n = fread(buffer, 1, count, s->real);
    s->done += n;
    return ferror(s->real) ? -1 : static_cast<ssize_t>(n);
}

ssize_t cookie_write(void* c, const char* buffer, size_t count)
{
    auto* s = static_cast<stream_cookie*>(c);
    if (s->target && strikes(fault::disk_full, s->done, count)) {
        errno = ENOSPC;
        return -1;
    }
    size_t n = fwrite(buffer, 1, count, s->real);
    s->done += n;
    return n == count ? static_cast<ssize_t>(n) : -1;
}

int cookie_seek(void* c, off64_t* offset, int whence)
{
    auto* s = static_cast<stream_cookie*>(c);
    if (fseeko(s->real, *offset, whence) != 0)
        return -1;
    *offset = ftello(s->real);
    return 0;
}

int cookie_close(void* c)
{
    auto* s = static_cast<stream_cookie*>(c);
    bool closed = fclose(s->real) == 0;
    bool target = s->target;
    delete s;
    if (target && injected.load() == fault::close_fails) {
        fault_struck.store(true);
        errno = EIO;
        return -1;
    }
    return closed ? 0 : -1;
}

kelb::platform_ops make_stream_double()
{
    kelb::platform_ops ops = kelb::real_platform();
    ops.stream_open = [](const char* name, const char* mode) -> FILE* {
        FILE* real = kelb::real_platform().stream_open(name, mode);
        if (!real)
            return nullptr;
        auto* cookie = new stream_cookie{real, mode[0] == 'w'};
        FILE* f = fopencookie(cookie, mode, cookie_io_functions_t{cookie_read, cookie_write, cookie_seek, cookie_close});
        if (!f) {
            fclose(real);
            delete cookie;
        }
        return f;
    };
    return ops;
}
const kelb::platform_ops stream_double = make_stream_double();

// --- the Bzip3 jobs: handles whose file underneath misbehaves ----------------

std::mutex handles_lock;
struct handle_state {
    bool target;
    uint64_t done = 0;
};
std::map<kelb::longfile_handle, handle_state> handles;

handle_state& state_of(kelb::longfile_handle h)
{
    std::lock_guard<std::mutex> hold(handles_lock);
    return handles[h];
}

kelb::longfile_ops make_longfile_double()
{
    kelb::longfile_ops ops = kelb::real_longfile_platform();
    ops.create = [](const char* name, uint32_t access, uint32_t share, uint32_t disposition) {
        kelb::longfile_handle h = kelb::real_longfile_platform().create(name, access, share, disposition);
        if (h) {
            std::lock_guard<std::mutex> hold(handles_lock);
            handles[h] = handle_state{(access & kelb::longfile_generic_write) != 0};
        }
        return h;
    };
    ops.read = [](kelb::longfile_handle h, void* buffer, uint32_t count, uint32_t* transferred) {
        handle_state& s = state_of(h);
        if (!s.target) {
            if (strikes(fault::read_fails, s.done, count))
                return false;
            wait_for_cancel(s.done);
        }
        bool ok = kelb::real_longfile_platform().read(h, buffer, count, transferred);
        s.done += ok ? *transferred : 0;
        return ok;
    };
    ops.write = [](kelb::longfile_handle h, const void* buffer, uint32_t count, uint32_t* transferred) {
        handle_state& s = state_of(h);
        if (strikes(fault::disk_full, s.done, count))
            return false;
        bool ok = kelb::real_longfile_platform().write(h, buffer, count, transferred);
        s.done += ok ? *transferred : 0;
        return ok;
    };
    ops.close = [](kelb::longfile_handle h) {
        bool target;
        {
            std::lock_guard<std::mutex> hold(handles_lock);
            target = handles[h].target;
            handles.erase(h);
        }
        bool closed = kelb::real_longfile_platform().close(h);
        if (target && injected.load() == fault::close_fails) {
            fault_struck.store(true);
            return false;
        }
        return closed;
    };
    return ops;
}
const kelb::longfile_ops longfile_double = make_longfile_double();

// --- the jobs, driven through interface1 as a host drives them ---------------

int32_t call(const char* command, uintptr_t a2 = 0, uintptr_t a3 = 0, uintptr_t a4 = 0)
{
    return interface1(reinterpret_cast<uintptr_t>(command), a2, a3, a4);
}

void start(const char* command, const std::string& source, const std::string& target)
{
    call("status", 1);
    ASSERT_EQ(call(command, reinterpret_cast<uintptr_t>(source.c_str()), reinterpret_cast<uintptr_t>(target.c_str()),
                   reinterpret_cast<uintptr_t>("w9")),
              1);
}

int32_t finish()
{
    EXPECT_TRUE(wait_until([] { return call("thestatus") == 0; }));
    return call("intreturn");
}

struct job_kind {
    const char* command;
    bool compresses;
    const char* source;  // which of the prepared sources it reads
};

const job_kind jobs[] = {
    {"compress", true, "plain"},
    {"decompress", false, "plain.bz2"},
    {"compressbzip3", true, "plain"},
    {"decompressbzip3", false, "plain.bz3"},
};

// What each job answers to each fault: the code that names the culprit.
int32_t expected_code(const std::string& command, fault f)
{
    static const std::map<std::string, std::map<fault, int32_t>> table = {
        {"compress", {{fault::disk_full, 10}, {fault::read_fails, 8}, {fault::close_fails, 10}}},
        {"decompress", {{fault::disk_full, 114}, {fault::read_fails, 8}, {fault::close_fails, 114}}},
        {"compressbzip3", {{fault::disk_full, 114}, {fault::read_fails, 116}, {fault::close_fails, 114}}},
        {"decompressbzip3", {{fault::disk_full, 114}, {fault::read_fails, 123}, {fault::close_fails, 114}}},
    };
    return table.at(command).at(f);
}

// Sources large enough that every fault strikes half-way, made once with the
// real platform: half noise so the compressed files stay large too.
class InjectedFaults : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sources = new std::string(testing::TempDir() + "/kelb-injected-" + std::to_string(getpid()));
        mkdir(sources->c_str(), 0755);
        std::mt19937 random(7);
        std::string bytes;
        for (int i = 0; i < 6000; ++i) {
            bytes += "line " + std::to_string(i) + " of the source that the jobs must never change\n";
            for (int j = 0; j < 64; ++j)
                bytes += static_cast<char>(random());
        }
        write_file(*sources + "/plain", bytes);
        start("compress", *sources + "/plain", *sources + "/plain.bz2");
        ASSERT_EQ(finish(), 0);
        start("compressbzip3", *sources + "/plain", *sources + "/plain.bz3");
        ASSERT_EQ(finish(), 0);
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        std::filesystem::remove_all(*sources, ignored);
        delete sources;
    }
    void SetUp() override
    {
        injected = fault::none;
        fault_struck = false;
        dir = scratch_dir();
    }
    void TearDown() override
    {
        injected = fault::none;
        kelb::use_platform(nullptr);
        kelb::use_longfile_platform(nullptr);
    }
    void use_doubles()
    {
        kelb::use_platform(&stream_double);
        kelb::use_longfile_platform(&longfile_double);
    }
    static std::string source_of(const job_kind& job) { return *sources + "/" + job.source; }

    static std::string* sources;
    std::string dir;
};
std::string* InjectedFaults::sources = nullptr;

struct file_state {
    std::string bytes;
    mode_t mode;
    struct timespec modified;
};

file_state state_of_file(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return file_state{read_file(path), st.st_mode, st.st_mtim};
}

void expect_unchanged(const file_state& before, const std::string& path)
{
    file_state after = state_of_file(path);
    EXPECT_TRUE(after.bytes == before.bytes) << path << " changed";
    EXPECT_EQ(after.mode, before.mode) << path;
    EXPECT_EQ(after.modified.tv_sec, before.modified.tv_sec) << path;
    EXPECT_EQ(after.modified.tv_nsec, before.modified.tv_nsec) << path;
}

}  // namespace

TEST_F(InjectedFaults, EveryJobReportsEveryFaultAndLeavesItsSourceAlone)
{
    use_doubles();
    for (const job_kind& job : jobs)
        for (fault f : {fault::disk_full, fault::read_fails, fault::close_fails}) {
            SCOPED_TRACE(std::string(job.command) + ", fault " + std::to_string(static_cast<int>(f)));
            file_state before = state_of_file(source_of(job));
            injected = f;
            fault_struck = false;
            start(job.command, source_of(job), dir + "/target");
            EXPECT_EQ(finish(), expected_code(job.command, f));
            EXPECT_TRUE(fault_struck.load()) << "the job never met the fault";
            injected = fault::none;
            expect_unchanged(before, source_of(job));
        }
}

TEST_F(InjectedFaults, TheDoublesAloneChangeNothing)
{
    // Without a fault the same jobs succeed, so the codes above come from the faults.
    use_doubles();
    for (const job_kind& job : jobs) {
        SCOPED_TRACE(job.command);
        start(job.command, source_of(job), dir + "/target");
        EXPECT_EQ(finish(), 0);
        if (!job.compresses) {
            EXPECT_TRUE(read_file(dir + "/target") == read_file(*sources + "/plain"));
        }
    }
}

TEST_F(InjectedFaults, ACompressionCancelledHalfWayLeavesNoTarget)
{
    use_doubles();
    for (const job_kind& job : jobs) {
        if (!job.compresses)
            continue;
        SCOPED_TRACE(job.command);
        file_state before = state_of_file(source_of(job));
        injected = fault::cancel_midway;
        fault_struck = false;
        start(job.command, source_of(job), dir + "/target");
        ASSERT_TRUE(wait_until([] { return fault_struck.load(); })) << "the job never reached the middle";
        EXPECT_EQ(call("cancel"), 0);
        EXPECT_EQ(finish(), 119);
        EXPECT_FALSE(file_exists(dir + "/target"));
        expect_unchanged(before, source_of(job));
    }
}

// A device is no file to write into: the kernel's full device, made in our
// own folder without write permission, is refused and keeps its mode, so
// nothing the jobs do to their target can touch the system's /dev/full.
TEST_F(InjectedFaults, ADeviceAsTargetIsRefusedAndLeftAsItWas)
{
    std::string full = dir + "/full";
    if (mknod(full.c_str(), S_IFCHR | 0444, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make a device node here: " << strerror(errno);
    FILE* probe = fopen(full.c_str(), "r");
    if (!probe)
        GTEST_SKIP() << "device nodes do not open here: " << strerror(errno);
    fclose(probe);

    for (const job_kind& job : jobs) {
        SCOPED_TRACE(job.command);
        file_state before = state_of_file(source_of(job));
        start(job.command, source_of(job), full);
        EXPECT_EQ(finish(), std::string(job.command).find("bzip3") == std::string::npos ? 9 : 108);
        expect_unchanged(before, source_of(job));
        struct stat device {};
        EXPECT_EQ(stat(full.c_str(), &device), 0);
        EXPECT_EQ(device.st_mode, S_IFCHR | 0444);
    }
}
