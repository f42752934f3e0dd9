#include "common_dialog.h"

#include "zipclass.h"

namespace kelb {

text dialog_filter(const text& Filter)
{
    text converted = Filter;
    for (char16_t& c : converted)
        if (c == u'|' || c == u':')
            c = u'\0';
    converted += u'\0';
    converted += u'\0';
    return converted;
}

uint32_t open_dialog_flags(uint32_t flags, bool FileMustExist, bool MultiSelect, bool ReadOnly, bool HideReadOnly)
{
    uint32_t composed = (flags & ~(ofn_enablehook | ofn_enabletemplate)) | ofn_explorer;
    if (FileMustExist)
        composed |= ofn_filemustexist;
    if (MultiSelect)
        composed |= ofn_allowmultiselect;
    if (ReadOnly)
        composed |= ofn_readonly;
    if (HideReadOnly)
        composed |= ofn_hidereadonly;
    return composed;
}

namespace {

std::vector<text> split_at_nuls(const text& value)
{
    std::vector<text> parts;
    size_t start = 0;
    for (;;) {
        size_t nul = value.find(u'\0', start);
        parts.push_back(value.substr(start, nul == text::npos ? text::npos : nul - start));
        if (nul == text::npos)
            return parts;
        start = nul + 1;
    }
}

// A buffer of the dialog's size that starts with value.
std::string dialog_buffer(const text& value)
{
    std::string bytes = control_platform().to_code_page(value);
    if (bytes.size() > dialog_buffer_size)
        throw host_error(5, u"Invalid procedure call or argument");
    bytes.resize(dialog_buffer_size, '\0');
    return bytes;
}

}  // namespace

text filter_pair(const text& converted, int32_t index)
{
    // The list ends at the first empty text.
    std::vector<text> texts = split_at_nuls(converted);
    size_t at = 2 * static_cast<size_t>(index - 1);
    if (index < 1 || at + 1 >= texts.size() || texts[at].empty())
        return text();
    return texts[at] + u'\0' + texts[at + 1];
}

std::vector<text> GetMultiSelectFileNames(const text& sMultiSelect)
{
    if (sMultiSelect.find(u'\0') == text::npos)
        return {sMultiSelect};
    std::vector<text> parts = split_at_nuls(sMultiSelect);
    const text& directory = parts[0];
    text separator(1, control_platform().path_separator);
    std::vector<text> paths;
    for (size_t i = 2; i < parts.size(); ++i)
        paths.push_back(directory + separator + parts[i]);
    paths.push_back(directory + separator + parts[1]);
    return paths;
}

bool pcCommonDialog::VBGetOpenFileName(open_file_options& options)
{
    const control_platform_ops& os = control_platform();
    APIReturn_ = 0;
    ExtendedError_ = 0;

    text converted = dialog_filter(options.Filter);
    open_file_request request;
    request.flags = open_dialog_flags(options.flags, options.FileMustExist, options.MultiSelect, options.ReadOnly,
                                      options.HideReadOnly);
    request.owner = options.Owner == -1 ? 0 : options.Owner;
    request.filter = os.to_code_page(converted);
    request.filter_index = options.FilterIndex;
    request.file = dialog_buffer(options.Filename);
    request.file_title = dialog_buffer(options.FileTitle);
    request.initial_dir = os.to_code_page(options.InitDir);
    request.title = os.to_code_page(options.DlgTitle);
    request.default_ext = os.to_code_page(options.DefaultExt);

    APIReturn_ = os.show_open_dialog(request);
    if (APIReturn_ == 1) {
        if (request.flags & ofn_allowmultiselect) {
            // Directory and names, each ended by a NUL, the list by one more.
            size_t end = request.file.find(std::string(2, '\0'));
            options.Filename = os.from_code_page(request.file.substr(0, end));
        } else {
            options.Filename = os.from_code_page(request.file.c_str());
            options.FileTitle = os.from_code_page(request.file_title.c_str());
        }
        options.flags = request.flags;
        options.FilterIndex = request.filter_index;
        options.Filter = filter_pair(converted, request.filter_index);
        options.ReadOnly = (request.flags & ofn_readonly) != 0;
        return true;
    }
    if (APIReturn_ != 0)
        ExtendedError_ = os.dialog_extended_error();
    options.Filename.clear();
    options.FileTitle.clear();
    options.Filter.clear();
    options.flags = 0;
    options.FilterIndex = -1;
    return false;
}

}  // namespace kelb
