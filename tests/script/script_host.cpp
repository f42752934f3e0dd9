// script_host SCRIPT [ARGS...]: runs a .vbs or .js file with what Wine's cscript lacks: events, a Sleep that
// pumps messages (the control's timers tick through them), script errors and echoed lines that start with FAIL
// in the exit code. WScript offers Echo, Sleep ms, Arguments(i) and CreateObject(progid [, prefix]).
#include <ocidl.h>
#include <windows.h>
// The script engine interfaces' ids are not in MinGW's libuuid.
#include <initguid.h>
#include <activscp.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool script_failed = false, closing = false;

// A line in UTF-8; a failure's code, if given, after it in hex.
void print(const std::wstring& line, HRESULT hr = S_OK)
{
    std::string out(line.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &out[0],
                                   static_cast<int>(out.size()), nullptr, nullptr));
    std::printf(hr ? "%s 0x%08lx\n" : "%s\n", out.c_str(), static_cast<unsigned long>(hr));
    std::fflush(stdout);
}

std::wstring text_of(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// The objects below live as long as the run: their counts are not kept.
template <class I>
struct object : I {
    explicit object(IID iid = __uuidof(I)) : iid_(iid) {}
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        bool ours = iid == IID_IUnknown || iid == __uuidof(I) || iid == iid_;
        *out = ours ? this : nullptr;
        return ours ? S_OK : E_NOINTERFACE;
    }
    IID iid_;
};

struct dispatch_base : object<IDispatch> {
    using object::object;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};

// Receives the events of one object and calls prefix & name in the script.
struct event_sink : dispatch_base {
    event_sink(IDispatch* code, ITypeInfo* events, IID iid, std::wstring prefix)
        : dispatch_base(iid), code_(code), events_(events), prefix_(std::move(prefix)) {}
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        if (closing)  // the controls' teardown, while the engine closes
            return S_OK;
        BSTR name = nullptr;
        UINT found = 0;
        events_->GetNames(member, &name, 1, &found);
        std::wstring handler = prefix_ + text_of(name);
        LPOLESTR handler_name = &handler[0];
        // Engines take by-reference arguments as VARIANT references; a long left there goes back.
        UINT count = params->cArgs;
        std::vector<VARIANT> values(count), passed(params->rgvarg, params->rgvarg + count);
        for (UINT i = 0; i < count; ++i) {  // values start VT_EMPTY
            VariantCopyInd(&values[i], &passed[i]);
            passed[i].vt = VT_BYREF | VT_VARIANT;
            passed[i].pvarVal = &values[i];
        }
        DISPPARAMS call{passed.data(), nullptr, count, 0};
        DISPID id;
        HRESULT hr = code_->GetIDsOfNames(IID_NULL, &handler_name, 1, LOCALE_USER_DEFAULT, &id);
        if (SUCCEEDED(hr))
            hr = code_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &call, nullptr, nullptr, nullptr);
        if (FAILED(hr)) {  // the engine has reported a script error to the site
            print(L"handler " + handler + L" failed:", hr);
            script_failed = true;
        }
        for (UINT i = 0; i < count; ++i)
            if (params->rgvarg[i].vt == (VT_BYREF | VT_I4) &&
                SUCCEEDED(VariantChangeType(&values[i], &values[i], 0, VT_I4)))
                *params->rgvarg[i].plVal = values[i].lVal;
        return S_OK;
    }
    IDispatch* code_;
    ITypeInfo* events_;
    std::wstring prefix_;
};

// The WScript named item.
struct wscript_object : dispatch_base {
    wscript_object(IActiveScript* script, std::vector<std::wstring> arguments)
        : script_(script), arguments_(std::move(arguments)) {}
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* id) override
    {
        static const wchar_t* const members[] = {L"Echo", L"Sleep", L"CreateObject", L"Arguments"};
        for (*id = 1; *id <= 4; ++*id)
            if (lstrcmpiW(names[0], members[*id - 1]) == 0)
                return S_OK;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        VARIANT first{}, second{}, ignored;
        UINT n = params->cArgs;  // arguments arrive last first
        HRESULT hr = n ? VariantChangeType(&first, &params->rgvarg[n - 1], 0, member % 2 ? VT_BSTR : VT_I4)
                       : DISP_E_PARAMNOTFOUND;
        if (FAILED(hr))
            return hr;
        result = result ? result : &ignored;
        VariantInit(result);
        if (member == 1)
            print(text_of(first.bstrVal));
        script_failed |= member == 1 && text_of(first.bstrVal).rfind(L"FAIL", 0) == 0;
        if (member == 2)
            for (ULONGLONG now, end = GetTickCount64() + first.lVal; (now = GetTickCount64()) < end;) {
                MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
                for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
                    DispatchMessageW(&msg);
            }
        if (member == 3 && (n < 2 || SUCCEEDED(hr = VariantChangeType(&second, &params->rgvarg[0], 0, VT_BSTR))))
            hr = create(first.bstrVal, text_of(second.bstrVal), result);
        if (member == 4) {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(arguments_.at(first.lVal).c_str());
        }
        return hr;
    }
    // With a prefix, a sink is advised on the object's default source interface.
    HRESULT create(const wchar_t* progid, const std::wstring& prefix, VARIANT* result)
    {
        GUID clsid, iid;
        IDispatch *object, *code;
        IProvideClassInfo2* provider;
        ITypeInfo *coclass, *events;
        ITypeLib* library;
        IConnectionPointContainer* container;
        IConnectionPoint* point;
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
            FAILED(hr = container->FindConnectionPoint(iid, &point)) ||
            FAILED(hr = script_->GetScriptDispatch(nullptr, &code)))
            return hr;
        return point->Advise(new event_sink(code, events, iid, prefix), &cookie);
    }
    IActiveScript* script_;
    std::vector<std::wstring> arguments_;
};

struct script_site : object<IActiveScriptSite> {
    script_site(IDispatch* wscript, std::wstring file) : wscript_(wscript), file_(std::move(file)) {}
    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR, DWORD mask, IUnknown** item, ITypeInfo** info) override
    {
        if (info)
            *info = nullptr;
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
                  text_of(info.bstrDescription), info.scode ? info.scode : info.wCode);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }
    IDispatch* wscript_;
    std::wstring file_;
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring file = argc > 1 ? argv[1] : L"";
    std::ifstream in(file.c_str(), std::ios::binary);
    std::wstring code((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());  // ASCII scripts
    bool js = file.rfind(L".js") + 3 == file.size();
    CLSID clsid;
    IActiveScript* script = nullptr;
    IActiveScriptParse* parse = nullptr;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT hr = code.empty() ? E_INVALIDARG : CLSIDFromProgID(js ? L"JScript" : L"VBScript", &clsid);
    if (SUCCEEDED(hr) &&
        SUCCEEDED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                        reinterpret_cast<void**>(&script))))
        hr = script->QueryInterface(IID_IActiveScriptParse, reinterpret_cast<void**>(&parse));
    wscript_object wscript(script, std::vector<std::wstring>(argv + (argc > 1 ? 2 : argc), argv + argc));
    script_site site(&wscript, file);
    if (SUCCEEDED(hr) && SUCCEEDED(hr = parse->InitNew()) && SUCCEEDED(hr = script->SetScriptSite(&site)) &&
        SUCCEEDED(hr = script->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE)) &&
        SUCCEEDED(hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE,
                                              nullptr, nullptr)))
        hr = script->SetScriptState(SCRIPTSTATE_STARTED);  // runs the global code
    if (FAILED(hr) && !script_failed) {
        print(L"script_host: running " + file + L" failed:", hr);
        return 2;
    }
    closing = true;  // closing the engine releases the script's objects: the controls' teardown runs here
    script->Close();
    CoUninitialize();
    return script_failed ? 1 : 0;
}
