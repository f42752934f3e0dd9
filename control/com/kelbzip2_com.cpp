// The KELBzip2 ActiveX control: the portable control core behind a dual
// interface, events through a connection point, and its two poll timers on
// a message-only window of the thread that created it.
#include "about_form.h"
#include "activex_control.h"
#include "classes.h"
#include "kelbzip2_201_h.h"
#include "kelbzip2_control.h"

#include <functional>
#include <map>
#include <memory>
#include <new>

namespace kelbcom {

namespace {

kelb::text to_text(BSTR value)
{
    // A null BSTR is an empty text.
    return value ? kelb::text(reinterpret_cast<const char16_t*>(value), SysStringLen(value)) : kelb::text();
}

HRESULT to_bstr(const kelb::text& value, BSTR* out)
{
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()), static_cast<UINT>(value.size()));
    return *out || value.empty() ? S_OK : E_OUTOFMEMORY;
}

// Timers that tick on the thread that made them, through a message-only
// window: the host's message loop drives them, as it drives the control.
class window_timers : public kelb::timer_service {
public:
    window_timers()
    {
        static const bool registered = [] {
            WNDCLASSW cls{};
            cls.lpfnWndProc = window_proc;
            cls.hInstance = module_instance;
            cls.lpszClassName = L"KELBzip2_201Timers";
            return RegisterClassW(&cls) != 0;
        }();
        if (registered)
            window_ = CreateWindowExW(0, L"KELBzip2_201Timers", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      module_instance, this);
    }
    ~window_timers() override
    {
        if (window_)
            DestroyWindow(window_);
    }

    std::unique_ptr<kelb::poll_timer> create_timer(unsigned interval_ms, std::function<void()> tick) override
    {
        UINT_PTR id = next_id_++;
        ticks_[id] = std::move(tick);
        return std::make_unique<timer>(*this, id, interval_ms);
    }

private:
    class timer : public kelb::poll_timer {
    public:
        timer(window_timers& owner, UINT_PTR id, unsigned interval) : owner_(owner), id_(id), interval_(interval) {}
        ~timer() override
        {
            set_enabled(false);
            owner_.ticks_.erase(id_);
        }
        void set_enabled(bool enabled) override
        {
            if (!owner_.window_ || enabled == enabled_)
                return;
            enabled_ = enabled;
            if (enabled)
                SetTimer(owner_.window_, id_, interval_, nullptr);
            else
                KillTimer(owner_.window_, id_);
        }

    private:
        window_timers& owner_;
        UINT_PTR id_;
        unsigned interval_;
        bool enabled_ = false;
    };

    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<window_timers*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_TIMER && self) {
            auto it = self->ticks_.find(wparam);
            if (it != self->ticks_.end()) {
                auto tick = it->second;  // a tick may destroy the timer
                tick();
            }
            return 0;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }

    HWND window_ = nullptr;
    UINT_PTR next_id_ = 1;
    std::map<UINT_PTR, std::function<void()>> ticks_;
};

// 550 x 550 twips, the size the control keeps whatever its host asks.
constexpr LONG fixed_himetric = (550 * 2540 + 720) / 1440;

class kelbzip2_control : public activex_control, public _KELBzip2, private kelb::control_events {
public:
    kelbzip2_control() : activex_control(CLSID_KELBzip2, IID__KELBzip2, DIID___KELBzip2) {}

    void* find_interface(REFIID iid) { return activex_control::find_interface(iid); }
    KELB_IUNKNOWN_METHODS
    KELB_IDISPATCH_METHODS(dispatcher_)

    HRESULT STDMETHODCALLTYPE Compress(BSTR in, BSTR out, LONG* level, VARIANT* result) override
    {
        return job(result, [&] { core_.Compress(to_text(in), to_text(out), level ? *level : -1); });
    }
    HRESULT STDMETHODCALLTYPE CompressBzip3(BSTR in, BSTR out, LONG* level, VARIANT* result) override
    {
        return job(result, [&] { core_.CompressBzip3(to_text(in), to_text(out), level ? *level : -1); });
    }
    HRESULT STDMETHODCALLTYPE Decompress(BSTR in, BSTR out, VARIANT* result) override
    {
        return job(result, [&] { core_.Decompress(to_text(in), to_text(out)); });
    }
    HRESULT STDMETHODCALLTYPE DecompressBzip3(BSTR in, BSTR out, VARIANT* result) override
    {
        return job(result, [&] { core_.DecompressBzip3(to_text(in), to_text(out)); });
    }
    HRESULT STDMETHODCALLTYPE About(VARIANT* result) override
    {
        return job(result, [] { show_about_form(); });
    }
    HRESULT STDMETHODCALLTYPE PauseCompress(VARIANT* result) override
    {
        return job(result, [&] { core_.PauseCompress(); });
    }
    HRESULT STDMETHODCALLTYPE ResumeCompress(VARIANT* result) override
    {
        return job(result, [&] { core_.ResumeCompress(); });
    }
    HRESULT STDMETHODCALLTYPE CancelCompress(VARIANT* result) override
    {
        return job(result, [&] { core_.CancelCompress(); });
    }
    HRESULT STDMETHODCALLTYPE ControlName(BSTR* result) override { return to_bstr(core_.ControlName(), result); }
    HRESULT STDMETHODCALLTYPE GetCPUVendor(BSTR* result) override
    {
        return text_call(result, [&] { return core_.GetCPUVendor(); });
    }
    HRESULT STDMETHODCALLTYPE GetCPUBrandString(BSTR* result) override
    {
        return text_call(result, [&] { return core_.GetCPUBrandString(); });
    }
    HRESULT STDMETHODCALLTYPE Status(VARIANT_BOOL* result) override
    {
        if (!result)
            return E_POINTER;
        *result = VARIANT_FALSE;
        return guarded([&] { *result = core_.Status() ? VARIANT_TRUE : VARIANT_FALSE; });
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR title, BSTR filter, BSTR initial_dir, BSTR* result) override
    {
        return text_call(result, [&] { return core_.OpenFile(to_text(title), to_text(filter), to_text(initial_dir)); });
    }

protected:
    IDispatch* dispatch() override { return static_cast<_KELBzip2*>(this); }

    bool fixed_size(SIZEL& size) const override
    {
        size = {fixed_himetric, fixed_himetric};
        return true;
    }

    // Only a designer ever sees the control: its icon on a plain face.
    void paint(HDC hdc, const RECT& bounds) override
    {
        FillRect(hdc, &bounds, GetSysColorBrush(COLOR_BTNFACE));
        HICON icon = LoadIconW(module_instance, MAKEINTRESOURCEW(1));
        if (icon)
            DrawIcon(hdc, (bounds.left + bounds.right - 32) / 2, (bounds.top + bounds.bottom - 32) / 2, icon);
    }

private:
    template <class Fn>
    HRESULT guarded(Fn fn)
    {
        try {
            fn();
            return S_OK;
        } catch (const kelb::host_error& e) {
            return raise_error(IID__KELBzip2, e.number(), reinterpret_cast<const wchar_t*>(e.description().c_str()));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    // The job methods and their kin return an empty Variant, whatever happens.
    template <class Fn>
    HRESULT job(VARIANT* result, Fn fn)
    {
        if (result)
            VariantInit(result);
        return guarded(fn);
    }

    template <class Fn>
    HRESULT text_call(BSTR* result, Fn fn)
    {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        kelb::text answer;
        HRESULT hr = guarded([&] { answer = fn(); });
        return FAILED(hr) ? hr : to_bstr(answer, result);
    }

    void Progress(int32_t& Progressvalue) override
    {
        VARIANTARG arg;
        arg.vt = VT_BYREF | VT_I4;
        arg.plVal = reinterpret_cast<LONG*>(&Progressvalue);
        fire(2, &arg, 1);
    }

    void ErrorCode(int32_t& ErrorNumber, kelb::text& ErrorDescription) override
    {
        BSTR description = nullptr;
        to_bstr(ErrorDescription, &description);
        VARIANTARG args[2];  // last argument first
        args[0].vt = VT_BYREF | VT_BSTR;
        args[0].pbstrVal = &description;
        args[1].vt = VT_BYREF | VT_I4;
        args[1].plVal = reinterpret_cast<LONG*>(&ErrorNumber);
        fire(3, args, 2);
        ErrorDescription = to_text(description);
        SysFreeString(description);
    }

    void Finished() override { fire(1); }

    typelib_dispatch dispatcher_{IID__KELBzip2};
    window_timers timers_;
    kelb::KELBzip2 core_{*this, timers_};
};

}  // namespace

HRESULT create_kelbzip2(REFIID iid, void** out)
{
    return create_instance<kelbzip2_control>(iid, out);
}

}  // namespace kelbcom
