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

// For the whole machine (DllRegisterServer and DllUnregisterServer), or for
// the current user alone (DllInstall with "user"), as "/user" asks.
enum class scope { machine, user };
scope scope_of(const char* command_line);

// The message a finished call ends in: "Registration Successful" and so on,
// with "for the current user" after it when that was the scope.
std::string outcome_message(bool registering, HRESULT result, scope where = scope::machine);

// Loads the library file of that name beside the program, never one found
// elsewhere on the search path.
void CallServerEntry(HWND window, const char* library, bool registering, scope where = scope::machine);
void RegisterLibrary(HWND window, const char* library, bool registering, scope where = scope::machine);

}  // namespace kelbreg
