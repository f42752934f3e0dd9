// pcCommonDialog: the open-file dialog behind OpenFile, and the plain
// functions it is made of (filter conversion, flags, multi-select names).
#pragma once

#include "control_platform.h"

#include <cstdint>
#include <vector>

namespace kelb {

// Dialog flags the wrapper composes.
constexpr uint32_t ofn_readonly = 0x1;
constexpr uint32_t ofn_hidereadonly = 0x4;
constexpr uint32_t ofn_enablehook = 0x20;
constexpr uint32_t ofn_enabletemplate = 0x40;
constexpr uint32_t ofn_allowmultiselect = 0x200;
constexpr uint32_t ofn_filemustexist = 0x1000;
constexpr uint32_t ofn_explorer = 0x80000;

// Capacity of the file and file-title buffers.
constexpr size_t dialog_buffer_size = 260;

// The filter as the dialog takes it: every "|" and every ":" ends a text,
// and two NULs end the list.
text dialog_filter(const text& Filter);
// The caller's flags without hook and template, in explorer style, with the
// options' own bits.
uint32_t open_dialog_flags(uint32_t flags, bool FileMustExist, bool MultiSelect, bool ReadOnly, bool HideReadOnly);
// The description and pattern at a 1-based index of a converted filter,
// joined by one NUL; empty past the end of the list.
text filter_pair(const text& converted, int32_t index);
// Full paths from a multi-select answer (directory, NUL, names separated by
// NULs): the second name to the last, then the first. A text without NUL is
// one full path already.
std::vector<text> GetMultiSelectFileNames(const text& sMultiSelect);

// The arguments of VBGetOpenFileName, with its defaults. Filename,
// FileTitle, ReadOnly, Filter, FilterIndex and flags are also its answers.
struct open_file_options {
    text Filename;
    text FileTitle;
    bool FileMustExist = true;
    bool MultiSelect = false;
    bool ReadOnly = false;
    bool HideReadOnly = false;
    text Filter = u"All (*.*)| *.*";
    int32_t FilterIndex = 1;
    text InitDir;
    text DlgTitle;
    text DefaultExt;
    intptr_t Owner = -1;  // -1: no owner window
    uint32_t flags = 0;
};

class pcCommonDialog {
public:
    // True when the user confirmed. Cancel and failure both give false with
    // empty answers; ExtendedError tells a failure apart. Throws host_error 5
    // when Filename or FileTitle do not fit the dialog's buffers.
    bool VBGetOpenFileName(open_file_options& options);

    int32_t APIReturn() const { return APIReturn_; }
    uint32_t ExtendedError() const { return ExtendedError_; }

private:
    int32_t APIReturn_ = 0;
    uint32_t ExtendedError_ = 0;
};

}  // namespace kelb
