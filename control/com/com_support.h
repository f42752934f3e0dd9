// What every COM object of the control library shares: reference counting,
// IDispatch through the type library, connection points for events, and the
// server's object and lock counts.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <new>
#include <vector>

namespace kelbcom {

extern HINSTANCE module_instance;

// Objects and server locks alive; DllCanUnloadNow says yes only at zero.
extern std::atomic<long> live_objects;
extern std::atomic<long> server_locks;

// The type library embedded in this module (loaded once, then kept).
HRESULT type_library(ITypeLib** out);
HRESULT type_info(REFGUID guid, ITypeInfo** out);

// AddRef and Release for a class that implements several interfaces; the
// class supplies QueryInterface through find_interface().
class ref_counted {
public:
    ref_counted() { ++live_objects; }
    virtual ~ref_counted() { --live_objects; }
    ULONG add_ref() { return ++refs_; }
    ULONG release()
    {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

#define KELB_IUNKNOWN_METHODS                                                           \
    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }                     \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }                    \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override           \
    {                                                                                   \
        if (!out)                                                                       \
            return E_POINTER;                                                           \
        *out = find_interface(iid);                                                     \
        if (!*out)                                                                      \
            return E_NOINTERFACE;                                                       \
        static_cast<IUnknown*>(*out)->AddRef();                                         \
        return S_OK;                                                                    \
    }

// IDispatch of a dual interface, answered from the type library. Invoke
// coerces what script engines send for by-reference Long parameters (a
// reference to a VARIANT, or a plain value) before the type library's own
// Invoke sees it.
class typelib_dispatch {
public:
    explicit typelib_dispatch(REFIID dual_interface) : iid_(dual_interface) {}
    HRESULT get_type_info_count(UINT* count);
    HRESULT get_type_info(UINT index, ITypeInfo** out);
    HRESULT get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids);
    HRESULT invoke(IDispatch* self, DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* exception, UINT* arg_error);

private:
    HRESULT info(ITypeInfo** out);
    IID iid_;
    ITypeInfo* info_ = nullptr;
};

#define KELB_IDISPATCH_METHODS(dispatcher)                                                               \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override                                    \
    {                                                                                                    \
        return dispatcher.get_type_info_count(count);                                                   \
    }                                                                                                    \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override                   \
    {                                                                                                    \
        return dispatcher.get_type_info(index, out);                                                    \
    }                                                                                                    \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)      \
        override                                                                                         \
    {                                                                                                    \
        return dispatcher.get_ids_of_names(names, count, ids);                                          \
    }                                                                                                    \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,       \
                                     VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override    \
    {                                                                                                    \
        return dispatcher.invoke(this, member, flags, params, result, exception, arg_error);            \
    }

// One outgoing interface of a control: sinks advise and unadvise, and the
// control calls each of them in the order they advised.
class connection_point : public IConnectionPoint {
public:
    // Sinks are asked for `sink_iid`, then (for event interfaces) IDispatch.
    connection_point(IConnectionPointContainer* owner, REFIID sink_iid, bool dispatch_fallback)
        : owner_(owner), iid_(sink_iid), dispatch_fallback_(dispatch_fallback)
    {
    }
    ~connection_point();

    // Calls fn on every sink (IDispatch* or the sink interface, as advised).
    template <class Fn>
    void for_each_sink(Fn fn)
    {
        // A handler may unadvise or advise while it runs: call a stable copy.
        std::vector<IUnknown*> now;
        for (auto& s : sinks_) {
            s.sink->AddRef();
            now.push_back(s.sink);
        }
        for (IUnknown* sink : now) {
            fn(sink);
            sink->Release();
        }
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

private:
    struct sink_entry {
        DWORD cookie;
        IUnknown* sink;
    };
    IConnectionPointContainer* owner_;
    IID iid_;
    bool dispatch_fallback_;
    std::vector<sink_entry> sinks_;
    DWORD next_cookie_ = 1;
};

// IEnumConnectionPoints over a fixed list of connection points.
HRESULT enumerate_points(std::vector<IConnectionPoint*> points, IEnumConnectionPoints** out);

// Makes a T and hands out the interface asked for; the caller's reference is
// the only one left.
template <class T>
HRESULT create_instance(REFIID iid, void** out)
{
    T* object = new (std::nothrow) T;
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

// Fills an EXCEPINFO-carrying error for the caller: number becomes the
// Visual Basic style HRESULT 0x800A0000 + number.
HRESULT raise_error(REFIID source, long number, const wchar_t* description);

}  // namespace kelbcom
