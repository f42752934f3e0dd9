// Whether two open handles are one file, shared by the engine and the
// control. The 128-bit file id is the one that is unique on every file
// system (ReFS ids do not fit the 64-bit index); where a system cannot give
// it, the volume serial number and the 64-bit index decide.
#pragma once

#include <windows.h>

#include <cstring>

namespace kelb {

inline bool same_file_handles(HANDLE a, HANDLE b)
{
    FILE_ID_INFO ia, ib;
    if (GetFileInformationByHandleEx(a, FileIdInfo, &ia, sizeof ia) &&
        GetFileInformationByHandleEx(b, FileIdInfo, &ib, sizeof ib))
        return ia.VolumeSerialNumber == ib.VolumeSerialNumber &&
               memcmp(&ia.FileId, &ib.FileId, sizeof ia.FileId) == 0;
    BY_HANDLE_FILE_INFORMATION ha, hb;
    if (!GetFileInformationByHandle(a, &ha) || !GetFileInformationByHandle(b, &hb))
        return false;
    return ha.dwVolumeSerialNumber == hb.dwVolumeSerialNumber && ha.nFileIndexHigh == hb.nFileIndexHigh &&
           ha.nFileIndexLow == hb.nFileIndexLow;
}

// A handle that asks nothing of the file but its identity (directories
// included), or INVALID_HANDLE_VALUE.
template <typename Char>
HANDLE open_for_identity(const Char* name)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if constexpr (sizeof(Char) == 1)
        return CreateFileA(reinterpret_cast<const char*>(name), 0, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    else
        return CreateFileW(reinterpret_cast<const wchar_t*>(name), 0, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

template <typename Char>
bool same_file_names(const Char* first, const Char* second)
{
    HANDLE a = open_for_identity(first);
    if (a == INVALID_HANDLE_VALUE)
        return false;
    HANDLE b = open_for_identity(second);
    bool same = b != INVALID_HANDLE_VALUE && same_file_handles(a, b);
    if (b != INVALID_HANDLE_VALUE)
        CloseHandle(b);
    CloseHandle(a);
    return same;
}

}  // namespace kelb
