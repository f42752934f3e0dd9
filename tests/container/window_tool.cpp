// window_tool wait|close|gone DESKTOP CAPTION | click DESKTOP CAPTION BUTTON:
// the hands of the screenshot script in the Wine desktop DESKTOP. Waits until
// a window with CAPTION exists (and has the button), then clicks the button
// or closes the window and waits until it is gone; "gone" waits until no
// window has CAPTION. Exit code 1 when that does not happen in two minutes.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

bool poll(const std::function<bool()>& done)
{
    for (int i = 0; i < 1200; ++i, Sleep(100))
        if (done())
            return true;
    return false;
}

HWND button_of(HWND parent, const wchar_t* text)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t label[128] = {};
        GetWindowTextW(child, label, 128);
        if (lstrcmpW(label, text) == 0)
            return child;
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 3 ? argv[1] : L"";
    const wchar_t* caption = argc > 3 ? argv[3] : L"";
    HWND window = nullptr, button = nullptr;
    // The desktop may not exist yet: its program is still starting.
    bool done = argc == (mode == L"click" ? 5 : 4) && poll([&] {
        HDESK desktop = OpenDesktopW(argv[2], 0, FALSE, GENERIC_ALL);
        return desktop && SetThreadDesktop(desktop);
    });
    if (done && mode == L"gone")
        done = poll([&] { return !FindWindowW(nullptr, caption); });
    else if (done)
        done = poll([&] { return (window = FindWindowW(nullptr, caption)) != nullptr; });
    if (done && mode == L"click" && (done = poll([&] { return (button = button_of(window, argv[4])) != nullptr; })))
        PostMessageW(button, BM_CLICK, 0, 0);
    if (done && mode == L"close") {
        PostMessageW(window, WM_CLOSE, 0, 0);
        done = poll([&] { return !IsWindow(window); });
    }
    if (!done)
        std::fprintf(stderr, "window_tool %ls: failed for %ls\n", mode.c_str(), caption);
    return done ? 0 : 1;
}
