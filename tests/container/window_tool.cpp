// window_tool.exe: the hands of the screenshot script, under Wine.
//
//   window_tool about                          shows the KELBzip2 About form
//   window_tool wait  DESKTOP CAPTION          until a window with CAPTION exists
//   window_tool click DESKTOP CAPTION BUTTON   clicks a button of that window
//   window_tool close DESKTOP CAPTION          sends it WM_CLOSE, waits until it is gone
//   window_tool gone  DESKTOP CAPTION          until no window has CAPTION
//
// DESKTOP names the Wine desktop the programs were started in. Exit code 0
// when the step did what it says, 1 when a window never came or never went.
#include <ole2.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const DWORD bound_ms = 120000;

// The desktop may not exist yet: its program is still starting.
bool enter_desktop(const wchar_t* name)
{
    for (DWORD waited = 0; waited < bound_ms; waited += 100) {
        if (HDESK desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL))
            return SetThreadDesktop(desktop);
        Sleep(100);
    }
    return false;
}

HWND wait_for_window(const wchar_t* caption)
{
    for (DWORD waited = 0; waited < bound_ms; waited += 100) {
        if (HWND w = FindWindowW(nullptr, caption))
            return w;
        Sleep(100);
    }
    return nullptr;
}

bool wait_until_gone(HWND w)
{
    for (DWORD waited = 0; waited < bound_ms; waited += 100) {
        if (!IsWindow(w))
            return true;
        Sleep(100);
    }
    return false;
}

HWND find_button(HWND parent, const wchar_t* text)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[32] = {}, label[128] = {};
        GetClassNameW(child, cls, 32);
        GetWindowTextW(child, label, 128);
        if (lstrcmpiW(cls, L"Button") == 0 && lstrcmpW(label, text) == 0)
            return child;
    }
    return nullptr;
}

// The control created by its programmatic identifier, About called through
// IDispatch as a script would; returns when the form has been closed.
int show_about()
{
    if (FAILED(OleInitialize(nullptr)))
        return 1;
    int status = 1;
    CLSID clsid;
    IDispatch* control = nullptr;
    if (SUCCEEDED(CLSIDFromProgID(L"KELBzip2_201.KELBzip2", &clsid)) &&
        SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&control)))) {
        LPOLESTR name = const_cast<LPOLESTR>(L"About");
        DISPID id = 0;
        DISPPARAMS none{};
        VARIANT result;
        VariantInit(&result);
        if (SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)) &&
            SUCCEEDED(control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr,
                                      nullptr)))
            status = 0;
        VariantClear(&result);
        control->Release();
    }
    OleUninitialize();
    return status;
}

int fail(const char* what, const wchar_t* caption)
{
    std::fprintf(stderr, "window_tool: %s: %ls\n", what, caption);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"about" && argc == 2)
        return show_about();
    bool known = mode == L"wait" || mode == L"close" || mode == L"click" || mode == L"gone";
    if (!known || argc != (mode == L"click" ? 5 : 4)) {
        std::fprintf(stderr, "usage: window_tool about | wait|close|gone DESKTOP CAPTION | "
                             "click DESKTOP CAPTION BUTTON\n");
        return 2;
    }
    const wchar_t* caption = argv[3];
    if (!enter_desktop(argv[2]))
        return fail("no such desktop", argv[2]);
    if (mode == L"gone") {
        for (DWORD waited = 0; waited < bound_ms; waited += 100) {
            if (!FindWindowW(nullptr, caption))
                return 0;
            Sleep(100);
        }
        return fail("window stayed", caption);
    }
    HWND window = wait_for_window(caption);
    if (!window)
        return fail("no window", caption);
    if (mode == L"wait")
        return 0;
    if (mode == L"click") {
        // The window may have its caption before its buttons exist.
        HWND button = nullptr;
        for (DWORD waited = 0; !button && waited < bound_ms; waited += 100) {
            if (!(button = find_button(window, argv[4])))
                Sleep(100);
        }
        if (!button)
            return fail("no such button", argv[4]);
        PostMessageW(button, BM_CLICK, 0, 0);
        return 0;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    return wait_until_gone(window) ? 0 : fail("window stayed", caption);
}
