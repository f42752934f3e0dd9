// The control's platform table on Windows: kernel32, user32 and comdlg32,
// texts in the system's ANSI code page.
#include "control_platform.h"
#include "file_identity_win32.h"
#include "wide_names_win32.h"

#include <windows.h>
#include <commdlg.h>

#include <vector>

namespace kelb {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 is wchar_t here");

const wchar_t* wide(const text& value) { return reinterpret_cast<const wchar_t*>(value.c_str()); }

std::string narrow_text(UINT code_page, const text& value)
{
    if (value.empty())
        return std::string();
    int length = WideCharToMultiByte(code_page, 0, wide(value), static_cast<int>(value.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, wide(value), static_cast<int>(value.size()), &out[0], length, nullptr,
                        nullptr);
    return out;
}

std::string win_to_code_page(const text& value) { return narrow_text(CP_ACP, value); }

std::string win_to_utf8(const text& value) { return narrow_text(CP_UTF8, value); }

text win_from_code_page(const std::string& bytes)
{
    if (bytes.empty())
        return text();
    int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    text out(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                        reinterpret_cast<wchar_t*>(&out[0]), length);
    return out;
}

text win_to_upper(const text& value)
{
    text out = value;
    if (!out.empty())
        CharUpperBuffW(reinterpret_cast<wchar_t*>(&out[0]), static_cast<DWORD>(out.size()));
    return out;
}

void* win_load_library(const std::string& path) { return reinterpret_cast<void*>(LoadLibraryA(path.c_str())); }

void* win_find_entry(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void win_free_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

text win_module_directory()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&win_module_directory), &self))
        return text();
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return text();
        if (length < name.size()) {
            text path(reinterpret_cast<const char16_t*>(name.data()), length);
            size_t slash = path.find_last_of(u"\\/");
            return slash == text::npos ? text() : path.substr(0, slash);
        }
        name.resize(name.size() * 2);
    }
}

void win_message_box(const text& message, const text& caption)
{
    MessageBoxW(nullptr, wide(message), wide(caption), MB_OK);
}

int32_t win_show_open_dialog(open_file_request& request)
{
    // The record in its original size, which every version of the dialog takes.
    OPENFILENAMEA ofn{};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = reinterpret_cast<HWND>(request.owner);
    ofn.lpstrFilter = request.filter.empty() ? nullptr : request.filter.c_str();
    ofn.nFilterIndex = static_cast<DWORD>(request.filter_index);
    ofn.lpstrFile = &request.file[0];
    ofn.nMaxFile = static_cast<DWORD>(request.file.size());
    ofn.lpstrFileTitle = &request.file_title[0];
    ofn.nMaxFileTitle = static_cast<DWORD>(request.file_title.size());
    ofn.lpstrInitialDir = request.initial_dir.c_str();
    ofn.lpstrTitle = request.title.c_str();
    ofn.lpstrDefExt = request.default_ext.c_str();
    ofn.Flags = request.flags;
    int32_t result = GetOpenFileNameA(&ofn);
    request.flags = ofn.Flags;
    request.filter_index = static_cast<int32_t>(ofn.nFilterIndex);
    return result;
}

uint32_t win_dialog_extended_error() { return CommDlgExtendedError(); }

// Long paths in the form the wide calls take beyond MAX_PATH.
bool win_same_file(const text& first, const text& second)
{
    return same_file_names(long_path_form(wide(first)).c_str(), long_path_form(wide(second)).c_str());
}

const control_platform_ops win_ops = {
    u'\\',                  u"kelbzip2_201.dll",    win_load_library,     win_find_entry,
    win_free_library,       win_module_directory, win_message_box,
    win_show_open_dialog,   win_dialog_extended_error, win_to_code_page,
    win_from_code_page,     win_to_upper,         true,
    win_same_file,          win_to_utf8,
};

}  // namespace

const control_platform_ops& real_control_platform() { return win_ops; }

}  // namespace kelb
