#include "register_entry.h"

namespace kelbreg {

const char library_file[] = "kelbzip2_201.ocx";
const char program_title[] = "Register";

namespace {
void message_box(HWND owner, const char* text, const char* caption)
{
    MessageBoxA(owner, text, caption, MB_OK);
}
}  // namespace

message_fn show_message = message_box;

std::string outcome_message(bool registering, HRESULT result)
{
    // Only 0 is success: S_FALSE and other positive codes count as failures too.
    return std::string(registering ? "Registration" : "Unregistration") +
           (result == 0 ? " Successful" : " Unsuccessful");
}

void CallServerEntry(HWND window, const char* library, bool registering)
{
    // The bare name: the normal search order, the program's own folder first.
    HMODULE module = LoadLibraryA(library);
    FARPROC entry = module ? GetProcAddress(module, registering ? "DllRegisterServer" : "DllUnregisterServer")
                           : nullptr;
    if (!entry) {
        show_message(window, "Unexpected error registering ocx", program_title);
        if (module)
            FreeLibrary(module);
        return;
    }
    // The self-registration exports take nothing and return an HRESULT.
    HRESULT result = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(entry))();
    show_message(window, outcome_message(registering, result).c_str(), program_title);
    FreeLibrary(module);
}

void RegisterLibrary(HWND window, const char* library, bool registering)
{
    CallServerEntry(window, library, registering);
}

}  // namespace kelbreg
