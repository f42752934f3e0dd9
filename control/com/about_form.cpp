#include "about_form.h"

#include "com_support.h"
#include "product.h"

#include <shellapi.h>

#include <string>
#include <vector>

namespace kelbcom {

namespace {

const char maker_web[] = "http://www.tessel.example/";

enum : int { id_web = 2, id_mail = 4, id_text = 1, id_exit = 3 };

struct twips_rect {
    int left, top, width, height;
};
constexpr twips_rect web_label{1560, 720, 3015, 255};
constexpr twips_rect mail_label{1320, 960, 3255, 255};
constexpr twips_rect description_box{480, 1680, 3855, 2775};
constexpr twips_rect exit_button{3000, 4920, 1335, 375};
constexpr int client_width = 4830, client_height = 5640;

HWND open_form = nullptr;
HFONT link_font = nullptr;

int dpi()
{
    HDC screen = GetDC(nullptr);
    int value = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return value;
}

int px(int twips) { return MulDiv(twips, dpi(), 1440); }

std::string narrow(const char16_t* value)
{
    int length = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(value), -1, nullptr, 0, nullptr, nullptr);
    std::string out(length > 0 ? length - 1 : 0, '\0');
    if (length > 1)
        WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(value), -1, out.data(), length, nullptr, nullptr);
    return out;
}

HWND add_child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, DWORD ex_style,
               const twips_rect& r, int id, HFONT font)
{
    HWND child = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, px(r.left), px(r.top),
                                 px(r.width), px(r.height), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 module_instance, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return child;
}

// The shell opens a link; what it makes of it is not looked at.
void open_link(HWND owner, const std::string& target)
{
    ShellExecuteA(owner, "open", target.c_str(), "", "C:\\", SW_SHOWNORMAL);
}

LRESULT CALLBACK form_proc(HWND form, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE: {
        HFONT normal = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        if (!link_font) {
            LOGFONTW font{};
            font.lfHeight = -MulDiv(825, dpi(), 7200);  // 8.25 points
            font.lfUnderline = TRUE;
            lstrcpyW(font.lfFaceName, L"MS Sans Serif");
            link_font = CreateFontIndirectW(&font);
        }
        std::wstring web(maker_web, maker_web + sizeof maker_web - 1);
        std::wstring mail(reinterpret_cast<const wchar_t*>(kelb::maker_contact));
        add_child(form, L"STATIC", web.c_str(), SS_NOTIFY, 0, web_label, id_web, link_font);
        add_child(form, L"STATIC", mail.c_str(), SS_NOTIFY, 0, mail_label, id_mail, link_font);
        add_child(form, L"EDIT", reinterpret_cast<const wchar_t*>(kelb::about_text),
                  ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, WS_EX_CLIENTEDGE, description_box,
                  id_text, normal);
        add_child(form, L"BUTTON", L"Exit", BS_PUSHBUTTON | WS_TABSTOP, 0, exit_button, id_exit, normal);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The two links are blue, as links are.
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == id_web ||
            GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == id_mail) {
            HDC hdc = reinterpret_cast<HDC>(wparam);
            SetTextColor(hdc, RGB(0, 0, 255));
            SetBkMode(hdc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case id_web:
            if (HIWORD(wparam) == STN_CLICKED)
                open_link(form, maker_web);
            return 0;
        case id_mail:
            if (HIWORD(wparam) == STN_CLICKED)
                open_link(form, "mailto:" + narrow(kelb::maker_contact));
            return 0;
        case id_exit:
            DestroyWindow(form);
            return 0;
        default:
            break;
        }
        break;
    case WM_DESTROY:
        open_form = nullptr;
        return 0;
    default:
        break;
    }
    return DefWindowProcW(form, message, wparam, lparam);
}

BOOL CALLBACK collect_enabled(HWND window, LPARAM list)
{
    if (IsWindowVisible(window) && IsWindowEnabled(window))
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

}  // namespace

HWND about_form_window() { return open_form; }

void show_about_form()
{
    static const bool registered = [] {
        WNDCLASSW cls{};
        cls.lpfnWndProc = form_proc;
        cls.hInstance = module_instance;
        cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
        cls.hIcon = LoadIconW(module_instance, MAKEINTRESOURCEW(1));
        cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        cls.lpszClassName = L"KELBzip2_201About";
        return RegisterClassW(&cls) != 0;
    }();
    if (!registered || open_form)
        return;

    // Modal: the thread's other windows wait until the form is closed.
    std::vector<HWND> disabled;
    EnumThreadWindows(GetCurrentThreadId(), collect_enabled, reinterpret_cast<LPARAM>(&disabled));
    for (HWND w : disabled)
        EnableWindow(w, FALSE);

    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, px(client_width), px(client_height)};
    AdjustWindowRect(&frame, style, FALSE);
    open_form = CreateWindowExW(WS_EX_DLGMODALFRAME, L"KELBzip2_201About",
                                reinterpret_cast<const wchar_t*>(kelb::control_title), style, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                module_instance, nullptr);
    if (open_form) {
        ShowWindow(open_form, SW_SHOWNORMAL);
        MSG msg{};
        while (open_form && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (!IsDialogMessageW(open_form, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (msg.message == WM_QUIT)
            PostQuitMessage(static_cast<int>(msg.wParam));
    }
    for (HWND w : disabled)
        EnableWindow(w, TRUE);
}

}  // namespace kelbcom
