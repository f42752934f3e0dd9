// longfile: files by handle with 64-bit sizes, for the Bzip3 jobs. Calls
// read like the C library's stream calls (buffer, count, handle) but carry
// no buffering and no state of their own: a handle is the platform's.
#pragma once

#include <cstdint>

namespace kelb {

// The platform's file handle; null stands for no file.
struct longfile_file;
using longfile_handle = longfile_file*;

// Windows access rights, share modes and creation dispositions, which the
// mode table is written in; the POSIX side maps them onto open(2) flags.
constexpr uint32_t longfile_generic_read = 0x80000000u;
constexpr uint32_t longfile_generic_write = 0x40000000u;
constexpr uint32_t longfile_share_read = 1;
constexpr uint32_t longfile_share_write = 2;
constexpr uint32_t longfile_create_always = 2;
constexpr uint32_t longfile_open_existing = 3;

// FILETIME values: 100-ns units since 1601-01-01 UTC.
struct longfile_times {
    uint64_t creation;
    uint64_t last_write;
};

longfile_handle longfile_open(const char* name, const char* mode);
// False when the platform would not close it: for a file just written, its
// last data may not have reached the disk.
bool longfile_close(longfile_handle file);
uint32_t longfile_read(void* buffer, uint32_t count, longfile_handle file);
// As longfile_read, but tells a failed read (false) from the end of the file
// (true with 0 bytes).
bool longfile_read_some(void* buffer, uint32_t count, longfile_handle file, uint32_t* transferred);
uint32_t longfile_write(const void* buffer, uint32_t count, longfile_handle file);
uint64_t longfile_size(const char* name);
uint64_t longfile_handle_size(longfile_handle file);

// The creation and last-write times of an open file; false when the
// platform cannot tell them.
bool longfile_get_times(longfile_handle file, longfile_times* times);
// Sets both times where the platform can (Linux keeps no settable creation
// time); the last-access time is left alone.
bool longfile_set_times(longfile_handle file, const longfile_times& times);
// The time now, as a FILETIME value.
uint64_t longfile_now();

// POSIX seconds and nanoseconds to a FILETIME value and back. Both saturate:
// a time before 1601 becomes 0, one beyond the 64-bit range its largest
// value, so no file system's or header's time can overflow on the way.
uint64_t filetime_from_unix(int64_t seconds, int64_t nanoseconds);
void unix_from_filetime(uint64_t filetime, int64_t* seconds, int64_t* nanoseconds);

// 100 / total, then times done, truncated: (97, 97) gives 99.
int32_t percent_of_64(uint64_t total, uint64_t done);

// The platform calls under the layer. A test may swap in its own table to
// make the platform fail where real files will not.
struct longfile_ops {
    // CreateFileA with the archive attribute; null when the platform refuses
    // or the name is no regular file (a folder, pipe or device). Never waits.
    longfile_handle (*create)(const char* name, uint32_t access, uint32_t share, uint32_t disposition);
    // One synchronous transfer of the whole count; false on failure.
    bool (*read)(longfile_handle file, void* buffer, uint32_t count, uint32_t* transferred);
    bool (*write)(longfile_handle file, const void* buffer, uint32_t count, uint32_t* transferred);
    // False when the platform reports an error.
    bool (*size)(longfile_handle file, uint64_t* size);
    bool (*close)(longfile_handle file);
    bool (*get_times)(longfile_handle file, longfile_times* times);
    bool (*set_times)(longfile_handle file, const longfile_times* times);
    uint64_t (*now)();
};

const longfile_ops& longfile_platform();
const longfile_ops& real_longfile_platform();
void use_longfile_platform(const longfile_ops* ops);  // null restores the real one

}  // namespace kelb
