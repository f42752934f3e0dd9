// What a click of register.exe does: load the control library from the
// program's own folder, call its self-registration export and tell the user
// how it went.
#pragma once

#include <string>

#include <windows.h>

namespace kelbreg {

extern const char library_file[];   // "kelbzip2_201.ocx"
extern const char program_title[];  // "Register"

// Shows one message with an OK button; tests put their own in its place.
using message_fn = void (*)(HWND owner, const char* text, const char* caption);
extern message_fn show_message;

// The message a finished call ends in: "Registration Successful" and so on.
std::string outcome_message(bool registering, HRESULT result);

// Loads the library file of that name beside the program, never one found
// elsewhere on the search path.
void CallServerEntry(HWND window, const char* library, bool registering);
void RegisterLibrary(HWND window, const char* library, bool registering);

}  // namespace kelbreg
