// What the Bzip3 tests need beyond the shared support: the 40-byte header
// laid out by hand, md5sum's digests, and the system's own view of a file's
// times and read-only flag.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace bzip3test {

// FILETIME units: 100 ns since 1601-01-01 UTC.
inline uint64_t filetime_of_unix(int64_t seconds, uint32_t hundred_ns)
{
    return 116444736000000000ULL + static_cast<uint64_t>(seconds) * 10000000ULL + hundred_ns;
}
const uint64_t some_creation = filetime_of_unix(978307200, 1234567);    // 2001-01-01, odd fraction
const uint64_t some_last_write = filetime_of_unix(1049522828, 7654321);  // 2003-04-05

inline std::string le_bytes(uint64_t value, int size)
{
    std::string out;
    for (int i = 0; i < size; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

inline std::string hex(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    return out;
}

// The raw digest md5sum printed for a fixture when the fixtures were made.
inline std::string md5sum_of_fixture(const std::string& name)
{
    std::string line = kelbtest::read_file(kelbtest::fixture(name + ".md5")), out;
    for (size_t i = 0; i + 1 < 32 && line.size() >= 32; i += 2)
        out += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    return out;
}

// The header as the format lays it out: magic, digest, attributes, creation, last write.
inline std::string header(const std::string& digest, uint32_t attributes = 0x20, uint64_t creation = some_creation,
                          uint64_t last_write = some_last_write)
{
    return "KELB" + digest + le_bytes(attributes, 4) + le_bytes(creation, 8) + le_bytes(last_write, 8);
}

struct disk_times {
    uint64_t creation, last_write;
};

#ifdef _WIN32
inline HANDLE open_for_times(const std::string& path, DWORD access)
{
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    return h;
}
inline uint64_t join(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }
inline disk_times times_of(const std::string& path)
{
    HANDLE h = open_for_times(path, GENERIC_READ);
    FILETIME c{}, w{};
    GetFileTime(h, &c, nullptr, &w);
    CloseHandle(h);
    return {join(c), join(w)};
}
inline void set_times(const std::string& path, uint64_t creation, uint64_t last_write)
{
    HANDLE h = open_for_times(path, FILE_WRITE_ATTRIBUTES);
    FILETIME c{DWORD(creation), DWORD(creation >> 32)}, w{DWORD(last_write), DWORD(last_write >> 32)};
    SetFileTime(h, &c, nullptr, &w);
    CloseHandle(h);
}
inline uint32_t attributes_of(const std::string& path) { return GetFileAttributesA(path.c_str()); }
inline bool is_read_only(const std::string& path) { return attributes_of(path) & FILE_ATTRIBUTE_READONLY; }
inline void make_read_only(const std::string& path)
{
    SetFileAttributesA(path.c_str(), attributes_of(path) | FILE_ATTRIBUTE_READONLY);
}
// Wine cannot set a creation time.
inline bool under_wine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"); }
#else
inline uint64_t filetime_of(const struct statx_timestamp& t) { return filetime_of_unix(t.tv_sec, t.tv_nsec / 100); }
inline disk_times times_of(const std::string& path)
{
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx) != 0)
        throw std::runtime_error("cannot stat " + path);
    return {filetime_of((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime), filetime_of(sx.stx_mtime)};
}
inline void set_times(const std::string& path, uint64_t, uint64_t last_write)
{
    int64_t since = static_cast<int64_t>(last_write - filetime_of_unix(0, 0));
    timespec both[2] = {{0, UTIME_OMIT}, {since / 10000000, since % 10000000 * 100}};
    if (utimensat(AT_FDCWD, path.c_str(), both, 0) != 0)
        throw std::runtime_error("cannot set the times of " + path);
}
inline bool is_read_only(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}
inline void make_read_only(const std::string& path)
{
    if (chmod(path.c_str(), 0444) != 0)
        throw std::runtime_error("cannot make " + path + " read-only");
}
#endif

}  // namespace bzip3test
