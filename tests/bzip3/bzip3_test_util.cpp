#include "bzip3_test_util.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace bzip3test {

#ifdef _WIN32
#define dup _dup
#define dup2 _dup2
#define close _close
#define open_sink(file) _open(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE)
#else
#define open_sink(file) open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
#endif

stderr_captured::stderr_captured(const std::string& file) : file_(file)
{
    fflush(stderr);
    saved_ = dup(2);
    int sink = open_sink(file.c_str());
    if (sink >= 0) {
        dup2(sink, 2);
        close(sink);
    }
}

stderr_captured::~stderr_captured()
{
    fflush(stderr);
    if (saved_ >= 0) {
        dup2(saved_, 2);
        close(saved_);
    }
}

std::string stderr_captured::text()
{
    fflush(stderr);
    return kelbtest::read_file(file_);
}

#undef open_sink
#ifdef _WIN32
#undef dup
#undef dup2
#undef close
#endif

#ifdef _WIN32

namespace {
uint64_t join(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }
FILETIME split(uint64_t v)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(v);
    t.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return t;
}
HANDLE open_for_times(const std::string& path, DWORD access)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}
}  // namespace

disk_times times_of(const std::string& path)
{
    HANDLE h = open_for_times(path, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    FILETIME c, w;
    BOOL ok = GetFileTime(h, &c, nullptr, &w);
    CloseHandle(h);
    if (!ok)
        throw std::runtime_error("GetFileTime failed on " + path);
    return {join(c), join(w)};
}

void set_times(const std::string& path, uint64_t creation, uint64_t last_write)
{
    HANDLE h = open_for_times(path, FILE_WRITE_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    FILETIME c = split(creation), w = split(last_write);
    BOOL ok = SetFileTime(h, &c, nullptr, &w);
    CloseHandle(h);
    if (!ok)
        throw std::runtime_error("SetFileTime failed on " + path);
}

uint32_t attributes_of(const std::string& path) { return GetFileAttributesA(path.c_str()); }

void set_attributes(const std::string& path, uint32_t attributes)
{
    if (!SetFileAttributesA(path.c_str(), attributes))
        throw std::runtime_error("SetFileAttributesA failed on " + path);
}

bool is_read_only(const std::string& path)
{
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

void make_read_only(const std::string& path)
{
    set_attributes(path, GetFileAttributesA(path.c_str()) | FILE_ATTRIBUTE_READONLY);
}

bool under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string md5sum_of_fixture(const std::string& name)
{
    std::string line = kelbtest::read_file(kelbtest::fixture(name + ".md5"));
    if (line.size() < 32)
        throw std::runtime_error("no digest for fixture " + name);
    return line.substr(0, 32);
}

#else

namespace {
uint64_t filetime_of(const struct statx_timestamp& t)
{
    return filetime_of_unix(t.tv_sec, t.tv_nsec / 100);
}
}  // namespace

disk_times times_of(const std::string& path)
{
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx) != 0)
        throw std::runtime_error("cannot stat " + path);
    uint64_t last_write = filetime_of(sx.stx_mtime);
    return {(sx.stx_mask & STATX_BTIME) ? filetime_of(sx.stx_btime) : last_write, last_write};
}

void set_times(const std::string& path, uint64_t, uint64_t last_write)
{
    int64_t since = static_cast<int64_t>(last_write - filetime_unix_epoch);
    timespec both[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(since / 10000000), static_cast<long>(since % 10000000) * 100}};
    if (utimensat(AT_FDCWD, path.c_str(), both, 0) != 0)
        throw std::runtime_error("cannot set the times of " + path);
}

bool is_read_only(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}

void make_read_only(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || chmod(path.c_str(), st.st_mode & 07555) != 0)
        throw std::runtime_error("cannot make " + path + " read-only");
}

std::string md5sum_of_fixture(const std::string& name)
{
    std::string command = "md5sum '" + kelbtest::fixture(name) + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run md5sum");
    char line[64] = {};
    size_t n = fread(line, 1, 32, pipe);
    pclose(pipe);
    if (n != 32)
        throw std::runtime_error("md5sum gave no digest for " + name);
    return std::string(line, 32);
}

#endif

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

uint64_t le64(const std::string& bytes, size_t offset)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return v;
}

header_view header_of(const std::string& file_bytes)
{
    if (file_bytes.size() < 40)
        throw std::runtime_error("shorter than a Bzip3 header");
    header_view h;
    h.magic = file_bytes.substr(0, 4);
    h.digest = file_bytes.substr(4, 16);
    h.attributes = static_cast<uint32_t>(le64(file_bytes, 20));  // the low half of bytes 20 to 27
    h.creation = le64(file_bytes, 24);
    h.last_write = le64(file_bytes, 32);
    return h;
}

}  // namespace bzip3test
