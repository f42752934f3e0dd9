// The ProgBar ActiveX control: the bar's model behind a dual interface,
// drawn in a child window of its container, or into any device context.
#include "activex_control.h"
#include "classes.h"
#include "kelbzip2_201_h.h"
#include "progbar.h"

#include <cstring>
#include <new>

namespace kelbcom {

namespace {

class progbar_control : public activex_control, public _ProgBar, private kelb::progbar_surface {
public:
    progbar_control() : activex_control(CLSID_ProgBar, IID__ProgBar, DIID___ProgBar) {}

    void* find_interface(REFIID iid) { return activex_control::find_interface(iid); }
    KELB_IUNKNOWN_METHODS
    KELB_IDISPATCH_METHODS(dispatcher_)

    HRESULT STDMETHODCALLTYPE put_BackColor(OLE_COLOR value) override
    {
        return put([&] { bar_.put_BackColor(value); });
    }
    HRESULT STDMETHODCALLTYPE get_BackColor(OLE_COLOR* value) override { return get(value, OLE_COLOR(bar_.BackColor())); }
    HRESULT STDMETHODCALLTYPE put_BarColor(OLE_COLOR value) override
    {
        return put([&] { bar_.put_BarColor(value); });
    }
    HRESULT STDMETHODCALLTYPE get_BarColor(OLE_COLOR* value) override { return get(value, OLE_COLOR(bar_.BarColor())); }
    HRESULT STDMETHODCALLTYPE put_Vertical(VARIANT_BOOL value) override
    {
        return put([&] { bar_.put_Vertical(value != VARIANT_FALSE); });
    }
    HRESULT STDMETHODCALLTYPE get_Vertical(VARIANT_BOOL* value) override
    {
        return get(value, VARIANT_BOOL(bar_.Vertical() ? VARIANT_TRUE : VARIANT_FALSE));
    }
    HRESULT STDMETHODCALLTYPE put_Max(LONG value) override { return put([&] { bar_.put_Max(value); }); }
    HRESULT STDMETHODCALLTYPE get_Max(LONG* value) override { return get(value, LONG(bar_.Max())); }
    HRESULT STDMETHODCALLTYPE put_Min(LONG value) override { return put([&] { bar_.put_Min(value); }); }
    HRESULT STDMETHODCALLTYPE get_Min(LONG* value) override { return get(value, LONG(bar_.Min())); }
    HRESULT STDMETHODCALLTYPE put_Value(LONG value) override { return put([&] { bar_.put_Value(value); }); }
    HRESULT STDMETHODCALLTYPE get_Value(LONG* value) override { return get(value, LONG(bar_.Value())); }
    HRESULT STDMETHODCALLTYPE put_BorderStyle(BorderStyles value) override
    {
        return put([&] { bar_.put_BorderStyle(value); });
    }
    HRESULT STDMETHODCALLTYPE get_BorderStyle(BorderStyles* value) override
    {
        return get(value, BorderStyles(bar_.BorderStyle()));
    }

protected:
    IDispatch* dispatch() override { return static_cast<_ProgBar*>(this); }
    bool has_window() const override { return true; }
    DWORD window_style() const override { return bar_.BorderStyle() == kelb::bdFixedSingle ? WS_BORDER : 0; }
    void on_click() override { fire(1); }

    void init_new() override { bar_.InitNew(); }
    void load_properties(kelb::property_bag& bag) override { bar_.ReadProperties(bag); }
    void save_properties(kelb::property_bag& bag) override { bar_.WriteProperties(bag); }

    // The inner area is Max - Min units wide and high; each rectangle covers
    // the pixels of its units, edges included.
    void paint(HDC hdc, const RECT& bounds) override
    {
        const int32_t units = bar_.Max() - bar_.Min();
        const LONG width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
        if (units <= 0 || width <= 0 || height <= 0)
            return;
        auto across = [&](int32_t x) { return bounds.left + LONG(int64_t(x) * width / units); };
        auto down = [&](int32_t y) { return bounds.top + LONG(int64_t(y) * height / units); };
        for (const kelb::bar_rectangle& r : bar_.Paint(units, units)) {
            RECT pixels{across(std::min(r.x1, r.x2)), down(std::min(r.y1, r.y2)), across(std::max(r.x1, r.x2)),
                        down(std::max(r.y1, r.y2))};
            if (pixels.right == pixels.left)
                ++pixels.right;
            if (pixels.bottom == pixels.top)
                ++pixels.bottom;
            IntersectRect(&pixels, &pixels, &bounds);
            COLORREF colour = 0;
            OleTranslateColor(r.color, nullptr, &colour);
            HBRUSH brush = CreateSolidBrush(colour);
            FillRect(hdc, &pixels, brush);
            DeleteObject(brush);
        }
    }

private:
    template <class Fn>
    HRESULT put(Fn fn)
    {
        try {
            fn();
            return S_OK;
        } catch (HRESULT hr) {
            return hr;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    template <class T>
    static HRESULT get(T* out, T value)
    {
        if (!out)
            return E_POINTER;
        *out = value;
        return S_OK;
    }

    // What the model asks of its surface.
    void set_back_color(uint32_t color) override
    {
        COLORREF ignored;
        HRESULT hr = OleTranslateColor(color, nullptr, &ignored);
        if (FAILED(hr))
            throw hr;
        invalidate();
    }
    void set_border(int32_t style) override
    {
        HWND w = window();
        if (!w)
            return;
        LONG_PTR current = GetWindowLongPtrW(w, GWL_STYLE);
        LONG_PTR wanted = style == kelb::bdFixedSingle ? (current | WS_BORDER) : (current & ~LONG_PTR(WS_BORDER));
        if (wanted != current) {
            SetWindowLongPtrW(w, GWL_STYLE, wanted);
            SetWindowPos(w, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
        }
    }
    void set_scale(int32_t, int32_t) override {}  // paint() maps units to pixels itself
    void repaint() override { invalidate(); }
    void property_changed(const char* name) override
    {
        static const struct {
            const char* name;
            DISPID id;
        } ids[] = {{"BackColor", 0x68030006}, {"BarColor", 0x68030005}, {"Vertical", 0x68030004},
                   {"Max", 0x68030003},       {"Min", 0x68030002},      {"Value", 0x68030001},
                   {"BorderStyle", 0x68030000}};
        for (const auto& entry : ids)
            if (!strcmp(entry.name, name))
                notify_changed(entry.id);
    }

    typelib_dispatch dispatcher_{IID__ProgBar};
    kelb::ProgBar bar_{*this};
};

}  // namespace

HRESULT create_progbar(REFIID iid, void** out)
{
    return create_instance<progbar_control>(iid, out);
}

}  // namespace kelbcom
