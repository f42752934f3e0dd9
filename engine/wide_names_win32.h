// Names for kernel32's wide calls, shared by the engine and the control:
// UTF-8 to UTF-16, and the long-path form that lets an absolute path run
// past MAX_PATH.
#pragma once

#include "platform.h"

#include <windows.h>

#include <string>

namespace kelb {

// Empty when the bytes are no UTF-8: no file has an empty name, so the call
// that gets it fails as for any name that is not there.
inline std::wstring wide_from_utf8(const char* name)
{
    int length = name ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) : 0;
    if (length <= 1)
        return std::wstring();
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, &out[0], length);
    out.resize(static_cast<size_t>(length) - 1);
    return out;
}

// An absolute path longer than MAX_PATH - 1 characters in the "\\?\" form,
// which the wide calls take up to 32,767 characters; any other name as it
// is. The form skips the system's clean-up of the name, so the full path
// (separators, "." and "..") is made first.
inline std::wstring long_path_form(const std::wstring& name)
{
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    bool drive = name.size() > 2 && name[1] == L':' && separator(name[2]);
    bool unc = name.size() > 2 && separator(name[0]) && separator(name[1]) && name[2] != L'?' && name[2] != L'.';
    if (name.size() < MAX_PATH || !(drive || unc))
        return name;
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return name;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(name.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return name;
    full.resize(length);
    if (full.size() > 1 && full[0] == L'\\' && full[1] == L'\\')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The engine's names reach kernel32 through these: as the caller's bytes to
// the A calls (the code page), or, once "utf8names" is on, in UTF-16 and the
// long-path form to the W calls.
inline std::wstring os_wide_name(const char* name) { return long_path_form(wide_from_utf8(name)); }

template <typename Call>
auto with_os_name(const char* name, Call call)
{
    if (!names_in_utf8.load(std::memory_order_relaxed))
        return call(name);
    std::wstring wide = os_wide_name(name);
    return call(wide.c_str());
}

inline DWORD get_attributes(const char* name) { return GetFileAttributesA(name); }
inline DWORD get_attributes(const wchar_t* name) { return GetFileAttributesW(name); }
inline BOOL set_attributes(const char* name, DWORD value) { return SetFileAttributesA(name, value); }
inline BOOL set_attributes(const wchar_t* name, DWORD value) { return SetFileAttributesW(name, value); }
inline BOOL delete_file(const char* name) { return DeleteFileA(name); }
inline BOOL delete_file(const wchar_t* name) { return DeleteFileW(name); }
inline HANDLE create_file(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                          DWORD disposition, DWORD flags, HANDLE model)
{
    return CreateFileA(name, access, share, security, disposition, flags, model);
}
inline HANDLE create_file(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                          DWORD disposition, DWORD flags, HANDLE model)
{
    return CreateFileW(name, access, share, security, disposition, flags, model);
}
}  // namespace kelb
