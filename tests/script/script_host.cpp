// script_host SCRIPT [ARGS...]: runs a .vbs or .js file with the system's
// script engine, with what Wine's cscript lacks: events, a Sleep that pumps
// window messages (the control's timers tick through them), and script
// errors in the exit code. The named item WScript offers Echo text, Sleep ms,
// CreateObject(progid [, prefix]) (event E then calls prefix & E) and
// Arguments(i).
#include <ocidl.h>
#include <windows.h>
// The script engine interfaces' ids are not in MinGW's libuuid.
#include <initguid.h>
#include <activscp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

bool script_failed = false;

void print(const std::wstring& line)
{
    std::string out(line.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &out[0],
                                   static_cast<int>(out.size()), nullptr, nullptr));
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
}

std::wstring hex(HRESULT hr)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

std::wstring text_of(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

void pump_for(DWORD ms)
{
    ULONGLONG deadline = GetTickCount64() + ms;
    for (ULONGLONG now; (now = GetTickCount64()) < deadline;) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

// Argument i (first = 0) in the type asked for; arguments arrive last-first.
HRESULT argument(DISPPARAMS* params, UINT i, VARTYPE type, VARIANT* out)
{
    VariantInit(out);
    if (i >= params->cArgs)
        return DISP_E_PARAMNOTFOUND;
    return VariantChangeType(out, &params->rgvarg[params->cArgs - 1 - i], 0, type);
}

// The objects below live as long as the run: their counts are not kept.
class dispatch_base : public IDispatch {
public:
    virtual ~dispatch_base() = default;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        bool ours = iid == IID_IUnknown || iid == IID_IDispatch || iid == iid_;
        *out = ours ? static_cast<IDispatch*>(this) : nullptr;
        return ours ? S_OK : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

protected:
    IID iid_ = IID_IDispatch;
};

// Receives the events of one object and calls prefix & name in the script.
class event_sink : public dispatch_base {
public:
    event_sink(IActiveScript* script, ITypeInfo* events, IID iid, std::wstring prefix)
        : script_(script), events_(events), prefix_(std::move(prefix))
    {
        iid_ = iid;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        BSTR name = nullptr;
        UINT found = 0;
        IDispatch* code = nullptr;
        if (FAILED(events_->GetNames(member, &name, 1, &found)) || !found ||
            FAILED(script_->GetScriptDispatch(nullptr, &code)))
            return S_OK;
        std::wstring handler = prefix_ + text_of(name);
        SysFreeString(name);
        LPOLESTR handler_name = &handler[0];
        DISPID id;
        if (FAILED(code->GetIDsOfNames(IID_NULL, &handler_name, 1, LOCALE_USER_DEFAULT, &id))) {
            code->Release();  // no handler for this event
            return S_OK;
        }
        // By-reference arguments reach the script as references to VARIANTs
        // of their own, as script engines pass them; what the handler leaves
        // there goes back to the control.
        UINT count = params->cArgs;
        std::vector<VARIANT> values(count), passed(params->rgvarg, params->rgvarg + count);
        for (UINT i = 0; i < count; ++i) {
            VariantInit(&values[i]);
            if (passed[i].vt & VT_BYREF) {
                VariantCopyInd(&values[i], &passed[i]);
                passed[i].vt = VT_BYREF | VT_VARIANT;
                passed[i].pvarVal = &values[i];
            }
        }
        DISPPARAMS call{count ? passed.data() : nullptr, nullptr, count, 0};
        EXCEPINFO exception{};
        HRESULT hr = code->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &call, nullptr, &exception,
                                  nullptr);
        code->Release();
        if (FAILED(hr)) {  // the engine has reported the error to the site
            print(L"handler " + handler + L" failed: " + hex(hr));
            script_failed = true;
        }
        for (UINT i = 0; i < count; ++i) {
            VARIANT& original = params->rgvarg[i];
            VARIANT back;
            VariantInit(&back);
            if ((original.vt & VT_BYREF) && SUCCEEDED(VariantChangeType(&back, &values[i], 0, original.vt & ~VT_BYREF))) {
                if (back.vt == VT_I4)
                    *original.plVal = back.lVal;
                if (back.vt == VT_BSTR)
                    std::swap(*original.pbstrVal, back.bstrVal);
            }
            VariantClear(&back);
            VariantClear(&values[i]);
        }
        return S_OK;
    }

private:
    IActiveScript* script_;
    ITypeInfo* events_;
    std::wstring prefix_;
};

// The WScript named item.
class wscript_object : public dispatch_base {
public:
    wscript_object(IActiveScript* script, std::vector<std::wstring> arguments)
        : script_(script), arguments_(std::move(arguments))
    {
    }

    // Drops every event connection: the sinks call into the script engine.
    void disconnect()
    {
        for (auto& c : connections_)
            c.first->Unadvise(c.second);
        connections_.clear();
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        static const wchar_t* const members[] = {L"Echo", L"Sleep", L"CreateObject", L"Arguments"};
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (DISPID id = 0; i == 0 && id < 4; ++id)
                if (lstrcmpiW(names[i], members[id]) == 0)
                    ids[i] = id + 1;
            if (ids[i] == DISPID_UNKNOWN)
                return DISP_E_UNKNOWNNAME;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        VARIANT first, second, ignored;
        VariantInit(&second);
        HRESULT hr = argument(params, 0, member == 2 || member == 4 ? VT_I4 : VT_BSTR, &first);
        if (FAILED(hr))
            return hr;
        if (!result)
            result = &ignored;
        VariantInit(result);
        switch (member) {
        case 1:  // Echo
            print(text_of(first.bstrVal));
            break;
        case 2:  // Sleep
            pump_for(first.lVal > 0 ? first.lVal : 0);
            break;
        case 3:  // CreateObject
            if (params->cArgs < 2 || SUCCEEDED(hr = argument(params, 1, VT_BSTR, &second)))
                hr = create(first.bstrVal, params->cArgs < 2 ? L"" : text_of(second.bstrVal), result);
            VariantClear(&second);
            break;
        case 4:  // Arguments
            if (first.lVal < 0 || static_cast<size_t>(first.lVal) >= arguments_.size())
                return DISP_E_BADINDEX;
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(arguments_[first.lVal].c_str());
            break;
        default:
            hr = DISP_E_MEMBERNOTFOUND;
        }
        VariantClear(&first);
        return hr;
    }

private:
    // With a prefix, a sink is advised on the object's default source
    // interface. A test host: the references taken on the way are left to the
    // process's end.
    HRESULT create(const wchar_t* progid, const std::wstring& prefix, VARIANT* result)
    {
        CLSID clsid;
        IDispatch* object;
        IProvideClassInfo2* provider;
        ITypeInfo *coclass, *events;
        ITypeLib* library;
        IConnectionPointContainer* container;
        IConnectionPoint* point;
        IID iid;
        UINT index;
        DWORD cookie;
        HRESULT hr;
        if (FAILED(hr = CLSIDFromProgID(progid, &clsid)) ||
            FAILED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                         reinterpret_cast<void**>(&object))))
            return hr;
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
        if (prefix.empty())
            return S_OK;
        if (FAILED(hr = object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&provider))) ||
            FAILED(hr = provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &iid)) ||
            FAILED(hr = provider->GetClassInfo(&coclass)) ||
            FAILED(hr = coclass->GetContainingTypeLib(&library, &index)) ||
            FAILED(hr = library->GetTypeInfoOfGuid(iid, &events)) ||
            FAILED(hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) ||
            FAILED(hr = container->FindConnectionPoint(iid, &point)))
            return hr;
        sinks_.emplace_back(new event_sink(script_, events, iid, prefix));
        if (SUCCEEDED(hr = point->Advise(sinks_.back().get(), &cookie)))
            connections_.push_back({point, cookie});
        return hr;
    }

    IActiveScript* script_;
    std::vector<std::wstring> arguments_;
    std::vector<std::unique_ptr<event_sink>> sinks_;
    std::vector<std::pair<IConnectionPoint*, DWORD>> connections_;
};

class script_site : public IActiveScriptSite {
public:
    script_site(IDispatch* wscript, std::wstring file) : wscript_(wscript), file_(std::move(file)) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        bool ours = iid == IID_IUnknown || iid == IID_IActiveScriptSite;
        *out = ours ? this : nullptr;
        return ours ? S_OK : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) override
    {
        if (info)
            *info = nullptr;
        if (lstrcmpiW(name, L"WScript") != 0)
            return TYPE_E_ELEMENTNOTFOUND;
        if (mask & SCRIPTINFO_IUNKNOWN)
            *item = wscript_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override
    {
        script_failed = true;
        EXCEPINFO info{};
        DWORD context;
        ULONG line = 0;
        LONG column = 0;
        error->GetExceptionInfo(&info);
        error->GetSourcePosition(&context, &line, &column);
        print(file_ + L"(" + std::to_wstring(line + 1) + L", " + std::to_wstring(column + 1) + L"): script error " +
              hex(info.scode ? info.scode : info.wCode) + L" " + text_of(info.bstrDescription));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

private:
    IDispatch* wscript_;
    std::wstring file_;
};

int run(int argc, wchar_t** argv)
{
    std::wstring file = argc > 1 ? argv[1] : L"";
    std::ifstream in(file.c_str(), std::ios::binary);
    std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::wstring code(source.size(), L'\0');
    code.resize(MultiByteToWideChar(CP_UTF8, 0, source.data(), static_cast<int>(source.size()), &code[0],
                                    static_cast<int>(code.size())));
    bool js = file.size() > 3 && file.compare(file.size() - 3, 3, L".js") == 0;

    CLSID clsid;
    IActiveScript* script = nullptr;
    IActiveScriptParse* parse = nullptr;
    HRESULT hr = code.empty() ? E_INVALIDARG : CLSIDFromProgID(js ? L"JScript" : L"VBScript", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                              reinterpret_cast<void**>(&script));
    if (SUCCEEDED(hr))
        hr = script->QueryInterface(IID_IActiveScriptParse, reinterpret_cast<void**>(&parse));
    wscript_object wscript(script, std::vector<std::wstring>(argv + std::min(argc, 2), argv + argc));
    script_site site(&wscript, file);
    EXCEPINFO exception{};
    if (SUCCEEDED(hr) && SUCCEEDED(hr = parse->InitNew()) && SUCCEEDED(hr = script->SetScriptSite(&site)) &&
        SUCCEEDED(hr = script->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE)) &&
        SUCCEEDED(hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE,
                                              nullptr, &exception)))
        hr = script->SetScriptState(SCRIPTSTATE_STARTED);  // runs the global code
    if (FAILED(hr) && !script_failed) {
        print(L"script_host: running " + file + L" failed: " + hex(hr));
        return 2;
    }
    // Closing the engine releases the script's objects: the control's teardown runs here.
    wscript.disconnect();
    script->Close();
    return script_failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    int code = run(argc, argv);
    CoUninitialize();
    return code;
}
