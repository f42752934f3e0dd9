// longfile on Linux: file descriptors behind the handle, Windows semantics
// on top (a write moves all its bytes or fails, only regular files are files).
#include "longfile.h"
#include "platform_impl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace kelb {

namespace {

// A descriptor may be 0, a handle may not: the handle is the descriptor plus one.
int fd_of(longfile_handle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

longfile_handle handle_of(int fd) { return reinterpret_cast<longfile_handle>(static_cast<intptr_t>(fd) + 1); }

// A time_t as wide as ours holds every FILETIME; a narrower one saturates.
timespec to_timespec(uint64_t filetime)
{
    int64_t seconds, nanoseconds;
    unix_from_filetime(filetime, &seconds, &nanoseconds);
    if constexpr (sizeof(time_t) < sizeof(int64_t)) {
        if (seconds > std::numeric_limits<time_t>::max())
            return timespec{std::numeric_limits<time_t>::max(), 999999999};
        if (seconds < std::numeric_limits<time_t>::min())
            return timespec{std::numeric_limits<time_t>::min(), 0};
    }
    return timespec{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
}

longfile_handle posix_create(const char* name, uint32_t access, uint32_t, uint32_t disposition)
{
    if (!name)
        return nullptr;
    bool reading = access & longfile_generic_read, writing = access & longfile_generic_write;
    bool replace = disposition == longfile_create_always;
    int flags = (reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY) | (replace ? O_CREAT : 0);
    int fd = open_regular_file(name, flags, replace);
    return fd < 0 ? nullptr : handle_of(fd);
}

bool posix_read(longfile_handle file, void* buffer, uint32_t count, uint32_t* transferred)
{
    ssize_t n;
    do
        n = read(fd_of(file), buffer, count);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    *transferred = static_cast<uint32_t>(n);
    return true;
}

// A short write to a regular file means the disk is full: carry on until
// the whole count is down or the system says why not, as WriteFile would.
bool posix_write(longfile_handle file, const void* buffer, uint32_t count, uint32_t* transferred)
{
    const char* bytes = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd_of(file), bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<uint32_t>(n);
    }
    *transferred = done;
    return true;
}

bool posix_size(longfile_handle file, uint64_t* size)
{
    struct stat st;
    if (fstat(fd_of(file), &st) != 0)
        return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Linux closes the descriptor even when close reports EINTR.
bool posix_close(longfile_handle file) { return close(fd_of(file)) == 0 || errno == EINTR; }

// The creation time is the birth time where the file system keeps one.
bool posix_get_times(longfile_handle file, longfile_times* times)
{
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(fd_of(file), "", AT_EMPTY_PATH, STATX_MTIME | STATX_BTIME, &sx) == 0) {
        times->last_write = filetime_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
        times->creation = (sx.stx_mask & STATX_BTIME) ? filetime_from_unix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                                                      : times->last_write;
        return true;
    }
    if (errno != ENOSYS)
        return false;
#endif
    struct stat st;
    if (fstat(fd_of(file), &st) != 0)
        return false;
    times->last_write = filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    times->creation = times->last_write;
    return true;
}

// Only the last-write time can be set here.
bool posix_set_times(longfile_handle file, const longfile_times* times)
{
    timespec both[2] = {{0, UTIME_OMIT}, to_timespec(times->last_write)};
    return futimens(fd_of(file), both) == 0;
}

uint64_t posix_now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return filetime_from_unix(now.tv_sec, now.tv_nsec);
}

const longfile_ops posix_longfile_ops = {
    posix_create, posix_read, posix_write, posix_size, posix_close, posix_get_times, posix_set_times, posix_now,
};

}  // namespace

const longfile_ops& real_longfile_platform() { return posix_longfile_ops; }

}  // namespace kelb
