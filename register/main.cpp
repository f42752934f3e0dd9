// register.exe: one window with two buttons that register or unregister
// kelbzip2_201.ocx, and a note about administrator rights. "register /user"
// registers for the current user alone, which needs no such rights.
#include "register_entry.h"

namespace {

enum : int { id_register = 1, id_unregister = 2 };

// Positions are kept in twips, as the form was laid out, and turned into
// pixels for the screen at hand.
struct twips_rect {
    int left, top, width, height;
};
constexpr twips_rect register_button{1200, 720, 2175, 495};
constexpr twips_rect unregister_button{1200, 1800, 2175, 495};
constexpr twips_rect note_label{840, 3120, 2895, 1095};
constexpr int client_width = 4680;
constexpr int client_height = 4755;

const char note_text[] =
    "On Windows Vista you need to execute register.exe as admin , click with the right mouse button "
    "and select 'Run as admin'";

int dpi = 96;
kelbreg::scope scope = kelbreg::scope::machine;
int px(int twips) { return MulDiv(twips, dpi, 1440); }

HWND add_child(HWND parent, const char* cls, const char* text, DWORD style, const twips_rect& r, int id)
{
    HWND child = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, px(r.left), px(r.top), px(r.width),
                                 px(r.height), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleA(nullptr), nullptr);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return child;
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        add_child(window, "BUTTON", "Register kelbzip2_201.ocx", WS_TABSTOP | BS_PUSHBUTTON, register_button,
                  id_register);
        add_child(window, "BUTTON", "Unregister kelbzip2_201.ocx", WS_TABSTOP | BS_PUSHBUTTON,
                  unregister_button, id_unregister);
        add_child(window, "STATIC", note_text, SS_LEFT, note_label, 0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == id_register || LOWORD(wparam) == id_unregister)
            kelbreg::RegisterLibrary(window, kelbreg::library_file, LOWORD(wparam) == id_register, scope);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show)
{
    scope = kelbreg::scope_of(command_line);
    HDC screen = GetDC(nullptr);
    dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    WNDCLASSA cls{};
    cls.lpfnWndProc = window_proc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = "KELBRegisterForm";
    RegisterClassA(&cls);

    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, px(client_width), px(client_height)};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "Register on the system", style, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                  nullptr, instance, nullptr);
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}
