// longfile on Windows: kernel32's handle calls, on files on disk only.
#include "longfile.h"
#include "platform_impl.h"
#include "wide_names_win32.h"

#include <windows.h>

namespace kelb {

namespace {

HANDLE native(longfile_handle file) { return reinterpret_cast<HANDLE>(file); }

// Files on disk only, no pipe or device such as NUL or CON; an existing
// target is emptied only once it is known to be one.
longfile_handle win_create(const char* name, uint32_t access, uint32_t share, uint32_t disposition)
{
    bool replace = disposition == CREATE_ALWAYS;
    HANDLE h = with_os_name(name, [&](auto os_name) {
        return create_file(os_name, access, share, nullptr, replace ? OPEN_ALWAYS : disposition,
                           FILE_ATTRIBUTE_ARCHIVE, nullptr);
    });
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!win_is_disk_file(h) || (replace && !SetEndOfFile(h))) {
        CloseHandle(h);
        return nullptr;
    }
    return reinterpret_cast<longfile_handle>(h);
}

bool win_read(longfile_handle file, void* buffer, uint32_t count, uint32_t* transferred)
{
    DWORD n = 0;
    if (!ReadFile(native(file), buffer, count, &n, nullptr))
        return false;
    *transferred = n;
    return true;
}

bool win_write(longfile_handle file, const void* buffer, uint32_t count, uint32_t* transferred)
{
    DWORD n = 0;
    if (!WriteFile(native(file), buffer, count, &n, nullptr))
        return false;
    *transferred = n;
    return true;
}

// A low half of 0xFFFFFFFF is a real size unless an error comes with it.
bool win_size(longfile_handle file, uint64_t* size)
{
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(native(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    *size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

bool win_close(longfile_handle file) { return CloseHandle(native(file)) != 0; }

uint64_t from_filetime(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME to_filetime(uint64_t value)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(value);
    t.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return t;
}

bool win_get_times(longfile_handle file, longfile_times* times)
{
    FILETIME creation, last_write;
    if (!GetFileTime(native(file), &creation, nullptr, &last_write))
        return false;
    times->creation = from_filetime(creation);
    times->last_write = from_filetime(last_write);
    return true;
}

bool win_set_times(longfile_handle file, const longfile_times* times)
{
    FILETIME creation = to_filetime(times->creation), last_write = to_filetime(times->last_write);
    return SetFileTime(native(file), &creation, nullptr, &last_write) != 0;
}

uint64_t win_now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return from_filetime(now);
}

const longfile_ops win_longfile_ops = {
    win_create, win_read, win_write, win_size, win_close, win_get_times, win_set_times, win_now,
};

}  // namespace

const longfile_ops& real_longfile_platform() { return win_longfile_ops; }

}  // namespace kelb
