// Both controls of the library as a form meets them: placed in windows of a
// test form by Wine's ATL container, then driven through the interfaces a
// container uses (embedding, in-place activation, drawing, persistence,
// property notification, events).
#include <initguid.h>

#include "kelbzip2_201_h.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// atl.dll's container entry point, found at run time: MinGW has no 32-bit
// import library for it.
HRESULT AtlAxCreateControlEx(LPCOLESTR name, HWND window, IStream* saved, IUnknown** container, IUnknown** control,
                             REFIID sink_iid, IUnknown* sink)
{
    using entry = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**, IUnknown**, REFIID, IUnknown*);
    static const auto create =
        reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"atl.dll"), "AtlAxCreateControlEx")));
    return create ? create(name, window, saved, container, control, sink_iid, sink) : E_NOTIMPL;
}

using Microsoft::WRL::ComPtr;

const wchar_t progbar_id[] = L"KELBzip2_201.ProgBar";
const wchar_t kelbzip2_id[] = L"KELBzip2_201.KELBzip2";

// The tests run in a Wine desktop of their own: its windows then use this
// process's display, whatever display the prefix's default desktop got from
// the program that started it.
class desktop_environment : public testing::Environment {
public:
    void SetUp() override
    {
        HDESK desktop = CreateDesktopW(L"kelb_container_test", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_NE(nullptr, desktop);
        ASSERT_TRUE(SetThreadDesktop(desktop));
        ASSERT_EQ(S_OK, OleInitialize(nullptr));
    }
    void TearDown() override { OleUninitialize(); }
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new desktop_environment);

void pump_messages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Waits for cond while the thread's messages (and so the controls' timers)
// are handled, the way a host's message loop runs them.
bool pump_until(const std::function<bool()>& cond)
{
    return kelbtest::wait_until([&] {
        pump_messages();
        return cond();
    });
}

// A panel of the test window with one child window per placed control; ATL
// makes each child the control's site. The top-level window is shared by all
// tests: under Xvfb, with no window manager, Wine waits two seconds for each
// top-level window it destroys.
class form {
public:
    form()
    {
        static const HWND top = [] {
            WNDCLASSW cls{};
            cls.lpfnWndProc = DefWindowProcW;
            cls.hInstance = GetModuleHandleW(nullptr);
            cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
            cls.lpszClassName = L"KelbContainerTestForm";
            RegisterClassW(&cls);
            return CreateWindowExW(0, cls.lpszClassName, L"container test",
                                   WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE, 0, 0, 640, 480, nullptr,
                                   nullptr, cls.hInstance, nullptr);
        }();
        EXPECT_NE(nullptr, top);
        window_ = CreateWindowExW(0, L"KelbContainerTestForm", L"", WS_CHILD | WS_CLIPCHILDREN | WS_VISIBLE, 0, 0,
                                  640, 480, top, nullptr, GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(nullptr, window_);
    }
    ~form() { destroy(); }
    form(const form&) = delete;
    form& operator=(const form&) = delete;

    // Places a control in a new site; saved state, if given, replaces InitNew.
    HRESULT place(const wchar_t* prog_id, const RECT& where, ComPtr<IUnknown>& control, HWND* site = nullptr,
                  IStream* saved = nullptr)
    {
        HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, where.left,
                                     where.top, where.right - where.left, where.bottom - where.top, window_,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!child)
            return HRESULT_FROM_WIN32(GetLastError());
        if (site)
            *site = child;
        ComPtr<IUnknown> container;
        return AtlAxCreateControlEx(prog_id, child, saved, &container, control.ReleaseAndGetAddressOf(), IID{},
                                    nullptr);
    }

    void destroy()
    {
        if (window_)
            DestroyWindow(window_);
        window_ = nullptr;
        pump_messages();
    }

private:
    HWND window_ = nullptr;
};

template <class T>
ComPtr<T> query(IUnknown* object)
{
    ComPtr<T> out;
    if (object)
        object->QueryInterface(__uuidof(T), reinterpret_cast<void**>(out.GetAddressOf()));
    return out;
}

// The seven properties of a bar, read through its dual interface.
struct bar_state {
    OLE_COLOR back = 0, bar = 0;
    VARIANT_BOOL vertical = 0;
    LONG max = 0, min = 0, value = 0;
    BorderStyles border = bdNone;

    static bar_state of(_ProgBar* p)
    {
        bar_state s;
        EXPECT_EQ(S_OK, p->get_BackColor(&s.back));
        EXPECT_EQ(S_OK, p->get_BarColor(&s.bar));
        EXPECT_EQ(S_OK, p->get_Vertical(&s.vertical));
        EXPECT_EQ(S_OK, p->get_Max(&s.max));
        EXPECT_EQ(S_OK, p->get_Min(&s.min));
        EXPECT_EQ(S_OK, p->get_Value(&s.value));
        EXPECT_EQ(S_OK, p->get_BorderStyle(&s.border));
        return s;
    }
    bool operator==(const bar_state& o) const
    {
        return back == o.back && bar == o.bar && vertical == o.vertical && max == o.max && min == o.min &&
               value == o.value && border == o.border;
    }
};

std::ostream& operator<<(std::ostream& out, const bar_state& s)
{
    return out << std::hex << "{back 0x" << s.back << ", bar 0x" << s.bar << std::dec << ", vertical "
               << s.vertical << ", max " << s.max << ", min " << s.min << ", value " << s.value << ", border "
               << s.border << "}";
}

ComPtr<_ProgBar> new_unloaded_bar()
{
    ComPtr<_ProgBar> bar;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_ProgBar, nullptr, CLSCTX_INPROC_SERVER, IID__ProgBar,
                                     reinterpret_cast<void**>(bar.GetAddressOf())));
    return bar;
}

// A property bag that behaves like the hosts' own: it hands out a value in
// the type the reader asks for, and E_INVALIDARG for a name it lacks.
class memory_property_bag : public IPropertyBag {
public:
    ~memory_property_bag()
    {
        for (auto& entry : values)
            VariantClear(&entry.second);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid != IID_IUnknown && iid != IID_IPropertyBag) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IPropertyBag*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override
    {
        auto it = values.find(name);
        if (it == values.end())
            return E_INVALIDARG;
        if (value->vt == VT_EMPTY)
            return VariantCopy(value, &it->second);
        return VariantChangeType(value, &it->second, 0, value->vt);
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override
    {
        VARIANT& slot = values[name];
        VariantClear(&slot);
        return VariantCopy(&slot, value);
    }

    void put_long(const wchar_t* name, LONG v)
    {
        VARIANT x;
        x.vt = VT_I4;
        x.lVal = v;
        Write(name, &x);
    }
    void put_text(const wchar_t* name, const wchar_t* text)
    {
        VARIANT x;
        x.vt = VT_BSTR;
        x.bstrVal = SysAllocString(text);
        Write(name, &x);
        VariantClear(&x);
    }

    std::map<std::wstring, VARIANT> values;
};

// Records what a control sends to its connection points.
class sink_recorder : public IDispatch, public IPropertyNotifySink {
public:
    struct call {
        DISPID id;
        std::vector<VARTYPE> sent;  // the types as sent: last argument first
        std::vector<VARIANT> args;  // their values, copied while the call ran
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == events_iid)
            *out = static_cast<IDispatch*>(this);
        else if (iid == IID_IPropertyNotifySink)
            *out = static_cast<IPropertyNotifySink*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
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
        call c{id, {}, {}};
        for (UINT i = 0; params && i < params->cArgs; ++i) {
            VARIANT value;
            VariantInit(&value);
            VariantCopyInd(&value, &params->rgvarg[i]);
            c.sent.push_back(params->rgvarg[i].vt);
            c.args.push_back(value);
        }
        if (on_event)
            on_event(c);
        events.push_back(c);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override
    {
        changes.push_back(id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }

    // Advises on the connection point iid of control; unadvised when done.
    void connect(IUnknown* control, REFIID iid)
    {
        if (iid != IID_IPropertyNotifySink)
            events_iid = iid;
        auto container = query<IConnectionPointContainer>(control);
        ASSERT_TRUE(container);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(iid, &point));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(this), &cookie));
        connections.push_back({point, cookie});
    }
    ~sink_recorder()
    {
        for (auto& c : connections)
            c.first->Unadvise(c.second);
        for (auto& c : events)
            for (auto& v : c.args)
                VariantClear(&v);
    }

    IID events_iid{};
    std::vector<call> events;
    std::vector<DISPID> changes;
    std::function<void(const call&)> on_event;
    std::vector<std::pair<ComPtr<IConnectionPoint>, DWORD>> connections;
};

DISPID dispid_of(IUnknown* control, const wchar_t* name)
{
    auto dispatch = query<IDispatch>(control);
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID{}, names, 1, LOCALE_USER_DEFAULT, &id)) << name;
    return id;
}

// A 32-bit top-down bitmap selected into a memory DC, for reading pixels.
class canvas {
public:
    canvas(int width, int height, COLORREF fill) : width_(width), height_(height)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        RECT all{0, 0, width, height};
        HBRUSH brush = CreateSolidBrush(fill);
        FillRect(dc_, &all, brush);
        DeleteObject(brush);
    }
    ~canvas()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    canvas(const canvas&) = delete;
    canvas& operator=(const canvas&) = delete;

    HDC dc() const { return dc_; }
    COLORREF at(int x, int y) const
    {
        GdiFlush();
        uint32_t p = bits_[y * width_ + x];
        return RGB((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff);
    }
    // Pixels in area whose colour differs from the one expected there.
    int mismatches(const RECT& area, const std::function<COLORREF(int, int)>& expected) const
    {
        int wrong = 0;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                wrong += at(x, y) != expected(x, y);
        return wrong;
    }
    RECT whole() const { return {0, 0, width_, height_}; }

private:
    int width_, height_;
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
    uint32_t* bits_ = nullptr;
};

void draw(IUnknown* control, const canvas& target, const RECT& where)
{
    auto view = query<IViewObject>(control);
    ASSERT_TRUE(view);
    RECTL bounds{where.left, where.top, where.right, where.bottom};
    ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, target.dc(), &bounds, nullptr,
                               nullptr, 0));
}

// Every pixel of bounds inside `bar` has the bar's colour, every other one
// the background's.
int wrong_pixels(const canvas& c, const RECT& bounds, const RECT& bar, COLORREF bar_colour, COLORREF back_colour)
{
    return c.mismatches(bounds, [&](int x, int y) {
        POINT p{x, y};
        return PtInRect(&bar, p) ? bar_colour : back_colour;
    });
}

// Test paths are plain ASCII.
BSTR bstr(const std::string& text) { return SysAllocString(std::wstring(text.begin(), text.end()).c_str()); }

HWND control_window(IUnknown* control)
{
    auto in_place = query<IOleInPlaceObject>(control);
    HWND window = nullptr;
    if (in_place)
        in_place->GetWindow(&window);
    return window;
}

SIZE window_size(HWND w)
{
    RECT r;
    GetWindowRect(w, &r);
    return {r.right - r.left, r.bottom - r.top};
}

bool has_border(HWND w) { return (GetWindowLongPtrW(w, GWL_STYLE) & WS_BORDER) != 0; }

const COLORREF red = RGB(220, 20, 20), green = RGB(20, 200, 40), magenta = RGB(255, 0, 255);

// --- placing both controls ------------------------------------------------

class ContainerTest : public testing::Test {
protected:
    ComPtr<_ProgBar> place_bar(const RECT& where = {10, 10, 250, 34}, HWND* site = nullptr, IStream* saved = nullptr)
    {
        ComPtr<IUnknown> control;
        EXPECT_EQ(S_OK, the_form.place(progbar_id, where, control, site, saved));
        return query<_ProgBar>(control.Get());
    }
    ComPtr<_KELBzip2> place_kelbzip2(HWND* site = nullptr)
    {
        ComPtr<IUnknown> control;
        EXPECT_EQ(S_OK, the_form.place(kelbzip2_id, {300, 10, 340, 50}, control, site));
        return query<_KELBzip2>(control.Get());
    }
    ComPtr<_ProgBar> clamped_bar();

    form the_form;
};

TEST_F(ContainerTest, ProgBarIsActivatedInPlaceAsAChildOfItsSite)
{
    HWND site = nullptr;
    auto bar = place_bar({10, 10, 250, 34}, &site);
    ASSERT_TRUE(bar);

    HWND window = control_window(bar.Get());
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(site, GetParent(window));
    EXPECT_TRUE(IsWindowVisible(window));
    SIZE size = window_size(window);
    EXPECT_EQ(240, size.cx);
    EXPECT_EQ(24, size.cy);

    ComPtr<IOleClientSite> client;
    ASSERT_EQ(S_OK, query<IOleObject>(bar.Get())->GetClientSite(&client));
    EXPECT_TRUE(client) << "the container's site is kept";

    // The container passes a resize of its site on through SetObjectRects.
    MoveWindow(site, 10, 10, 300, 40, TRUE);
    pump_messages();
    size = window_size(window);
    EXPECT_EQ(300, size.cx);
    EXPECT_EQ(40, size.cy);

    DWORD misc = 0;
    ASSERT_EQ(S_OK, query<IOleObject>(bar.Get())->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(0x0002C191u, misc);
}

TEST_F(ContainerTest, KELBzip2IsPlacedButShowsNothingAtRunTime)
{
    HWND site = nullptr;
    auto control = place_kelbzip2(&site);
    ASSERT_TRUE(control);

    HWND window = control_window(control.Get());
    EXPECT_TRUE(window == nullptr || !IsWindowVisible(window));
    for (HWND child = GetWindow(site, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        EXPECT_FALSE(IsWindowVisible(child)) << "a visible window in the invisible control's site";

    BSTR name = nullptr;
    ASSERT_EQ(S_OK, control->ControlName(&name));
    EXPECT_STREQ(L"Tessel OCX 2.0.1", name);
    SysFreeString(name);

    DWORD misc = 0;
    ASSERT_EQ(S_OK, query<IOleObject>(control.Get())->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(0x00020591u, misc);
}

TEST_F(ContainerTest, KELBzip2KeepsItsSizeWhateverTheHostAsks)
{
    auto control = place_kelbzip2();
    ASSERT_TRUE(control);
    auto object = query<IOleObject>(control.Get());
    auto view = query<IViewObject2>(control.Get());
    ASSERT_TRUE(object && view);

    // 550 twips are 970 HIMETRIC; the container already asked for its site's size.
    const LONG fixed = 970;
    SIZEL size{};
    ASSERT_EQ(S_OK, object->GetExtent(DVASPECT_CONTENT, &size));
    EXPECT_EQ(fixed, size.cx);
    EXPECT_EQ(fixed, size.cy);

    for (SIZEL asked : {SIZEL{5000, 3000}, SIZEL{1, 1}, SIZEL{970, 20000}, SIZEL{0, 0}}) {
        EXPECT_EQ(S_OK, object->SetExtent(DVASPECT_CONTENT, &asked));
        size = {};
        ASSERT_EQ(S_OK, object->GetExtent(DVASPECT_CONTENT, &size));
        EXPECT_EQ(fixed, size.cx) << "after asking " << asked.cx << " x " << asked.cy;
        EXPECT_EQ(fixed, size.cy) << "after asking " << asked.cx << " x " << asked.cy;
        size = {};
        ASSERT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &size));
        EXPECT_EQ(fixed, size.cx);
        EXPECT_EQ(fixed, size.cy);
    }

    // The bar, by contrast, takes the size it is given.
    auto bar = place_bar();
    auto bar_object = query<IOleObject>(bar.Get());
    ASSERT_TRUE(bar_object);
    SIZEL asked{5000, 3000};
    ASSERT_EQ(S_OK, bar_object->SetExtent(DVASPECT_CONTENT, &asked));
    ASSERT_EQ(S_OK, bar_object->GetExtent(DVASPECT_CONTENT, &size));
    EXPECT_EQ(5000, size.cx);
    EXPECT_EQ(3000, size.cy);
}

TEST_F(ContainerTest, DestroyingTheFormDeactivatesTheBarAndReleasesItsSite)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    ASSERT_NE(nullptr, control_window(bar.Get()));

    the_form.destroy();

    EXPECT_EQ(nullptr, control_window(bar.Get()));
    ComPtr<IOleClientSite> client;
    query<IOleObject>(bar.Get())->GetClientSite(&client);
    EXPECT_FALSE(client);
    LONG value = 0;
    EXPECT_EQ(S_OK, bar->get_Value(&value)) << "the object outlives its site";
    EXPECT_EQ(50, value);
}

// --- the bar's properties ---------------------------------------------------

TEST_F(ContainerTest, NewBarHasTheDefaultsAndABorder)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    bar_state defaults{0x8000000F, 0x8000000D, VARIANT_FALSE, 100, 0, 50, bdFixedSingle};
    EXPECT_EQ(defaults, bar_state::of(bar.Get()));
    EXPECT_EQ(S_FALSE, query<IPersistStreamInit>(bar.Get())->IsDirty());

    HWND window = control_window(bar.Get());
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(has_border(window));
}

TEST_F(ContainerTest, BorderStyleIsClampedAndShownOnTheWindow)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    HWND window = control_window(bar.Get());
    ASSERT_NE(nullptr, window);
    BorderStyles border;

    ASSERT_EQ(S_OK, bar->put_BorderStyle(BorderStyles(-3)));
    ASSERT_EQ(S_OK, bar->get_BorderStyle(&border));
    EXPECT_EQ(bdNone, border);
    EXPECT_FALSE(has_border(window));

    ASSERT_EQ(S_OK, bar->put_BorderStyle(BorderStyles(7)));
    ASSERT_EQ(S_OK, bar->get_BorderStyle(&border));
    EXPECT_EQ(bdFixedSingle, border);
    EXPECT_TRUE(has_border(window));
}

TEST_F(ContainerTest, EveryPutNotifiesTheSiteWithTheDispatchId)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    sink_recorder sink;
    sink.connect(bar.Get(), IID_IPropertyNotifySink);
    const DISPID value = dispid_of(bar.Get(), L"Value"), max = dispid_of(bar.Get(), L"Max"),
                 min = dispid_of(bar.Get(), L"Min");

    // Puts that change nothing notify all the same.
    bar->put_BackColor(0x8000000F);
    bar->put_BarColor(0x8000000D);
    bar->put_Vertical(VARIANT_FALSE);
    bar->put_Max(100);
    bar->put_Min(0);
    bar->put_Value(50);
    bar->put_BorderStyle(bdFixedSingle);
    EXPECT_EQ((std::vector<DISPID>{dispid_of(bar.Get(), L"BackColor"), dispid_of(bar.Get(), L"BarColor"),
                                   dispid_of(bar.Get(), L"Vertical"), max, min, value,
                                   dispid_of(bar.Get(), L"BorderStyle")}),
              sink.changes);
    EXPECT_EQ(S_OK, query<IPersistStreamInit>(bar.Get())->IsDirty());

    // A limit that moves the value reports the value first.
    sink.changes.clear();
    bar->put_Max(10);
    EXPECT_EQ((std::vector<DISPID>{value, max}), sink.changes);
    sink.changes.clear();
    bar->put_Value(-1);
    bar->put_Min(5);
    EXPECT_EQ((std::vector<DISPID>{value, value, min}), sink.changes);
    EXPECT_EQ((bar_state{0x8000000F, 0x8000000D, VARIANT_FALSE, 10, 5, 5, bdFixedSingle}),
              bar_state::of(bar.Get()));
}

TEST_F(ContainerTest, ClickOnTheBarWindowRaisesClick)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    HWND window = control_window(bar.Get());
    ASSERT_NE(nullptr, window);
    sink_recorder sink;
    sink.connect(bar.Get(), DIID___ProgBar);

    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    ASSERT_EQ(1u, sink.events.size());
    EXPECT_EQ(1, sink.events[0].id);
    EXPECT_TRUE(sink.events[0].args.empty());
}

// --- persistence --------------------------------------------------------------

// A bar whose puts were all clamped: Max 400, Min 0, Value 400, no border.
ComPtr<_ProgBar> ContainerTest::clamped_bar()
{
    auto bar = place_bar();
    if (!bar)
        return bar;
    bar->put_Vertical(VARIANT_TRUE);
    bar->put_BarColor(red);
    bar->put_BackColor(green);
    bar->put_Max(400);
    bar->put_Min(-5);
    bar->put_Value(999);
    bar->put_BorderStyle(BorderStyles(-2));
    EXPECT_EQ((bar_state{green, red, VARIANT_TRUE, 400, 0, 400, bdNone}), bar_state::of(bar.Get()));
    return bar;
}

TEST_F(ContainerTest, PropertyBagRoundTripOmitsDefaults)
{
    auto bar = clamped_bar();
    ASSERT_TRUE(bar);
    memory_property_bag bag;
    auto persist = query<IPersistPropertyBag>(bar.Get());
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, TRUE));
    EXPECT_EQ(S_FALSE, query<IPersistStreamInit>(bar.Get())->IsDirty());

    // Min is at its default 0 and is left out; Vertical is a boolean.
    std::map<std::wstring, VARTYPE> types;
    for (auto& entry : bag.values)
        types[entry.first] = entry.second.vt;
    EXPECT_EQ((std::map<std::wstring, VARTYPE>{{L"BackColor", VT_I4},
                                               {L"BarColor", VT_I4},
                                               {L"BorderStyle", VT_I4},
                                               {L"Max", VT_I4},
                                               {L"Value", VT_I4},
                                               {L"Vertical", VT_BOOL}}),
              types);
    EXPECT_EQ(VARIANT_TRUE, bag.values[L"Vertical"].boolVal);
    EXPECT_EQ(LONG(green), bag.values[L"BackColor"].lVal);
    EXPECT_EQ(400, bag.values[L"Value"].lVal);
    EXPECT_EQ(0, bag.values[L"BorderStyle"].lVal);

    auto loaded = new_unloaded_bar();
    ASSERT_TRUE(loaded);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(loaded.Get())->Load(&bag, nullptr));
    EXPECT_EQ(bar_state::of(bar.Get()), bar_state::of(loaded.Get()));

    // A bar with nothing but defaults leaves the bag empty.
    memory_property_bag empty;
    auto fresh = place_bar();
    ASSERT_TRUE(fresh);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(fresh.Get())->Save(&empty, TRUE, TRUE));
    EXPECT_TRUE(empty.values.empty());
    fresh->put_Value(30);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(fresh.Get())->Save(&empty, TRUE, TRUE));
    ASSERT_EQ(1u, empty.values.size());
    EXPECT_EQ(30, empty.values[L"Value"].lVal);
}

TEST_F(ContainerTest, PropertyBagLoadClampsAndFillsInDefaults)
{
    memory_property_bag bag;
    bag.put_long(L"Max", 10);
    bag.put_long(L"Min", 20);
    bag.put_long(L"Value", 500);
    auto bar = new_unloaded_bar();
    ASSERT_TRUE(bar);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(bar.Get())->Load(&bag, nullptr));
    EXPECT_EQ((bar_state{0x8000000F, 0x8000000D, VARIANT_FALSE, 10, 9, 10, bdFixedSingle}),
              bar_state::of(bar.Get()));

    memory_property_bag low;
    low.put_long(L"Max", -4);
    auto other = new_unloaded_bar();
    ASSERT_TRUE(other);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(other.Get())->Load(&low, nullptr));
    EXPECT_EQ((bar_state{0x8000000F, 0x8000000D, VARIANT_FALSE, 1, 0, 1, bdFixedSingle}),
              bar_state::of(other.Get()));
}

TEST_F(ContainerTest, UnreadablePropertyKeepsItsValueAndTheRestLoad)
{
    memory_property_bag bag;
    bag.put_text(L"Max", L"80");  // text that reads as a number is fine
    bag.put_text(L"Value", L"not a number");
    bag.put_long(L"BorderStyle", 0);
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    bar->put_Value(30);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(bar.Get())->Load(&bag, nullptr));
    EXPECT_EQ((bar_state{0x8000000F, 0x8000000D, VARIANT_FALSE, 80, 0, 30, bdNone}), bar_state::of(bar.Get()));
}

TEST_F(ContainerTest, StreamRoundTripThroughTheContainer)
{
    auto bar = clamped_bar();
    ASSERT_TRUE(bar);
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    auto persist = query<IPersistStreamInit>(bar.Get());
    ASSERT_EQ(S_OK, persist->Save(stream.Get(), TRUE));
    EXPECT_EQ(S_FALSE, persist->IsDirty());

    ULARGE_INTEGER end{}, max_size{};
    ASSERT_EQ(S_OK, stream->Seek({}, STREAM_SEEK_CUR, &end));
    ASSERT_EQ(S_OK, persist->GetSizeMax(&max_size));
    EXPECT_GE(max_size.QuadPart, end.QuadPart);

    // The container loads the saved state instead of calling InitNew.
    ASSERT_EQ(S_OK, stream->Seek({}, STREAM_SEEK_SET, nullptr));
    HWND site = nullptr;
    auto loaded = place_bar({10, 60, 250, 84}, &site, stream.Get());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(bar_state::of(bar.Get()), bar_state::of(loaded.Get()));
    HWND window = control_window(loaded.Get());
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(site, GetParent(window));
    EXPECT_FALSE(has_border(window)) << "the saved border style shows on the window";
}

TEST_F(ContainerTest, TruncatedStreamIsRefused)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    bar->put_Value(70);
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_EQ(S_OK, query<IPersistStreamInit>(bar.Get())->Save(stream.Get(), TRUE));
    ULARGE_INTEGER end{};
    ASSERT_EQ(S_OK, stream->Seek({}, STREAM_SEEK_CUR, &end));
    ULARGE_INTEGER shorter;
    shorter.QuadPart = end.QuadPart - 2;
    ASSERT_EQ(S_OK, stream->SetSize(shorter));
    ASSERT_EQ(S_OK, stream->Seek({}, STREAM_SEEK_SET, nullptr));

    auto loaded = new_unloaded_bar();
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(FAILED(query<IPersistStreamInit>(loaded.Get())->Load(stream.Get())));
}

// --- painting -----------------------------------------------------------------

class BarPainting : public ContainerTest {
protected:
    void SetUp() override
    {
        bar = place_bar();
        ASSERT_TRUE(bar);
        bar->put_BarColor(red);
        bar->put_BackColor(green);
    }
    ComPtr<_ProgBar> bar;
};

TEST_F(BarPainting, VerticalAtAQuarterFillsTheLowerQuarter)
{
    bar->put_Vertical(VARIANT_TRUE);
    bar->put_Value(25);
    canvas c(80, 120, magenta);
    draw(bar.Get(), c, c.whole());
    EXPECT_EQ(0, wrong_pixels(c, c.whole(), {0, 90, 80, 120}, red, green));
}

TEST_F(BarPainting, HorizontalAtHalfFillsTheLeftHalf)
{
    bar->put_Value(50);
    canvas c(200, 40, magenta);
    draw(bar.Get(), c, c.whole());
    EXPECT_EQ(0, wrong_pixels(c, c.whole(), {0, 0, 100, 40}, red, green));
}

TEST_F(BarPainting, ValueBelowTheRangePaintsNoBarAtAll)
{
    for (VARIANT_BOOL vertical : {VARIANT_FALSE, VARIANT_TRUE}) {
        bar->put_Vertical(vertical);
        bar->put_Value(-1);
        canvas c(100, 60, magenta);
        draw(bar.Get(), c, c.whole());
        EXPECT_EQ(0, wrong_pixels(c, c.whole(), {0, 0, 0, 0}, red, green)) << "vertical " << vertical;
    }
}

TEST_F(BarPainting, ValueAboveTheRangeFillsEverything)
{
    bar->put_Value(150);
    canvas c(100, 30, magenta);
    draw(bar.Get(), c, c.whole());
    EXPECT_EQ(0, wrong_pixels(c, c.whole(), c.whole(), red, green));
}

TEST_F(BarPainting, TheBarCountsFromMin)
{
    bar->put_Max(60);
    bar->put_Min(20);
    bar->put_Value(30);
    canvas c(160, 20, magenta);
    draw(bar.Get(), c, c.whole());
    EXPECT_EQ(0, wrong_pixels(c, c.whole(), {0, 0, 40, 20}, red, green));
}

TEST_F(BarPainting, DrawingStaysInsideTheBounds)
{
    bar->put_Vertical(VARIANT_TRUE);
    bar->put_Value(25);
    canvas c(120, 140, magenta);
    RECT bounds{10, 20, 110, 120};
    draw(bar.Get(), c, bounds);
    EXPECT_EQ(0, wrong_pixels(c, bounds, {10, 95, 110, 120}, red, green));
    int outside = c.mismatches(c.whole(), [&](int x, int y) {
        POINT p{x, y};
        return PtInRect(&bounds, p) ? c.at(x, y) : magenta;
    });
    EXPECT_EQ(0, outside);
}

TEST_F(ContainerTest, DefaultColoursAreTheSystemColours)
{
    auto bar = place_bar();
    ASSERT_TRUE(bar);
    canvas c(100, 20, magenta);
    draw(bar.Get(), c, c.whole());
    EXPECT_EQ(0, wrong_pixels(c, c.whole(), {0, 0, 50, 20}, GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_BTNFACE)));
}

// --- a job with the bar fed from Progress -------------------------------------

TEST_F(ContainerTest, JobFeedsTheBarAndEndsWithErrorCodeAndFinished)
{
    auto control = place_kelbzip2();
    auto bar = place_bar();
    ASSERT_TRUE(control && bar);

    sink_recorder events;
    std::vector<LONG> bar_values;
    events.on_event = [&](const sink_recorder::call& c) {
        if (c.id == 2 && c.args.size() == 1 && c.args[0].vt == VT_I4) {
            bar->put_Value(c.args[0].lVal);
            LONG shown = -1;
            bar->get_Value(&shown);
            bar_values.push_back(shown);
        }
    };
    events.connect(control.Get(), DIID___KELBzip2);

    const std::string out = kelbtest::scratch_dir() + "\\text.txt.bz2";
    BSTR in_name = bstr(kelbtest::fixture("text.txt"));
    BSTR out_name = bstr(out);
    LONG level = 9;
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, control->Compress(in_name, out_name, &level, &result));
    EXPECT_EQ(VT_EMPTY, result.vt);
    SysFreeString(in_name);
    SysFreeString(out_name);

    auto count = [&](DISPID id) {
        int n = 0;
        for (auto& c : events.events)
            n += c.id == id;
        return n;
    };
    ASSERT_TRUE(pump_until([&] { return count(1) > 0; })) << "no Finished";

    // Progress 0 ... 100, then ErrorCode 0 "No error", then Finished.
    ASSERT_GE(events.events.size(), 4u);
    const auto& last = events.events.back();
    const auto& error = events.events[events.events.size() - 2];
    EXPECT_EQ(1, last.id);
    ASSERT_EQ(3, error.id);
    ASSERT_EQ(2u, error.args.size());
    EXPECT_EQ((std::vector<VARTYPE>{VT_BYREF | VT_BSTR, VT_BYREF | VT_I4}), error.sent);
    EXPECT_EQ(0, error.args[1].lVal);
    EXPECT_STREQ(L"No error", error.args[0].bstrVal);
    EXPECT_EQ(1, count(3));
    EXPECT_EQ(1, count(1));
    ASSERT_FALSE(bar_values.empty());
    EXPECT_EQ(0, bar_values.front());
    EXPECT_EQ(100, bar_values.back());
    EXPECT_TRUE(std::is_sorted(bar_values.begin(), bar_values.end()));
    EXPECT_EQ(kelbtest::read_file(kelbtest::fixture("text.txt.9.bz2")), kelbtest::read_file(out));
}

}  // namespace
