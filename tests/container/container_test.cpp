// Both controls placed in windows by Wine's ATL container, driven as a form's container does.
#include <initguid.h>

#include "kelbzip2_201_h.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <ocidl.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

template <class T>
ComPtr<T> query(IUnknown* object)
{
    ComPtr<T> out;
    object->QueryInterface(__uuidof(T), reinterpret_cast<void**>(out.GetAddressOf()));
    return out;
}
void pump_messages()
{
    for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
        DispatchMessageW(&msg);
}
HWND control_window(IUnknown* control)
{
    HWND window = nullptr;
    query<IOleInPlaceObject>(control)->GetWindow(&window);
    return window;
}
bool has_border(HWND w) { return (GetWindowLongPtrW(w, GWL_STYLE) & WS_BORDER) != 0; }

// The bar's seven properties: back, bar colour, vertical, max, min, value, border.
std::string state(_ProgBar* p)
{
    OLE_COLOR back = 0, bar = 0;
    VARIANT_BOOL vertical = 0;
    LONG max = 0, min = 0, value = 0;
    BorderStyles border = bdNone;
    p->get_BackColor(&back), p->get_BarColor(&bar), p->get_Vertical(&vertical), p->get_Max(&max);
    p->get_Min(&min), p->get_Value(&value), p->get_BorderStyle(&border);
    char text[96];
    std::snprintf(text, sizeof text, "%lx %lx %d %ld %ld %ld %d", back, bar, vertical, max, min, value, border);
    return text;
}

// The container's side: a property bag, a sink of changes and events (an id, each argument's type and value).
struct container_side : IPropertyBag, IDispatch, IPropertyNotifySink {
    std::map<std::wstring, VARIANT> values;
    std::vector<std::wstring> events;
    std::vector<DISPID> changes;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = iid == IID_IPropertyNotifySink ? static_cast<IPropertyNotifySink*>(this)
               : iid == IID_IPropertyBag      ? static_cast<IUnknown*>(static_cast<IPropertyBag*>(this))
                                              : static_cast<IUnknown*>(static_cast<IDispatch*>(this));
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override
    {
        return values.count(name) ? VariantCopy(value, &values[name]) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* v) override { return VariantCopy(&values[name], v); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        events.push_back(std::to_wstring(id));
        for (UINT i = 0; i < params->cArgs; ++i) {
            VARIANT text{};
            VariantChangeType(&text, &params->rgvarg[i], 0, VT_BSTR);  // through the reference
            wchar_t type[8];
            std::swprintf(type, 8, L" %x:", params->rgvarg[i].vt);
            events.back() += type + std::wstring(text.bstrVal);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override { return changes.push_back(id), S_OK; }
    HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
    void connect(IUnknown* control, REFIID iid)
    {
        ComPtr<IConnectionPoint> point;
        DWORD cookie;
        ASSERT_EQ(S_OK, query<IConnectionPointContainer>(control)->FindConnectionPoint(iid, &point));
        ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(this), &cookie));
    }
};

struct ContainerTest : testing::Test {
    // Places a control in a new site, a child of one shared top-level window (Wine under Xvfb waits two
    // seconds for each one destroyed) in a desktop of the test's own; saved state, if given, replaces InitNew.
    template <class T = _ProgBar>
    ComPtr<T> place(const wchar_t* prog_id = L"KELBzip2_201.ProgBar", RECT r = {10, 10, 250, 34},
                    IStream* saved = nullptr)
    {
        static const HWND top = [] {
            SetThreadDesktop(CreateDesktopW(L"kelb_container_test", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
            OleInitialize(nullptr);
            return CreateWindowW(L"STATIC", L"container test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 480,
                                 nullptr, nullptr, nullptr, nullptr);
        }();
        // atl.dll found at run time: MinGW has no 32-bit import library for it.
        using entry = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**, IUnknown**, REFIID, IUnknown*);
        static const auto create = reinterpret_cast<entry>(
            reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"atl.dll"), "AtlAxCreateControlEx")));
        site = CreateWindowW(L"STATIC", L"", WS_CHILD | WS_VISIBLE, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, top, nullptr, nullptr, nullptr);
        ComPtr<IUnknown> container, control;
        EXPECT_EQ(S_OK, create(prog_id, site, saved, &container, &control, IID{}, nullptr));
        return query<T>(control.Get());
    }
    HWND site = nullptr;
};

// The COM side (clamping and geometry are tested natively): window, painting, notices, Click, teardown.
TEST_F(ContainerTest, ProgBarIsActivatedInPlacePaintsAndNotifiesItsSite)
{
    auto b = place();
    HWND window = control_window(b.Get());
    ASSERT_TRUE(window && GetParent(window) == site && IsWindowVisible(window) && has_border(window));
    MoveWindow(site, 10, 10, 300, 40, TRUE);  // the container passes it on through SetObjectRects
    pump_messages();
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_TRUE(r.right - r.left == 300 && r.bottom - r.top == 40);
    EXPECT_EQ("8000000f 8000000d 0 100 0 50 1", state(b.Get()));
    EXPECT_EQ(S_FALSE, query<IPersistStreamInit>(b.Get())->IsDirty());
    // Drawn into a magenta bitmap: the left half in the system's colours, nothing outside the bounds.
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, CreateBitmap(120, 140, 1, 32, nullptr));
    RECT all{0, 0, 120, 140}, bar{10, 20, 60, 120}, bounds{10, 20, 110, 120};
    SetDCBrushColor(dc, RGB(255, 0, 255));
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    ASSERT_EQ(S_OK, query<IViewObject>(b.Get())->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc,
                                                       reinterpret_cast<RECTL*>(&bounds), nullptr, nullptr, 0));
    int wrong = 0;
    for (POINT at{0, 0}; at.y < all.bottom; ++at.y)
        for (at.x = 0; at.x < all.right; ++at.x)
            wrong += GetPixel(dc, at.x, at.y) != (PtInRect(&bar, at)      ? GetSysColor(COLOR_HIGHLIGHT)
                                                  : PtInRect(&bounds, at) ? GetSysColor(COLOR_BTNFACE)
                                                                          : RGB(255, 0, 255));
    EXPECT_EQ(0, wrong);
    DeleteDC(dc);

    container_side sink;
    sink.connect(b.Get(), IID_IPropertyNotifySink);
    sink.connect(b.Get(), DIID___ProgBar);
    b->put_BackColor(0x8000000F), b->put_BarColor(0x8000000D), b->put_Vertical(VARIANT_FALSE);
    b->put_Min(0), b->put_Max(10), b->put_BorderStyle(BorderStyles(-3));
    // BackColor .. BorderStyle are 0x68030006 down to 0x68030000; a limit that moves the value reports it first.
    EXPECT_EQ((std::vector<DISPID>{0x68030006, 0x68030005, 0x68030004, 0x68030002, 0x68030001, 0x68030003, 0x68030000}),
              sink.changes);
    EXPECT_EQ(S_OK, query<IPersistStreamInit>(b.Get())->IsDirty());
    EXPECT_FALSE(has_border(window));
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(std::vector<std::wstring>{L"1"}, sink.events) << "Click, without arguments";
    // The site window's end deactivates the bar and releases its site; the object outlives it.
    DestroyWindow(site);
    pump_messages();
    EXPECT_EQ(nullptr, control_window(b.Get()));
    ComPtr<IOleClientSite> client;
    query<IOleObject>(b.Get())->GetClientSite(&client);
    EXPECT_FALSE(client);
    EXPECT_EQ("8000000f 8000000d 0 10 0 10 0", state(b.Get()));
}

// As a compiled host calls it: through the dual interface, the events' arguments by reference.
TEST_F(ContainerTest, KELBzip2ShowsNothingAndRunsAnEarlyBoundJob)
{
    auto control = place<_KELBzip2>(L"KELBzip2_201.KELBzip2", {300, 10, 340, 50});
    ASSERT_TRUE(control);
    for (HWND child = GetWindow(site, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        EXPECT_FALSE(IsWindowVisible(child)) << "a visible window in the invisible control's site";

    container_side sink;
    sink.connect(control.Get(), DIID___KELBzip2);
    const std::string in = kelbtest::fixture("text.txt"), out = kelbtest::scratch_dir() + "\\text.txt.bz2";
    LONG level = 9;
    VARIANT result{};
    auto bstr = [](const std::string& s) { return SysAllocString(std::wstring(s.begin(), s.end()).c_str()); };
    ASSERT_EQ(S_OK, control->Compress(bstr(in), bstr(out), &level, &result));
    ASSERT_TRUE(kelbtest::wait_until([&] {
        pump_messages();
        return !sink.events.empty() && sink.events.back() == L"1";
    })) << "no Finished";
    // Progress 100, then ErrorCode's description and number.
    ASSERT_GE(sink.events.size(), 4u);
    EXPECT_EQ(L"2 4003:100", sink.events[sink.events.size() - 3]);
    EXPECT_EQ(L"3 4008:No error 4003:0", sink.events[sink.events.size() - 2]);
}

TEST_F(ContainerTest, PropertiesPersistThroughBagsAndStreams)
{
    auto b = place();
    b->put_Vertical(VARIANT_TRUE), b->put_BarColor(RGB(220, 20, 20)), b->put_BackColor(RGB(20, 200, 40));
    b->put_Max(400), b->put_Min(-5), b->put_Value(999), b->put_BorderStyle(BorderStyles(-2));
    const std::string clamped = "28c814 1414dc -1 400 0 400 0";  // each put clamped
    // A bag leaves out what is at its default (Min here); Vertical is a boolean.
    container_side bag;
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(b.Get())->Save(&bag, TRUE, TRUE));
    EXPECT_EQ(S_FALSE, query<IPersistStreamInit>(b.Get())->IsDirty());
    EXPECT_TRUE(bag.values.size() == 6 && !bag.values.count(L"Min") && bag.values[L"Vertical"].vt == VT_BOOL &&
                bag.values[L"Max"].vt == VT_I4);
    auto loaded = place();
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(loaded.Get())->Load(&bag, nullptr));
    EXPECT_EQ(clamped, state(loaded.Get()));
    // Text that reads as a number is fine; what cannot be read keeps its value.
    for (auto [name, text] : {std::pair{L"Max", L"80"}, {L"Value", L"not a number"}}) {
        VariantClear(&bag.values[name]);
        bag.values[name].vt = VT_BSTR;
        bag.values[name].bstrVal = SysAllocString(text);
    }
    loaded->put_Value(30);
    ASSERT_EQ(S_OK, query<IPersistPropertyBag>(loaded.Get())->Load(&bag, nullptr));
    EXPECT_EQ("28c814 1414dc -1 80 0 30 0", state(loaded.Get()));
    // The container loads a saved stream instead of calling InitNew; a cut one is refused.
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    ASSERT_EQ(S_OK, query<IPersistStreamInit>(b.Get())->Save(stream.Get(), TRUE));
    ULARGE_INTEGER end{};
    stream->Seek({}, STREAM_SEEK_CUR, &end);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    auto restored = place(L"KELBzip2_201.ProgBar", {10, 60, 250, 84}, stream.Get());
    EXPECT_EQ(clamped, state(restored.Get()));
    EXPECT_FALSE(has_border(control_window(restored.Get()))) << "the saved border style shows on the window";
    end.QuadPart -= 2;
    stream->SetSize(end);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    EXPECT_TRUE(FAILED(query<IPersistStreamInit>(loaded.Get())->Load(stream.Get())));
}

}  // namespace
