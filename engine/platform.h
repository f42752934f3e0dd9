// The engine's one seam to the operating system. Everything above it is
// portable; platform_win32.cpp and platform_posix.cpp fill the table, and a
// test may swap in its own table to make the platform fail on purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace kelb {

constexpr uint32_t attribute_readonly = 0x01;
constexpr uint32_t attribute_hidden = 0x02;
constexpr uint32_t attribute_system = 0x04;
constexpr uint32_t attribute_directory = 0x10;
constexpr uint32_t attribute_archive = 0x20;
constexpr uint32_t attributes_invalid = 0xFFFFFFFFu;

struct platform_ops {
    // Starts a detached worker running entry(); false when no thread could be made.
    bool (*start_thread)(void (*entry)());
    void (*sleep_ms)(unsigned milliseconds);
    // The debugger output channel.
    void (*debug_output)(const char* text);
    // Processors this process may run on (its affinity), at least 1.
    int32_t (*available_processors)();

    uint32_t (*get_file_attributes)(const char* name);
    // Files only: a folder, device or pipe keeps what it has (false).
    bool (*set_file_attributes)(const char* name, uint32_t attributes);
    bool (*delete_file)(const char* name);
    // True when both names lead to one existing file on disk.
    bool (*same_file)(const char* a, const char* b);

    // Buffered byte streams (the C library's), without text translation.
    // Opens regular files only ("r" or "w", "b" and "+" allowed), without
    // waiting on a pipe or device; "w" empties an existing file only once it
    // is known to be one.
    FILE* (*stream_open)(const char* name, const char* mode);
    size_t (*stream_read)(void* buffer, size_t count, FILE* stream);
    size_t (*stream_write)(const void* buffer, size_t count, FILE* stream);
    bool (*stream_failed)(FILE* stream);
    // Size of the stream's file, by seeking to its end; -1 when it cannot be told.
    int64_t (*stream_size)(FILE* stream);
    // The stream's position; -1 when it cannot be told.
    int64_t (*stream_tell)(FILE* stream);
    // False when buffered data could not be written out.
    bool (*stream_close)(FILE* stream);
};

// How the names handed to the table are spelled: UTF-8 while true (Windows
// opens them through the wide calls), else the system's code page. POSIX
// takes names as bytes either way. Each job sets it as it starts.
extern std::atomic<bool> names_in_utf8;

// The table in use; the real platform's unless a test replaced it.
const platform_ops& platform();
const platform_ops& real_platform();
void use_platform(const platform_ops* ops);  // null restores the real one

}  // namespace kelb
