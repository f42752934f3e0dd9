// The platform table on Windows: kernel32 and the C library's streams.
#include "file_identity_win32.h"
#include "platform.h"
#include "platform_impl.h"

#include <windows.h>

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

uint32_t win_get_file_attributes(const char* name) { return GetFileAttributesA(name); }

bool win_set_file_attributes(const char* name, uint32_t attributes)
{
    return SetFileAttributesA(name, attributes) != 0;
}

bool win_delete_file(const char* name) { return DeleteFileA(name) != 0; }

bool win_same_file(const char* a, const char* b) { return same_file_names(a, b); }

FILE* win_stream_open(const char* name, const char* mode) { return fopen(name, mode); }

int64_t win_stream_size(FILE* stream)
{
    if (_fseeki64(stream, 0, SEEK_END) != 0)
        return -1;
    return _ftelli64(stream);
}

const platform_ops win_ops = {
    win_start_thread,        win_sleep_ms,    win_debug_output,
    win_get_file_attributes, win_set_file_attributes, win_delete_file,
    win_same_file,           win_stream_open, stdio_read,
    stdio_write,             stdio_failed,    win_stream_size,
    stdio_close,
};

}  // namespace

const platform_ops& real_platform() { return win_ops; }

}  // namespace kelb
