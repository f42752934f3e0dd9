// The control library's one seam to the operating system: loading the
// engine, finding our own directory, message boxes, the open-file dialog and
// text conversion. control_platform_win32.cpp and control_platform_posix.cpp
// fill the table; a test may swap in its own to steer or break the platform.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kelb {

// UTF-16, as the control's hosts hand texts over.
using text = std::u16string;

// What the open-file dialog is asked and answers, in the code page. The
// filter is the list of description and pattern texts, each ended by a NUL,
// the list ended by one more.
struct open_file_request {
    uint32_t flags = 0;
    intptr_t owner = 0;  // 0: no owner window
    std::string filter;
    int32_t filter_index = 1;
    std::string file;        // capacity() bytes given to the dialog
    std::string file_title;  // likewise
    std::string initial_dir;
    std::string title;
    std::string default_ext;
};

struct control_platform_ops {
    char16_t path_separator;
    // The engine file's name in the control library's directory.
    const char16_t* engine_file;

    // Null when the library cannot be loaded.
    void* (*load_library)(const std::string& path);
    // Null when the library has no such export.
    void* (*find_entry)(void* library, const char* name);
    void (*free_library)(void* library);
    // The directory that holds the control library, without a final separator.
    text (*module_directory)();

    void (*message_box)(const text& message, const text& caption);
    // The dialog's raw result: 1 confirmed, 0 cancelled, anything else failed.
    int32_t (*show_open_dialog)(open_file_request& request);
    uint32_t (*dialog_extended_error)();

    // To and from the code page the engine reads its texts in. Characters the
    // code page lacks become its replacement character.
    std::string (*to_code_page)(const text& value);
    text (*from_code_page)(const std::string& bytes);
    // The system's upper-case mapping.
    text (*to_upper)(const text& value);
    // Whether the file system takes names that differ in case for one file.
    bool names_ignore_case;
    // True when both names reach one existing file (volume and file id, or
    // device and inode), whatever their spelling or links.
    bool (*same_file)(const text& first, const text& second);
    // To UTF-8, for an engine that takes names so ("utf8names"): on Linux
    // the same bytes as the code page.
    std::string (*to_utf8)(const text& value);
};

// The table in use; the real platform's unless a test replaced it.
const control_platform_ops& control_platform();
const control_platform_ops& real_control_platform();
void use_control_platform(const control_platform_ops* ops);  // null restores the real one

#ifndef _WIN32
// Linux has no system message box or file dialog: by default messages go to
// standard error and the dialog is always cancelled, unless the host
// supplies its own. An empty function restores the default.
void set_message_box(std::function<void(const text& message, const text& caption)> show);
void set_open_dialog(std::function<int32_t(open_file_request& request)> show);
#endif

}  // namespace kelb
