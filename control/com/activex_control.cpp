#include "activex_control.h"

#include <cstring>
#include <map>
#include <new>
#include <string>

namespace kelbcom {

namespace {

const wchar_t window_class[] = L"KELBzip2_201ControlWindow";

// Properties as the stream and storage forms keep them: a count, then for
// each a key (length byte and ASCII) and a 32-bit value.
class memory_bag : public kelb::property_bag {
public:
    bool read(const char* key, int32_t& value, bool) override
    {
        auto it = values.find(key);
        if (it == values.end())
            return false;
        value = it->second;
        return true;
    }
    void write(const char* key, int32_t value, int32_t, bool) override
    {
        values[key] = value;
        order.push_back(key);
    }
    std::map<std::string, int32_t> values;
    std::vector<std::string> order;
};

HRESULT read_exact(IStream* stream, void* buffer, ULONG size)
{
    ULONG got = 0;
    HRESULT hr = stream->Read(buffer, size, &got);
    if (FAILED(hr))
        return hr;
    return got == size ? S_OK : STG_E_READFAULT;
}

HRESULT write_exact(IStream* stream, const void* buffer, ULONG size)
{
    ULONG put = 0;
    HRESULT hr = stream->Write(buffer, size, &put);
    if (FAILED(hr))
        return hr;
    return put == size ? S_OK : STG_E_WRITEFAULT;
}

HRESULT read_bag(IStream* stream, memory_bag& bag)
{
    uint32_t count = 0;
    HRESULT hr = read_exact(stream, &count, sizeof count);
    if (FAILED(hr))
        return hr;
    if (count > 64)
        return E_UNEXPECTED;
    for (uint32_t i = 0; i < count; ++i) {
        unsigned char length = 0;
        char key[256];
        int32_t value = 0;
        if (FAILED(hr = read_exact(stream, &length, 1)) || FAILED(hr = read_exact(stream, key, length)) ||
            FAILED(hr = read_exact(stream, &value, sizeof value)))
            return hr;
        bag.values[std::string(key, length)] = value;
    }
    return S_OK;
}

HRESULT write_bag(IStream* stream, const memory_bag& bag)
{
    uint32_t count = static_cast<uint32_t>(bag.order.size());
    HRESULT hr = write_exact(stream, &count, sizeof count);
    for (const std::string& key : bag.order) {
        if (FAILED(hr))
            return hr;
        unsigned char length = static_cast<unsigned char>(key.size());
        int32_t value = bag.values.at(key);
        if (SUCCEEDED(hr = write_exact(stream, &length, 1)) && SUCCEEDED(hr = write_exact(stream, key.data(), length)))
            hr = write_exact(stream, &value, sizeof value);
    }
    return hr;
}

// The host's property bag, as the control's properties see it.
class host_bag : public kelb::property_bag {
public:
    explicit host_bag(IPropertyBag* bag) : bag_(bag) {}
    bool read(const char* key, int32_t& value, bool boolean) override
    {
        std::wstring name(key, key + strlen(key));
        VARIANT v;
        VariantInit(&v);
        v.vt = boolean ? VT_BOOL : VT_I4;
        HRESULT hr = bag_->Read(name.c_str(), &v, nullptr);
        if (FAILED(hr)) {
            VariantClear(&v);
            // Bags answer E_INVALIDARG for a name they lack: the default applies.
            // Any other failure leaves the property as it is.
            if (hr == E_INVALIDARG)
                return false;
            throw hr;
        }
        VARIANT converted;
        VariantInit(&converted);
        hr = VariantChangeType(&converted, &v, 0, boolean ? VT_BOOL : VT_I4);
        VariantClear(&v);
        if (FAILED(hr))
            throw hr;
        value = boolean ? converted.boolVal : converted.lVal;
        return true;
    }
    void write(const char* key, int32_t value, int32_t default_value, bool boolean) override
    {
        // Like the hosts' own bags, a value equal to its default is left out.
        if (value == default_value)
            return;
        std::wstring name(key, key + strlen(key));
        VARIANT v;
        VariantInit(&v);
        if (boolean) {
            v.vt = VT_BOOL;
            v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            v.vt = VT_I4;
            v.lVal = value;
        }
        HRESULT hr = bag_->Write(name.c_str(), &v);
        if (FAILED(hr))
            throw hr;
    }

private:
    IPropertyBag* bag_;
};

template <class T>
void release_ptr(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

}  // namespace

activex_control::activex_control(REFCLSID clsid, REFIID dual, REFIID events)
    : clsid_(clsid),
      dual_(dual),
      events_(static_cast<IConnectionPointContainer*>(this), events, true),
      property_notify_(static_cast<IConnectionPointContainer*>(this), IID_IPropertyNotifySink, false)
{
}

activex_control::~activex_control()
{
    if (window_)
        DestroyWindow(window_);
    release_ptr(in_place_site_);
    release_ptr(site_);
    release_ptr(view_sink_);
}

void* activex_control::find_interface(REFIID iid)
{
    if (iid == IID_IUnknown || iid == IID_IOleObject)
        return static_cast<IOleObject*>(this);
    if (iid == IID_IDispatch || iid == dual_)
        return dispatch();
    if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject)
        return static_cast<IOleInPlaceObject*>(this);
    if (iid == IID_IOleInPlaceActiveObject)
        return static_cast<IOleInPlaceActiveObject*>(this);
    if (iid == IID_IOleControl)
        return static_cast<IOleControl*>(this);
    if (iid == IID_IViewObject || iid == IID_IViewObject2)
        return static_cast<IViewObject2*>(this);
    if (iid == IID_IPersist || iid == IID_IPersistStreamInit)
        return static_cast<IPersistStreamInit*>(this);
    if (iid == IID_IPersistPropertyBag)
        return static_cast<IPersistPropertyBag*>(this);
    if (iid == IID_IPersistStorage)
        return static_cast<IPersistStorage*>(this);
    if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2)
        return static_cast<IProvideClassInfo2*>(this);
    if (iid == IID_IConnectionPointContainer)
        return static_cast<IConnectionPointContainer*>(this);
    if (iid == IID_ISupportErrorInfo)
        return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

void activex_control::fire(DISPID id, VARIANTARG* args_reversed, UINT count)
{
    if (frozen_events_ > 0)
        return;
    events_.for_each_sink([&](IUnknown* sink) {
        DISPPARAMS params{args_reversed, nullptr, count, 0};
        static_cast<IDispatch*>(sink)->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                              nullptr, nullptr, nullptr);
    });
}

void activex_control::notify_changed(DISPID id)
{
    dirty_ = true;
    property_notify_.for_each_sink([&](IUnknown* sink) { static_cast<IPropertyNotifySink*>(sink)->OnChanged(id); });
}

void activex_control::invalidate()
{
    if (window_)
        InvalidateRect(window_, nullptr, TRUE);
    else if (view_sink_)
        view_sink_->OnViewChange(DVASPECT_CONTENT, -1);
}

// IOleObject

HRESULT activex_control::SetClientSite(IOleClientSite* site)
{
    if (site)
        site->AddRef();
    release_ptr(site_);
    site_ = site;
    return S_OK;
}

HRESULT activex_control::GetClientSite(IOleClientSite** site)
{
    if (!site)
        return E_POINTER;
    if (site_)
        site_->AddRef();
    *site = site_;
    return S_OK;
}

HRESULT activex_control::Close(DWORD)
{
    InPlaceDeactivate();
    return S_OK;
}

HRESULT activex_control::GetMoniker(DWORD, DWORD, IMoniker** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT activex_control::GetClipboardData(DWORD, IDataObject** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT activex_control::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT)
{
    switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
        return activate_in_place(site ? site : site_);
    case OLEIVERB_HIDE:
        if (window_)
            ShowWindow(window_, SW_HIDE);
        return S_OK;
    default:
        return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT activex_control::activate_in_place(IOleClientSite* site)
{
    if (in_place_site_)
        return S_OK;
    if (!site)
        return E_UNEXPECTED;
    IOleInPlaceSite* in_place = nullptr;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place))))
        return S_OK;  // an embedding without in-place activation: nothing to show
    if (in_place->CanInPlaceActivate() != S_OK) {
        in_place->Release();
        return E_FAIL;
    }
    in_place->OnInPlaceActivate();
    in_place_site_ = in_place;
    if (!has_window())
        return S_OK;

    HWND parent = nullptr;
    in_place->GetWindow(&parent);
    IOleInPlaceFrame* frame = nullptr;
    IOleInPlaceUIWindow* document = nullptr;
    RECT position{0, 0, 0, 0}, clip{0, 0, 0, 0};
    OLEINPLACEFRAMEINFO frame_info{};
    frame_info.cb = sizeof frame_info;
    in_place->GetWindowContext(&frame, &document, &position, &clip, &frame_info);
    release_ptr(frame);
    release_ptr(document);

    static bool registered = [] {
        WNDCLASSW cls{};
        cls.style = CS_HREDRAW | CS_VREDRAW;
        cls.lpfnWndProc = window_proc;
        cls.hInstance = module_instance;
        cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
        cls.lpszClassName = window_class;
        return RegisterClassW(&cls) != 0;
    }();
    if (!registered)
        return E_FAIL;
    window_ = CreateWindowExW(0, window_class, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | window_style(),
                              position.left, position.top, position.right - position.left,
                              position.bottom - position.top, parent, nullptr, module_instance,
                              static_cast<activex_control*>(this));
    return window_ ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

HRESULT activex_control::EnumVerbs(IEnumOLEVERB** out)
{
    return OleRegEnumVerbs(clsid_, out);
}

HRESULT activex_control::GetUserType(DWORD form, LPOLESTR* type)
{
    return OleRegGetUserType(clsid_, form, type);
}

HRESULT activex_control::SetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    SIZEL fixed;
    extent_ = fixed_size(fixed) ? fixed : *size;
    return S_OK;
}

HRESULT activex_control::GetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    SIZEL fixed;
    *size = fixed_size(fixed) ? fixed : extent_;
    return S_OK;
}

HRESULT activex_control::Advise(IAdviseSink*, DWORD* cookie)
{
    if (cookie)
        *cookie = 0;
    return E_NOTIMPL;
}

HRESULT activex_control::EnumAdvise(IEnumSTATDATA** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT activex_control::GetMiscStatus(DWORD aspect, DWORD* status)
{
    return OleRegGetMiscStatus(clsid_, aspect, status);
}

// In-place

HRESULT activex_control::GetWindow(HWND* out)
{
    if (!out)
        return E_POINTER;
    *out = window_;
    return window_ ? S_OK : E_FAIL;
}

HRESULT activex_control::InPlaceDeactivate()
{
    if (!in_place_site_)
        return S_OK;
    if (window_) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    IOleInPlaceSite* site = in_place_site_;
    in_place_site_ = nullptr;
    site->OnInPlaceDeactivate();
    site->Release();
    return S_OK;
}

HRESULT activex_control::SetObjectRects(LPCRECT position, LPCRECT)
{
    if (!position)
        return E_POINTER;
    if (window_)
        MoveWindow(window_, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    return S_OK;
}

HRESULT activex_control::GetControlInfo(CONTROLINFO* info)
{
    if (!info)
        return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

HRESULT activex_control::FreezeEvents(BOOL freeze)
{
    frozen_events_ += freeze ? 1 : (frozen_events_ > 0 ? -1 : 0);
    return S_OK;
}

// Drawing

HRESULT activex_control::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds, LPCRECTL,
                              BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!hdc || !bounds)
        return E_INVALIDARG;
    RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
    paint(hdc, r);
    return S_OK;
}

HRESULT activex_control::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink)
{
    if (sink)
        sink->AddRef();
    release_ptr(view_sink_);
    view_sink_ = sink;
    view_aspects_ = aspects;
    view_flags_ = flags;
    return S_OK;
}

HRESULT activex_control::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink)
{
    if (aspects)
        *aspects = view_aspects_;
    if (flags)
        *flags = view_flags_;
    if (sink) {
        if (view_sink_)
            view_sink_->AddRef();
        *sink = view_sink_;
    }
    return S_OK;
}

HRESULT activex_control::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size)
{
    return GetExtent(aspect, size);
}

// Persistence

HRESULT activex_control::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

HRESULT activex_control::InitNew()
{
    init_new();
    dirty_ = false;
    return S_OK;
}

HRESULT activex_control::Load(LPSTREAM stream)
{
    if (!stream)
        return E_POINTER;
    memory_bag bag;
    HRESULT hr = read_bag(stream, bag);
    if (FAILED(hr))
        return hr;
    load_properties(bag);
    dirty_ = false;
    return S_OK;
}

HRESULT activex_control::Save(LPSTREAM stream, BOOL clear_dirty)
{
    if (!stream)
        return E_POINTER;
    memory_bag bag;
    save_properties(bag);
    HRESULT hr = write_bag(stream, bag);
    if (SUCCEEDED(hr) && clear_dirty)
        dirty_ = false;
    return hr;
}

HRESULT activex_control::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size)
        return E_POINTER;
    memory_bag bag;
    save_properties(bag);
    size->QuadPart = sizeof(uint32_t);
    for (const std::string& key : bag.order)
        size->QuadPart += 1 + key.size() + sizeof(int32_t);
    return S_OK;
}

HRESULT activex_control::Load(IPropertyBag* bag, IErrorLog*)
{
    if (!bag)
        return E_POINTER;
    host_bag host(bag);
    load_properties(host);
    dirty_ = false;
    return S_OK;
}

HRESULT activex_control::Save(IPropertyBag* bag, BOOL clear_dirty, BOOL)
{
    if (!bag)
        return E_POINTER;
    try {
        host_bag host(bag);
        save_properties(host);
    } catch (HRESULT hr) {
        return hr;
    }
    if (clear_dirty)
        dirty_ = false;
    return S_OK;
}

HRESULT activex_control::Load(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
    if (FAILED(hr))
        return hr;
    hr = Load(stream);
    stream->Release();
    return hr;
}

HRESULT activex_control::Save(IStorage* storage, BOOL)
{
    if (!storage)
        return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->CreateStream(L"Contents", STGM_WRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0, &stream);
    if (FAILED(hr))
        return hr;
    hr = Save(stream, TRUE);
    stream->Release();
    return hr;
}

// Class information and events

HRESULT activex_control::GetClassInfo(ITypeInfo** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return type_info(clsid_, out);
}

HRESULT activex_control::GetGUID(DWORD kind, GUID* guid)
{
    if (!guid)
        return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID)
        return E_INVALIDARG;
    return events_.GetConnectionInterface(guid);
}

HRESULT activex_control::EnumConnectionPoints(IEnumConnectionPoints** out)
{
    return enumerate_points({&events_, &property_notify_}, out);
}

HRESULT activex_control::FindConnectionPoint(REFIID iid, IConnectionPoint** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    IID events_iid;
    events_.GetConnectionInterface(&events_iid);
    if (iid == events_iid)
        *out = &events_;
    else if (iid == IID_IPropertyNotifySink)
        *out = &property_notify_;
    else
        return CONNECT_E_NOCONNECTION;
    (*out)->AddRef();
    return S_OK;
}

HRESULT activex_control::InterfaceSupportsErrorInfo(REFIID iid)
{
    return iid == dual_ ? S_OK : S_FALSE;
}

LRESULT CALLBACK activex_control::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<activex_control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_PAINT:
        if (self) {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(window, &ps);
            RECT client;
            GetClientRect(window, &client);
            self->paint(hdc, client);
            EndPaint(window, &ps);
            return 0;
        }
        break;
    case WM_ERASEBKGND:
        return 1;  // paint() covers the whole client area
    case WM_LBUTTONUP:
        if (self)
            self->on_click();
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace kelbcom
