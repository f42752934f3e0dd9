// What the Bzip3 tests need beyond the shared support: the operating
// system's own view of a file's times and attributes, digests from md5sum,
// and a look inside a Bzip3 file.
#pragma once

#include <cstdint>
#include <string>

namespace bzip3test {

// Sends this process's standard error to a file while it lives, so that a
// test can see what the engine wrote there (nothing, it should be).
class stderr_captured {
public:
    explicit stderr_captured(const std::string& file);
    ~stderr_captured();
    stderr_captured(const stderr_captured&) = delete;
    stderr_captured& operator=(const stderr_captured&) = delete;
    // What has been written so far.
    std::string text();

private:
    std::string file_;
    int saved_;
};

// FILETIME units: 100 ns since 1601-01-01 UTC.
constexpr uint64_t filetime_unix_epoch = 116444736000000000ULL;
inline uint64_t filetime_of_unix(int64_t seconds, uint32_t hundred_ns)
{
    return filetime_unix_epoch + static_cast<uint64_t>(seconds) * 10000000ULL + hundred_ns;
}

struct disk_times {
    uint64_t creation;
    uint64_t last_write;
};

// As the operating system reports them (statx on Linux, GetFileTime on Windows).
disk_times times_of(const std::string& path);
// Sets the last-write time, and on Windows the creation time as well.
void set_times(const std::string& path, uint64_t creation, uint64_t last_write);

// Read-only as each platform has it: no owner write bit, or the attribute.
bool is_read_only(const std::string& path);
void make_read_only(const std::string& path);
#ifdef _WIN32
uint32_t attributes_of(const std::string& path);
void set_attributes(const std::string& path, uint32_t attributes);
bool under_wine();
#endif

// The hex MD5 of a fixture file by the real md5sum: run here on Linux,
// read from the file the fixture script wrote beside it on Windows.
std::string md5sum_of_fixture(const std::string& name);

std::string hex(const std::string& bytes);

// The 40-byte header's fields, read byte by byte.
struct header_view {
    std::string magic;
    std::string digest;  // 16 raw bytes
    uint32_t attributes;
    uint64_t creation;
    uint64_t last_write;
};
header_view header_of(const std::string& file_bytes);
uint64_t le64(const std::string& bytes, size_t offset);

}  // namespace bzip3test
