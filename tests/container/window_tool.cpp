// window_tool wait|close DESKTOP CAPTION | click DESKTOP CAPTION BUTTON: the screenshot script's hands in a
// Wine desktop. Waits for the window (and its button), clicks it or closes the window and waits until it is gone.
#include <windows.h>

#include <functional>
#include <string>

static bool poll(const std::function<bool()>& done)
{
    for (int i = 0; i < 1200; ++i, Sleep(100))
        if (done())
            return true;
    return false;
}

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 3 ? argv[1] : L"";
    HWND window = nullptr, button = nullptr;
    // The desktop may not exist yet: its program is still starting.
    bool done = argc == (mode == L"click" ? 5 : 4) &&
                poll([&] { return SetThreadDesktop(OpenDesktopW(argv[2], 0, FALSE, GENERIC_ALL)); }) &&
                poll([&] { return (window = FindWindowW(nullptr, argv[3])) != nullptr; });
    if (done && mode == L"click" &&
        (done = poll([&] { return (button = FindWindowExW(window, nullptr, nullptr, argv[4])) != nullptr; })))
        PostMessageW(button, BM_CLICK, 0, 0);
    if (done && mode == L"close") {
        PostMessageW(window, WM_CLOSE, 0, 0);
        done = poll([&] { return !IsWindow(window); });
    }
    return done ? 0 : 1;
}
