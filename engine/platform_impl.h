// Pieces that the platform files share with each other and with the entry.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kelb {

size_t stdio_read(void* buffer, size_t count, FILE* stream);
size_t stdio_write(const void* buffer, size_t count, FILE* stream);
bool stdio_failed(FILE* stream);
bool stdio_close(FILE* stream);

#ifdef _WIN32
// True for a file on disk: no folder, pipe, console or other device.
bool win_is_disk_file(void* handle);
#else
// open(2) without waiting (a FIFO would hold the worker for ever), keeping
// only a regular file, links followed; `empty` truncates it once that is
// known, never before. The descriptor, or -1.
int open_regular_file(const char* name, int flags, bool empty);
// Waits for the last worker thread to be gone entirely (Linux only: on
// Windows each worker holds a reference to the library instead).
void reap_last_worker();
#endif

}  // namespace kelb
