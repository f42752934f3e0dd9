// What the Bzip3 tests need beyond the shared support: the 40-byte header
// laid out by hand, md5sum's digests, and the system's own view of a file.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <filesystem>
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

// The raw digest the real md5sum printed for a fixture.
inline std::string md5sum_of_fixture(const std::string& name)
{
    std::string line = kelbtest::read_file(kelbtest::fixture(name + ".md5")), out;
    for (size_t i = 0; i < 32; i += 2)
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
inline disk_times times_of(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME t[2] = {};
    GetFileTime(h, &t[0], nullptr, &t[1]);
    CloseHandle(h);
    return {uint64_t(t[0].dwHighDateTime) << 32 | t[0].dwLowDateTime, uint64_t(t[1].dwHighDateTime) << 32 | t[1].dwLowDateTime};
}
#else
inline disk_times times_of(const std::string& path)
{
    struct statx sx {};
    statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx);
    auto filetime = [](const statx_timestamp& t) { return filetime_of_unix(t.tv_sec, t.tv_nsec / 100); };
    return {filetime((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime), filetime(sx.stx_mtime)};
}
#endif

inline void make_read_only(const std::string& path)
{
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
}
inline bool is_read_only(const std::string& path)
{
    return (std::filesystem::status(path).permissions() & std::filesystem::perms::owner_write) ==
           std::filesystem::perms::none;
}

}  // namespace bzip3test
