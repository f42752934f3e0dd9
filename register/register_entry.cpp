#include "register_entry.h"

#include <sstream>

namespace kelbreg {

const char library_file[] = "kelbzip2_201.ocx";
const char program_title[] = "Register";

namespace {
void message_box(HWND owner, const char* text, const char* caption)
{
    MessageBoxA(owner, text, caption, MB_OK);
}

// The file beside this program: a library of the name found anywhere else on
// the search path (the current folder, PATH) could be anyone's.
std::wstring beside_program(const char* file)
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()))) == path.size())
        path.resize(path.size() * 2);
    path.resize(length);
    size_t folder_end = path.find_last_of(L'\\');
    if (folder_end == std::wstring::npos)
        return std::wstring();  // never a bare name, which the search path would resolve
    path.erase(folder_end + 1);
    for (const char* c = file; *c; ++c)  // our file names are ASCII
        path += static_cast<wchar_t>(*c);
    return path;
}

std::string ansi(const std::wstring& text)
{
    std::string out(WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    out.pop_back();
    return out;
}
}  // namespace

message_fn show_message = message_box;

scope scope_of(const char* command_line)
{
    // A switch is a word of its own, in any case.
    std::istringstream words(command_line);
    std::string word;
    while (words >> word)
        if ((word[0] == '/' || word[0] == '-') && _stricmp(word.c_str() + 1, "user") == 0)
            return scope::user;
    return scope::machine;
}

std::string outcome_message(bool registering, HRESULT result, scope where)
{
    // Only 0 is success: S_FALSE and other positive codes count as failures too.
    return std::string(registering ? "Registration" : "Unregistration") +
           (result == 0 ? " Successful" : " Unsuccessful") + (where == scope::user ? " for the current user" : "");
}

void CallServerEntry(HWND window, const char* library, bool registering, scope where)
{
    const std::wstring path = beside_program(library);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const char* name = where == scope::user ? "DllInstall" : registering ? "DllRegisterServer" : "DllUnregisterServer";
    FARPROC entry = module ? GetProcAddress(module, name) : nullptr;
    if (!entry) {
        std::string text = "Unexpected error registering ocx";
        if (!module && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            text += "\n\nThe library is missing: " + ansi(path);
        show_message(window, text.c_str(), program_title);
        if (module)
            FreeLibrary(module);
        return;
    }
    // The self-registration exports take nothing and return an HRESULT;
    // DllInstall takes the direction and its command line.
    HRESULT result =
        where == scope::user
            ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(reinterpret_cast<void*>(entry))(registering,
                                                                                                       L"user")
            : reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(entry))();
    show_message(window, outcome_message(registering, result, where).c_str(), program_title);
    FreeLibrary(module);
}

void RegisterLibrary(HWND window, const char* library, bool registering, scope where)
{
    CallServerEntry(window, library, registering, where);
}

}  // namespace kelbreg
