// The platform table on Windows: kernel32 and the C library's streams.
#include "file_identity_win32.h"
#include "platform.h"
#include "platform_impl.h"
#include "wide_names_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>
#include <new>

namespace kelb {

namespace {

struct worker_start {
    void (*entry)();
    HMODULE self;
};

// Each worker holds a reference to this library and drops it only as it
// exits, so a host that unloads the engine right after a job ends never
// pulls code out from under the finishing thread.
DWORD WINAPI worker_trampoline(LPVOID parameter)
{
    worker_start start = *static_cast<worker_start*>(parameter);
    delete static_cast<worker_start*>(parameter);
    start.entry();
    FreeLibraryAndExitThread(start.self, 0);
    return 0;
}

bool win_start_thread(void (*entry)())
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&worker_trampoline), &self))
        return false;
    auto* start = new (std::nothrow) worker_start{entry, self};
    HANDLE thread = start ? CreateThread(nullptr, 0, worker_trampoline, start, 0, nullptr) : nullptr;
    if (!thread) {
        delete start;
        FreeLibrary(self);
        return false;
    }
    CloseHandle(thread);
    return true;
}

void win_sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

void win_debug_output(const char* text) { OutputDebugStringA(text); }

// The processors of the process's affinity mask, within its group.
int32_t win_available_processors()
{
    DWORD_PTR process = 0, system = 0;
    int32_t count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1)
            ++count;
    return count > 0 ? count : 1;
}

uint32_t win_get_file_attributes(const char* name)
{
    return with_os_name(name, [](auto os_name) { return get_attributes(os_name); });
}

// A folder or a device named as a target keeps its attributes.
bool win_set_file_attributes(const char* name, uint32_t attributes)
{
    return with_os_name(name, [&](auto os_name) {
        DWORD now = get_attributes(os_name);
        if (now == INVALID_FILE_ATTRIBUTES || (now & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
            return false;
        return set_attributes(os_name, attributes) != 0;
    });
}

bool win_delete_file(const char* name)
{
    return with_os_name(name, [](auto os_name) { return delete_file(os_name) != 0; });
}

bool win_same_file(const char* a, const char* b)
{
    if (!names_in_utf8.load(std::memory_order_relaxed))
        return same_file_names(a, b);
    return same_file_names(os_wide_name(a).c_str(), os_wide_name(b).c_str());
}

int64_t win_stream_size(FILE* stream)
{
    if (_fseeki64(stream, 0, SEEK_END) != 0)
        return -1;
    return _ftelli64(stream);
}

int64_t win_stream_tell(FILE* stream) { return _ftelli64(stream); }

// Only files on disk: no pipe, console or device such as NUL, CON or COM1.
// An existing target is emptied only once it is known to be one; sharing
// as the C library's fopen allows it.
FILE* win_stream_open(const char* name, const char* mode)
{
    bool both = strchr(mode, '+') != nullptr, writing = mode[0] == 'w';
    if (!writing && mode[0] != 'r')
        return nullptr;
    DWORD access = both ? GENERIC_READ | GENERIC_WRITE : writing ? GENERIC_WRITE : GENERIC_READ;
    HANDLE h = with_os_name(name, [&](auto os_name) {
        return create_file(os_name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           writing ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    });
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!win_is_disk_file(h) || (writing && !SetEndOfFile(h))) {
        CloseHandle(h);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), both ? _O_RDWR : writing ? _O_WRONLY : _O_RDONLY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    _setmode(fd, _O_BINARY);
    FILE* stream = _fdopen(fd, mode);
    if (!stream)
        _close(fd);
    return stream;
}

const platform_ops win_ops = {
    win_start_thread,        win_sleep_ms,    win_debug_output, win_available_processors,
    win_get_file_attributes, win_set_file_attributes, win_delete_file,
    win_same_file,           win_stream_open, stdio_read,
    stdio_write,             stdio_failed,    win_stream_size,
    win_stream_tell,         stdio_close,
};

}  // namespace

bool win_is_disk_file(void* handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

const platform_ops& real_platform() { return win_ops; }

}  // namespace kelb
