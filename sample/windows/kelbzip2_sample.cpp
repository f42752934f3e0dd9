// kelbzip2_sample.exe: a Windows form that hosts the KELBzip2 control and a
// ProgBar through the ActiveX container of atl.dll. It compresses a file,
// restores it, and lists every ErrorCode and Finished event of the control,
// with the bar following the Progress event.
//
//   kelbzip2_sample.exe [/bzip3] [FILE]
//
// With FILE the round trip starts at once; "Choose file..." picks another
// through the control's OpenFile. The results go beside the file: FILE.bz2
// (FILE.bz3 in the Bzip3 format) and FILE.restored, both overwritten.
//
// kelbzip2_201.ocx must be registered first (register.exe or regsvr32).
#include <initguid.h>  // the type library's identifiers are defined here

#include "kelbzip2_201_h.h"

#include <ocidl.h>
#include <olectl.h>
#include <shellapi.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The ActiveX container of atl.dll, which every Windows has: it makes a
// window the site of a control. Looked up at run time, as MinGW's 32-bit
// toolchain has no import library for it.
using create_control_fn = HRESULT(WINAPI*)(LPCOLESTR name, HWND window, IStream* saved, IUnknown** container,
                                           IUnknown** control, REFIID sink_iid, IUnknown* sink);

create_control_fn atl_create_control()
{
    static const create_control_fn create = [] {
        HMODULE atl = LoadLibraryW(L"atl.dll");
        return atl ? reinterpret_cast<create_control_fn>(
                         reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxCreateControlEx")))
                   : nullptr;
    }();
    return create;
}

// Dispatch ids of the control's events (__KELBzip2).
enum : DISPID { event_finished = 1, event_progress = 2, event_error_code = 3 };

enum : int {
    id_choose = 100,
    id_start,
    id_pause,
    id_resume,
    id_cancel,
    id_about,
    id_bzip3,
};

const wchar_t window_class[] = L"KELBzip2SampleForm";
const wchar_t window_title[] = L"KELBzip2 sample";

// A COM pointer that releases what it holds.
template <class T>
class com_ptr {
public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put()
    {
        reset();
        return &p_;
    }
    void reset()
    {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

class bstr {
public:
    explicit bstr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), UINT(text.size()))) {}
    ~bstr() { SysFreeString(b_); }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    operator BSTR() const { return b_; }

private:
    BSTR b_;
};

// What the form does with the control's events.
class event_handler {
public:
    virtual void on_progress(long percent) = 0;
    virtual void on_error_code(long number, const std::wstring& description) = 0;
    virtual void on_finished() = 0;

protected:
    ~event_handler() = default;
};

// The sink the control calls through its connection point. Events arrive
// on the form's thread, from inside its message loop.
class control_events : public IDispatch {
public:
    explicit control_events(event_handler& handler) : handler_(handler) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___KELBzip2) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by the form, which outlives its connection.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        // Arguments come by reference and last first.
        switch (id) {
        case event_progress:
            if (params->cArgs == 1)
                handler_.on_progress(as_long(params->rgvarg[0]));
            return S_OK;
        case event_error_code:
            if (params->cArgs == 2)
                handler_.on_error_code(as_long(params->rgvarg[1]), as_text(params->rgvarg[0]));
            return S_OK;
        case event_finished:
            handler_.on_finished();
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    static long as_long(VARIANT& arg)
    {
        VARIANT v;
        VariantInit(&v);
        long value = 0;
        if (SUCCEEDED(VariantChangeType(&v, &arg, 0, VT_I4)))
            value = v.lVal;
        VariantClear(&v);
        return value;
    }
    static std::wstring as_text(VARIANT& arg)
    {
        VARIANT v;
        VariantInit(&v);
        std::wstring value;
        if (SUCCEEDED(VariantChangeType(&v, &arg, 0, VT_BSTR)) && v.bstrVal)
            value.assign(v.bstrVal, SysStringLen(v.bstrVal));
        VariantClear(&v);
        return value;
    }

    event_handler& handler_;
};

bool same_contents(const std::wstring& a, const std::wstring& b)
{
    auto open = [](const std::wstring& name) {
        return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    };
    HANDLE fa = open(a), fb = open(b);
    bool same = fa != INVALID_HANDLE_VALUE && fb != INVALID_HANDLE_VALUE;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        DWORD na = 0, nb = 0;
        if (!ReadFile(fa, ba.data(), DWORD(ba.size()), &na, nullptr) ||
            !ReadFile(fb, bb.data(), DWORD(bb.size()), &nb, nullptr) || na != nb ||
            memcmp(ba.data(), bb.data(), na) != 0) {
            same = false;
            break;
        }
        if (na == 0)
            break;
    }
    if (fa != INVALID_HANDLE_VALUE)
        CloseHandle(fa);
    if (fb != INVALID_HANDLE_VALUE)
        CloseHandle(fb);
    return same;
}

class sample_form : private event_handler {
public:
    sample_form(std::wstring file, bool bzip3) : file_(std::move(file)), bzip3_(bzip3) {}

    bool create(HINSTANCE instance, int show)
    {
        WNDCLASSW cls{};
        cls.lpfnWndProc = window_proc;
        cls.hInstance = instance;
        cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
        cls.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
        cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        cls.lpszClassName = window_class;
        RegisterClassW(&cls);

        DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
        RECT frame{0, 0, 520, 340};
        AdjustWindowRect(&frame, style, FALSE);
        window_ = CreateWindowExW(0, window_class, window_title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                                  this);
        if (!window_)
            return false;
        if (!place_controls()) {
            MessageBoxW(window_,
                        L"The KELBzip2 controls could not be created.\n"
                        L"Register kelbzip2_201.ocx first (register.exe or regsvr32).",
                        window_title, MB_OK | MB_ICONERROR);
            DestroyWindow(window_);
            return false;
        }
        ShowWindow(window_, show);
        UpdateWindow(window_);
        show_file();
        if (!file_.empty())
            PostMessageW(window_, WM_COMMAND, id_start, 0);
        return true;
    }

    HWND window() const { return window_; }

private:
    enum class stage { idle, compressing, restoring };

    HWND add(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id = 0)
    {
        HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, window_,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                     GetModuleHandleW(nullptr), nullptr);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return child;
    }

    void add_children()
    {
        add(L"STATIC", L"File:", SS_LEFT, 12, 14, 40, 16);
        file_label_ = add(L"STATIC", L"", SS_LEFT | SS_PATHELLIPSIS, 56, 14, 444, 16);
        add(L"BUTTON", L"Choose file...", BS_PUSHBUTTON | WS_TABSTOP, 12, 40, 110, 26, id_choose);
        add(L"BUTTON", L"Compress and restore", BS_DEFPUSHBUTTON | WS_TABSTOP, 130, 40, 150, 26, id_start);
        bzip3_box_ = add(L"BUTTON", L"Bzip3 format", BS_AUTOCHECKBOX | WS_TABSTOP, 296, 44, 120, 18, id_bzip3);
        SendMessageW(bzip3_box_, BM_SETCHECK, bzip3_ ? BST_CHECKED : BST_UNCHECKED, 0);
        add(L"BUTTON", L"Pause", BS_PUSHBUTTON | WS_TABSTOP, 12, 74, 80, 26, id_pause);
        add(L"BUTTON", L"Resume", BS_PUSHBUTTON | WS_TABSTOP, 100, 74, 80, 26, id_resume);
        add(L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 188, 74, 80, 26, id_cancel);
        add(L"BUTTON", L"About", BS_PUSHBUTTON | WS_TABSTOP, 420, 74, 80, 26, id_about);
        status_ = add(L"STATIC", L"Idle", SS_LEFT, 12, 144, 488, 16);
        add(L"STATIC", L"Events:", SS_LEFT, 12, 166, 100, 16);
        events_ = add(L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | WS_TABSTOP, 12, 184, 488, 144);
    }

    // The two ActiveX controls, each in a site window of its own. KELBzip2
    // is invisible at run time, so its site stays hidden.
    bool place_controls()
    {
        HWND zip_site = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 460, 12, 37, 37, window_, nullptr,
                                        GetModuleHandleW(nullptr), nullptr);
        HWND bar_site = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 12, 110, 488,
                                        24, window_, nullptr, GetModuleHandleW(nullptr), nullptr);
        com_ptr<IUnknown> zip, bar;
        if (!place(L"KELBzip2_201.KELBzip2", zip_site, zip) || !place(L"KELBzip2_201.ProgBar", bar_site, bar))
            return false;
        if (FAILED(zip->QueryInterface(IID__KELBzip2, reinterpret_cast<void**>(zip_.put()))) ||
            FAILED(bar->QueryInterface(IID__ProgBar, reinterpret_cast<void**>(bar_.put()))))
            return false;
        bar_->put_Value(0);
        return connect_events(zip.get());
    }

    static bool place(const wchar_t* prog_id, HWND site, com_ptr<IUnknown>& control)
    {
        create_control_fn create = atl_create_control();
        com_ptr<IUnknown> container;
        return create &&
               SUCCEEDED(create(prog_id, site, nullptr, container.put(), control.put(), IID_IUnknown, nullptr)) &&
               control;
    }

    bool connect_events(IUnknown* control)
    {
        com_ptr<IConnectionPointContainer> points;
        if (FAILED(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(points.put()))))
            return false;
        if (FAILED(points->FindConnectionPoint(DIID___KELBzip2, event_point_.put())))
            return false;
        return SUCCEEDED(event_point_->Advise(&sink_, &cookie_));
    }

    void release_controls()
    {
        if (event_point_) {
            event_point_->Unadvise(cookie_);
            event_point_.reset();
        }
        zip_.reset();
        bar_.reset();
    }

    void show_file()
    {
        SetWindowTextW(file_label_, file_.empty() ? L"(none: choose one)" : file_.c_str());
    }

    void log(const std::wstring& line)
    {
        LRESULT index = SendMessageW(events_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        SendMessageW(events_, LB_SETTOPINDEX, index, 0);
    }

    std::wstring packed_name() const { return file_ + (bzip3_ ? L".bz3" : L".bz2"); }
    std::wstring restored_name() const { return file_ + L".restored"; }

    void choose_file()
    {
        BSTR chosen = nullptr;
        bstr title(L"Choose a file to compress"), filter(L"All files (*.*)|*.*"), dir(L"");
        if (SUCCEEDED(zip_->OpenFile(title, filter, dir, &chosen)) && chosen && SysStringLen(chosen) > 0) {
            file_.assign(chosen, SysStringLen(chosen));
            show_file();
            if (stage_ == stage::idle)
                start();
        }
        SysFreeString(chosen);
    }

    // Compression first; on_finished starts the restore when it succeeded.
    // Called only while no job of this form runs.
    void start()
    {
        if (file_.empty()) {
            choose_file();
            return;
        }
        bzip3_ = SendMessageW(bzip3_box_, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(events_, LB_RESETCONTENT, 0, 0);
        log(std::wstring(bzip3_ ? L"Compress (Bzip3) to " : L"Compress (bzip2) to ") + packed_name());
        run_job(stage::compressing, [&](VARIANT* result) {
            bstr in(file_), out(packed_name());
            LONG level = 9;
            return bzip3_ ? zip_->CompressBzip3(in, out, &level, result) : zip_->Compress(in, out, &level, result);
        });
    }

    void restore()
    {
        log(L"Restore to " + restored_name());
        run_job(stage::restoring, [&](VARIANT* result) {
            bstr in(packed_name()), out(restored_name());
            return bzip3_ ? zip_->DecompressBzip3(in, out, result) : zip_->Decompress(in, out, result);
        });
    }

    // A refused call raises ErrorCode during the call and no Finished follows,
    // so the stage is set before the call and cleared by the refusal.
    template <class Call>
    void run_job(stage next, Call call)
    {
        stage_ = next;
        starting_ = true;
        VARIANT result;
        VariantInit(&result);
        HRESULT hr = call(&result);
        VariantClear(&result);
        starting_ = false;
        if (FAILED(hr)) {
            stage_ = stage::idle;
            log(L"The call failed: " + error_text(hr));
        }
    }

    static std::wstring error_text(HRESULT hr)
    {
        std::wstring text;
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            BSTR description = nullptr;
            if (SUCCEEDED(info->GetDescription(&description)) && description)
                text = description;
            SysFreeString(description);
            info->Release();
        }
        wchar_t code[16];
        wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(hr));
        return text.empty() ? code : text + L" (" + code + L")";
    }

    void on_progress(long percent) override
    {
        bar_->put_Value(percent);
        const wchar_t* doing = stage_ == stage::restoring ? L"Restoring" : L"Compressing";
        SetWindowTextW(status_, (std::wstring(doing) + L": " + std::to_wstring(percent) + L" %").c_str());
    }

    void on_error_code(long number, const std::wstring& description) override
    {
        last_code_ = number;
        log(L"ErrorCode " + std::to_wstring(number) + L": " + description);
        if (starting_ && number != 0) {
            stage_ = stage::idle;
            SetWindowTextW(status_, L"Refused");
        }
    }

    void on_finished() override
    {
        log(L"Finished");
        stage done = stage_;
        stage_ = stage::idle;
        if (last_code_ != 0) {
            SetWindowTextW(status_, L"Stopped");
            return;
        }
        if (done == stage::compressing) {
            restore();
        } else if (done == stage::restoring) {
            bool same = same_contents(file_, restored_name());
            log(same ? L"The restored file is identical to the original" : L"The restored file DIFFERS");
            SetWindowTextW(status_, same ? L"Done" : L"Done, with a difference");
        }
    }

    void on_command(int id)
    {
        VARIANT result;
        VariantInit(&result);
        switch (id) {
        case id_choose: choose_file(); break;
        case id_start:
            if (stage_ == stage::idle)
                start();
            break;
        case id_pause: zip_->PauseCompress(&result); break;
        case id_resume: zip_->ResumeCompress(&result); break;
        case id_cancel: zip_->CancelCompress(&result); break;
        case id_about: zip_->About(&result); break;
        default: break;
        }
        VariantClear(&result);
    }

    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<sample_form*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!self)
            return DefWindowProcW(window, message, wparam, lparam);
        switch (message) {
        case WM_CREATE:
            self->window_ = window;
            self->add_children();
            return 0;
        case WM_COMMAND:
            if (self->zip_)
                self->on_command(LOWORD(wparam));
            return 0;
        case WM_DESTROY:
            // Releasing the control ends a running job before the form goes.
            self->release_controls();
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
        }
    }

    std::wstring file_;
    bool bzip3_;
    HWND window_ = nullptr, file_label_ = nullptr, bzip3_box_ = nullptr, status_ = nullptr, events_ = nullptr;
    com_ptr<_KELBzip2> zip_;
    com_ptr<_ProgBar> bar_;
    control_events sink_{*this};
    com_ptr<IConnectionPoint> event_point_;
    DWORD cookie_ = 0;
    stage stage_ = stage::idle;
    bool starting_ = false;
    long last_code_ = 0;
};

std::wstring full_path(const wchar_t* name)
{
    wchar_t buffer[MAX_PATH];
    DWORD length = GetFullPathNameW(name, MAX_PATH, buffer, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring(name);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring file;
    bool bzip3 = false;
    for (int i = 1; argv && i < argc; ++i) {
        if (lstrcmpiW(argv[i], L"/bzip3") == 0)
            bzip3 = true;
        else
            file = full_path(argv[i]);
    }
    LocalFree(argv);

    // The controls are apartment-threaded: they live on this thread.
    if (FAILED(OleInitialize(nullptr)))
        return 1;
    int status = 1;
    {
        sample_form form(file, bzip3);
        if (form.create(instance, show)) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (!IsDialogMessageW(form.window(), &msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
            status = static_cast<int>(msg.wParam);
        }
    }
    OleUninitialize();
    return status;
}
