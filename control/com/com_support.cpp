#include "com_support.h"

#include <new>

namespace kelbcom {

HINSTANCE module_instance = nullptr;
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

HRESULT type_library(ITypeLib** out)
{
    static ITypeLib* library = nullptr;  // kept for the module's lifetime
    if (!library) {
        wchar_t path[MAX_PATH];
        if (!GetModuleFileNameW(module_instance, path, MAX_PATH))
            return HRESULT_FROM_WIN32(GetLastError());
        HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
        if (FAILED(hr))
            return hr;
    }
    library->AddRef();
    *out = library;
    return S_OK;
}

HRESULT type_info(REFGUID guid, ITypeInfo** out)
{
    ITypeLib* library = nullptr;
    HRESULT hr = type_library(&library);
    if (FAILED(hr))
        return hr;
    hr = library->GetTypeInfoOfGuid(guid, out);
    library->Release();
    return hr;
}

HRESULT typelib_dispatch::info(ITypeInfo** out)
{
    if (!info_) {
        HRESULT hr = type_info(iid_, &info_);
        if (FAILED(hr))
            return hr;
    }
    *out = info_;
    return S_OK;
}

HRESULT typelib_dispatch::get_type_info_count(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT typelib_dispatch::get_type_info(UINT index, ITypeInfo** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    ITypeInfo* ti = nullptr;
    HRESULT hr = info(&ti);
    if (SUCCEEDED(hr)) {
        ti->AddRef();
        *out = ti;
    }
    return hr;
}

HRESULT typelib_dispatch::get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids)
{
    ITypeInfo* ti = nullptr;
    HRESULT hr = info(&ti);
    return FAILED(hr) ? hr : ti->GetIDsOfNames(names, count, ids);
}

namespace {

bool is_long_reference(const ELEMDESC& element)
{
    return element.tdesc.vt == VT_PTR && element.tdesc.lptdesc && element.tdesc.lptdesc->vt == VT_I4;
}

}  // namespace

HRESULT typelib_dispatch::invoke(IDispatch* self, DISPID member, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* arg_error)
{
    ITypeInfo* ti = nullptr;
    HRESULT hr = info(&ti);
    if (FAILED(hr))
        return hr;
    if (!params)
        return ti->Invoke(self, member, flags, params, result, exception, arg_error);

    // Find the method to learn its parameter types.
    TYPEATTR* attributes = nullptr;
    if (FAILED(ti->GetTypeAttr(&attributes)))
        return ti->Invoke(self, member, flags, params, result, exception, arg_error);
    FUNCDESC* function = nullptr;
    for (UINT i = 0; i < attributes->cFuncs && !function; ++i) {
        FUNCDESC* candidate = nullptr;
        if (FAILED(ti->GetFuncDesc(i, &candidate)))
            continue;
        if (candidate->memid == member && (candidate->invkind & flags))
            function = candidate;
        else
            ti->ReleaseFuncDesc(candidate);
    }
    ti->ReleaseTypeAttr(attributes);
    if (!function)
        return ti->Invoke(self, member, flags, params, result, exception, arg_error);

    // Positional arguments arrive last-first. A Long passed by reference may
    // come as a reference to a VARIANT or as a plain value from a script:
    // hand the type library a reference to a Long of our own instead.
    std::vector<VARIANTARG> args(params->rgvarg, params->rgvarg + params->cArgs);
    std::vector<LONG> longs(args.size());
    UINT positional = params->cArgs - params->cNamedArgs;
    hr = S_OK;
    for (UINT p = 0; p < static_cast<UINT>(function->cParams) && p < positional; ++p) {
        UINT at = positional - 1 - p;
        VARIANTARG& arg = args[at];
        if (!is_long_reference(function->lprgelemdescParam[p]) || arg.vt == (VT_BYREF | VT_I4))
            continue;
        const VARIANT* source = arg.vt == (VT_BYREF | VT_VARIANT) ? arg.pvarVal : &arg;
        VARIANT converted;
        VariantInit(&converted);
        if (!source || FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(source), 0, VT_I4))) {
            if (arg_error)
                *arg_error = at;
            hr = DISP_E_TYPEMISMATCH;
            break;
        }
        longs[at] = converted.lVal;
        arg.vt = VT_BYREF | VT_I4;
        arg.plVal = &longs[at];
    }
    ti->ReleaseFuncDesc(function);
    if (FAILED(hr))
        return hr;
    DISPPARAMS coerced = *params;
    coerced.rgvarg = args.empty() ? nullptr : args.data();
    return ti->Invoke(self, member, flags, &coerced, result, exception, arg_error);
}

connection_point::~connection_point()
{
    for (auto& s : sinks_)
        s.sink->Release();
}

HRESULT connection_point::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT connection_point::GetConnectionInterface(IID* iid)
{
    if (!iid)
        return E_POINTER;
    *iid = iid_;
    return S_OK;
}

HRESULT connection_point::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (!out)
        return E_POINTER;
    owner_->AddRef();
    *out = owner_;
    return S_OK;
}

HRESULT connection_point::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    IUnknown* held = nullptr;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&held))) &&
        !(dispatch_fallback_ && SUCCEEDED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&held)))))
        return CONNECT_E_CANNOTCONNECT;
    *cookie = next_cookie_++;
    sinks_.push_back({*cookie, held});
    return S_OK;
}

HRESULT connection_point::Unadvise(DWORD cookie)
{
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            IUnknown* sink = it->sink;
            sinks_.erase(it);
            sink->Release();
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT connection_point::EnumConnections(IEnumConnections** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

namespace {

class point_enumerator : public IEnumConnectionPoints, public ref_counted {
public:
    point_enumerator(std::vector<IConnectionPoint*> points, ULONG position)
        : points_(std::move(points)), position_(position)
    {
        for (auto* p : points_)
            p->AddRef();
    }
    ~point_enumerator() override
    {
        for (auto* p : points_)
            p->Release();
    }

    void* find_interface(REFIID iid)
    {
        if (iid == IID_IUnknown || iid == IID_IEnumConnectionPoints)
            return static_cast<IEnumConnectionPoints*>(this);
        return nullptr;
    }
    KELB_IUNKNOWN_METHODS

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override
    {
        if (!out || (count > 1 && !fetched))
            return E_POINTER;
        ULONG given = 0;
        while (given < count && position_ < points_.size()) {
            points_[position_]->AddRef();
            out[given++] = points_[position_++];
        }
        if (fetched)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        ULONG left = static_cast<ULONG>(points_.size()) - position_;
        ULONG step = count < left ? count : left;
        position_ += step;
        return step == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override
    {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) point_enumerator(points_, position_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::vector<IConnectionPoint*> points_;
    ULONG position_;
};

}  // namespace

HRESULT enumerate_points(std::vector<IConnectionPoint*> points, IEnumConnectionPoints** out)
{
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) point_enumerator(std::move(points), 0);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT raise_error(REFIID source, long number, const wchar_t* description)
{
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetGUID(source);
        create->SetSource(const_cast<LPOLESTR>(L"KELBzip2_201"));
        create->SetDescription(const_cast<LPOLESTR>(description));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number);
}

}  // namespace kelbcom
