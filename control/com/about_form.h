// Form1, the About form: the library's description and two links to its
// maker, shown modally until the user closes it.
#pragma once

#include <windows.h>

namespace kelbcom {

void show_about_form();

// The open form's window while one is shown (tests close it through this).
HWND about_form_window();

}  // namespace kelbcom
