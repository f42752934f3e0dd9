// script_host SCRIPT [ARGS...]: runs a .vbs or .js file with the system's
// VBScript or JScript engine, the way cscript does, but with what Wine's
// cscript lacks: a Sleep that pumps window messages (the control's timers
// tick through them), CreateObject with an event prefix, and script errors
// that make the exit code non-zero.
//
// The named item WScript offers:
//   Echo text...             one line on stdout
//   Sleep ms                 waits, dispatching window messages meanwhile
//   CreateObject(progid [, prefix])
//                            with a prefix, each event E calls prefix & E
//   Quit [code]              ends the process with that exit code
//   Arguments(i), ArgumentCount
//                            the arguments after the script path
//   SameBytes(a, b)          true when both files exist and hold equal bytes
//   ReadBytes(path, offset, count)
//                            bytes of a file as a text, one character each
//   DeleteFile path          removes a file if it is there
#include <ocidl.h>
#include <olectl.h>
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

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string narrow(const wchar_t* text, size_t length)
{
    if (!text || length == 0)
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], size, nullptr, nullptr);
    return out;
}

std::string narrow(BSTR text) { return narrow(text, text ? SysStringLen(text) : 0); }

void print_line(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool script_failed = false;

std::string hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

// Wine's VBScript leaves the description of many runtime errors empty.
std::string system_message(HRESULT code)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    while (length && (text[length - 1] == L'\n' || text[length - 1] == L'\r'))
        --length;
    std::string message = length ? narrow(text, length) : std::string("(no description)");
    LocalFree(text);
    return message;
}

// Waits while dispatching messages, so timers of objects on this thread fire.
void pump_for(DWORD ms)
{
    ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

// Argument i (first = 0) of a call; arguments arrive last-first.
VARIANT* argument(DISPPARAMS* params, UINT i)
{
    UINT positional = params->cArgs - params->cNamedArgs;
    if (i >= positional)
        return nullptr;
    return &params->rgvarg[positional - 1 - i];
}

HRESULT argument_as(DISPPARAMS* params, UINT i, VARTYPE type, VARIANT* out)
{
    VariantInit(out);
    VARIANT* arg = argument(params, i);
    if (!arg)
        return DISP_E_PARAMNOTFOUND;
    return VariantChangeType(out, arg, 0, type);  // also follows references
}

std::string argument_text(DISPPARAMS* params, UINT i, HRESULT* hr)
{
    VARIANT text;
    *hr = argument_as(params, i, VT_BSTR, &text);
    if (FAILED(*hr))
        return {};
    std::string out = narrow(text.bstrVal);
    VariantClear(&text);
    return out;
}

bool read_file(const std::string& path, std::string& bytes)
{
    std::ifstream in(widen(path).c_str(), std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

class unknown_base {
public:
    virtual ~unknown_base() = default;

protected:
    ULONG add_ref() { return ++refs_; }
    ULONG release()
    {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    ULONG refs_ = 1;
};

// Receives the events of one object and calls prefix & name in the script.
class event_sink : public IDispatch, private unknown_base {
public:
    event_sink(IActiveScript* script, ITypeInfo* events, IID events_iid, std::wstring prefix)
        : script_(script), events_(events), iid_(events_iid), prefix_(std::move(prefix))
    {
        script_->AddRef();
        events_->AddRef();
    }
    ~event_sink() override
    {
        events_->Release();
        script_->Release();
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == iid_) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override
    {
        BSTR name = nullptr;
        UINT names = 0;
        if (FAILED(events_->GetNames(member, &name, 1, &names)) || names == 0)
            return S_OK;
        std::wstring handler = prefix_ + std::wstring(name, SysStringLen(name));
        SysFreeString(name);

        IDispatch* code = nullptr;
        if (FAILED(script_->GetScriptDispatch(nullptr, &code)) || !code)
            return S_OK;
        LPOLESTR handler_name = &handler[0];
        DISPID handler_id = DISPID_UNKNOWN;
        if (FAILED(code->GetIDsOfNames(IID_NULL, &handler_name, 1, LOCALE_USER_DEFAULT, &handler_id))) {
            code->Release();  // no handler for this event: nothing to do
            return S_OK;
        }

        // A by-reference argument reaches the script as a reference to a
        // VARIANT of its own (the form script engines give by-reference
        // parameters); what the handler leaves there goes back to the caller.
        UINT count = params ? params->cArgs - params->cNamedArgs : 0;
        std::vector<VARIANT> values(count);
        std::vector<VARIANTARG> passed(count);
        for (UINT i = 0; i < count; ++i) {
            VARIANT& original = params->rgvarg[i];
            VariantInit(&values[i]);
            if ((original.vt & VT_BYREF) && original.vt != (VT_BYREF | VT_VARIANT)) {
                VariantCopyInd(&values[i], &original);
                passed[i].vt = VT_BYREF | VT_VARIANT;
                passed[i].pvarVal = &values[i];
            } else {
                passed[i] = original;
            }
        }
        DISPPARAMS call{count ? passed.data() : nullptr, nullptr, count, 0};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception{};
        UINT arg_error = 0;
        HRESULT hr = code->Invoke(handler_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &call, &result,
                                  &exception, &arg_error);
        if (FAILED(hr)) {
            // The engine has reported the error through the site already.
            print_line("handler " + narrow(handler.c_str(), handler.size()) + " failed: " + hex(hr));
            script_failed = true;
            SysFreeString(exception.bstrSource);
            SysFreeString(exception.bstrDescription);
            SysFreeString(exception.bstrHelpFile);
        }
        VariantClear(&result);
        for (UINT i = 0; i < count; ++i) {
            VARIANT& original = params->rgvarg[i];
            if (passed[i].vt == (VT_BYREF | VT_VARIANT) && passed[i].pvarVal == &values[i]) {
                write_back(original, values[i]);
                VariantClear(&values[i]);
            }
        }
        code->Release();
        return S_OK;
    }

private:
    static void write_back(VARIANT& target, VARIANT& value)
    {
        VARTYPE type = target.vt & ~VT_BYREF;
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeType(&converted, &value, 0, type)))
            return;
        switch (type) {
        case VT_I4:
            *target.plVal = converted.lVal;
            break;
        case VT_I2:
            *target.piVal = converted.iVal;
            break;
        case VT_BOOL:
            *target.pboolVal = converted.boolVal;
            break;
        case VT_BSTR:
            SysFreeString(*target.pbstrVal);
            *target.pbstrVal = converted.bstrVal;
            converted.vt = VT_EMPTY;  // ownership moved to the caller's BSTR
            break;
        default:
            break;
        }
        VariantClear(&converted);
    }

    IActiveScript* script_;
    ITypeInfo* events_;
    IID iid_;
    std::wstring prefix_;
};

struct connection {
    IConnectionPoint* point;
    DWORD cookie;
};

// The WScript named item.
class wscript_object : public IDispatch, private unknown_base {
public:
    wscript_object(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    void set_script(IActiveScript* script) { script_ = script; }

    // Drops every event connection: the sinks hold the script engine.
    void disconnect()
    {
        for (auto& c : connections_) {
            c.point->Unadvise(c.cookie);
            c.point->Release();
        }
        connections_.clear();
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            if (i > 0) {  // named arguments are not supported
                hr = DISP_E_UNKNOWNNAME;
                continue;
            }
            for (DISPID id = 0; id < static_cast<DISPID>(member_count); ++id)
                if (lstrcmpiW(names[i], members[id]) == 0)
                    ids[i] = id + 1;
            if (ids[i] == DISPID_UNKNOWN)
                hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        if (!params)
            params = &none;
        VARIANT ignored;
        VariantInit(&ignored);
        if (!result)
            result = &ignored;
        HRESULT hr = S_OK;
        switch (member) {
        case echo: {
            std::string line;
            UINT count = params->cArgs - params->cNamedArgs;
            for (UINT i = 0; i < count && SUCCEEDED(hr); ++i)
                line += (i ? " " : "") + argument_text(params, i, &hr);
            if (SUCCEEDED(hr))
                print_line(line);
            break;
        }
        case sleep: {
            VARIANT ms;
            hr = argument_as(params, 0, VT_I4, &ms);
            if (SUCCEEDED(hr))
                pump_for(ms.lVal > 0 ? static_cast<DWORD>(ms.lVal) : 0);
            break;
        }
        case create_object:
            hr = create(params, result);
            break;
        case quit: {
            VARIANT code;
            int exit_code = 0;
            if (SUCCEEDED(argument_as(params, 0, VT_I4, &code)))
                exit_code = code.lVal;
            std::fflush(stdout);
            std::fflush(stderr);
            ExitProcess(script_failed && exit_code == 0 ? 1 : static_cast<UINT>(exit_code));
        }
        case arguments: {
            VARIANT index;
            hr = argument_as(params, 0, VT_I4, &index);
            if (SUCCEEDED(hr) && (index.lVal < 0 || static_cast<size_t>(index.lVal) >= arguments_.size()))
                hr = DISP_E_BADINDEX;
            if (SUCCEEDED(hr)) {
                std::wstring text = widen(arguments_[index.lVal]);
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            }
            break;
        }
        case argument_count:
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(arguments_.size());
            break;
        case same_bytes: {
            std::string a = argument_text(params, 0, &hr);
            std::string b = SUCCEEDED(hr) ? argument_text(params, 1, &hr) : std::string();
            if (SUCCEEDED(hr)) {
                std::string bytes_a, bytes_b;
                bool same = read_file(a, bytes_a) && read_file(b, bytes_b) && bytes_a == bytes_b;
                result->vt = VT_BOOL;
                result->boolVal = same ? VARIANT_TRUE : VARIANT_FALSE;
            }
            break;
        }
        case read_bytes: {
            std::string path = argument_text(params, 0, &hr);
            VARIANT offset, count;
            if (SUCCEEDED(hr))
                hr = argument_as(params, 1, VT_I4, &offset);
            if (SUCCEEDED(hr))
                hr = argument_as(params, 2, VT_I4, &count);
            if (SUCCEEDED(hr)) {
                std::string bytes;
                std::wstring text;
                if (read_file(path, bytes) && offset.lVal >= 0 && static_cast<size_t>(offset.lVal) < bytes.size())
                    for (size_t i = offset.lVal; i < bytes.size() && i < static_cast<size_t>(offset.lVal) + count.lVal; ++i)
                        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            }
            break;
        }
        case delete_file: {
            std::string path = argument_text(params, 0, &hr);
            if (SUCCEEDED(hr))
                DeleteFileW(widen(path).c_str());
            break;
        }
        default:
            hr = DISP_E_MEMBERNOTFOUND;
        }
        VariantClear(&ignored);
        return hr;
    }

private:
    enum : DISPID {
        echo = 1,
        sleep,
        create_object,
        quit,
        arguments,
        argument_count,
        same_bytes,
        read_bytes,
        delete_file
    };
    static constexpr const wchar_t* members[] = {L"Echo",          L"Sleep",     L"CreateObject",
                                                 L"Quit",          L"Arguments", L"ArgumentCount",
                                                 L"SameBytes",     L"ReadBytes", L"DeleteFile"};
    static constexpr size_t member_count = sizeof(members) / sizeof(members[0]);

    HRESULT create(DISPPARAMS* params, VARIANT* result)
    {
        HRESULT hr = S_OK;
        std::wstring progid = widen(argument_text(params, 0, &hr));
        if (FAILED(hr))
            return hr;
        std::wstring prefix;
        if (argument(params, 1))
            prefix = widen(argument_text(params, 1, &hr));
        if (FAILED(hr))
            return hr;
        CLSID clsid;
        hr = CLSIDFromProgID(progid.c_str(), &clsid);
        if (FAILED(hr))
            return hr;
        IDispatch* object = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object));
        if (FAILED(hr))
            return hr;
        if (!prefix.empty()) {
            hr = connect(object, prefix);
            if (FAILED(hr)) {
                object->Release();
                return hr;
            }
        }
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
        return S_OK;
    }

    // Finds the default source interface and advises a sink on it.
    HRESULT connect(IDispatch* object, const std::wstring& prefix)
    {
        IProvideClassInfo2* provider = nullptr;
        HRESULT hr = object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&provider));
        if (FAILED(hr))
            return hr;
        IID events_iid;
        ITypeInfo* coclass = nullptr;
        hr = provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events_iid);
        if (SUCCEEDED(hr))
            hr = provider->GetClassInfo(&coclass);
        provider->Release();
        if (FAILED(hr))
            return hr;
        ITypeLib* library = nullptr;
        UINT index = 0;
        ITypeInfo* events = nullptr;
        hr = coclass->GetContainingTypeLib(&library, &index);
        coclass->Release();
        if (FAILED(hr))
            return hr;
        hr = library->GetTypeInfoOfGuid(events_iid, &events);
        library->Release();
        if (FAILED(hr))
            return hr;

        IConnectionPointContainer* container = nullptr;
        IConnectionPoint* point = nullptr;
        hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
        if (SUCCEEDED(hr)) {
            hr = container->FindConnectionPoint(events_iid, &point);
            container->Release();
        }
        if (SUCCEEDED(hr)) {
            auto* sink = new event_sink(script_, events, events_iid, prefix);
            DWORD cookie = 0;
            hr = point->Advise(sink, &cookie);
            sink->Release();
            if (SUCCEEDED(hr))
                connections_.push_back({point, cookie});
            else
                point->Release();
        }
        events->Release();
        return hr;
    }

    std::vector<std::string> arguments_;
    IActiveScript* script_ = nullptr;
    std::vector<connection> connections_;
};

class script_site : public IActiveScriptSite, public IActiveScriptSiteWindow, private unknown_base {
public:
    script_site(wscript_object* wscript, std::string file) : wscript_(wscript), file_(std::move(file))
    {
        wscript_->AddRef();
    }
    ~script_site() override { wscript_->Release(); }

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IActiveScriptSite)
            *out = static_cast<IActiveScriptSite*>(this);
        else if (iid == IID_IActiveScriptSiteWindow)
            *out = static_cast<IActiveScriptSiteWindow*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) override
    {
        if (item)
            *item = nullptr;
        if (info)
            *info = nullptr;
        if (lstrcmpiW(name, L"WScript") != 0)
            return TYPE_E_ELEMENTNOTFOUND;
        if (mask & SCRIPTINFO_IUNKNOWN) {
            if (!item)
                return E_POINTER;
            wscript_->AddRef();
            *item = static_cast<IDispatch*>(wscript_);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override
    {
        script_failed = true;
        EXCEPINFO info{};
        DWORD context = 0;
        ULONG line = 0;
        LONG column = 0;
        error->GetExceptionInfo(&info);
        error->GetSourcePosition(&context, &line, &column);
        if (info.pfnDeferredFillIn)
            info.pfnDeferredFillIn(&info);
        std::string text = file_ + "(" + std::to_string(line + 1) + ", " + std::to_string(column + 1) +
                           "): script error " + hex(info.scode ? info.scode : info.wCode);
        if (info.bstrSource)
            text += " (" + narrow(info.bstrSource) + ")";
        if (info.bstrDescription && SysStringLen(info.bstrDescription))
            text += ": " + narrow(info.bstrDescription);
        else
            text += ": " + system_message(info.scode);
        BSTR source_line = nullptr;
        if (SUCCEEDED(error->GetSourceLineText(&source_line)) && source_line)
            text += "\n  " + narrow(source_line);
        SysFreeString(source_line);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
        print_line(text);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override
    {
        if (!window)
            return E_POINTER;
        *window = nullptr;  // dialogs get the desktop as owner
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

private:
    wscript_object* wscript_;
    std::string file_;
};

int fail(const std::string& what, HRESULT hr)
{
    print_line("script_host: " + what + " failed: " + hex(hr));
    return 2;
}

int run(int argc, wchar_t** argv)
{
    if (argc < 2) {
        print_line("usage: script_host SCRIPT.vbs|SCRIPT.js [ARGS...]");
        return 2;
    }
    std::string file = narrow(argv[1], wcslen(argv[1]));
    std::string source;
    if (!read_file(file, source)) {
        print_line("script_host: cannot read " + file);
        return 2;
    }
    size_t dot = file.find_last_of('.');
    std::string extension = dot == std::string::npos ? std::string() : file.substr(dot);
    for (char& c : extension)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const wchar_t* language = extension == ".js" ? L"JScript" : extension == ".vbs" ? L"VBScript" : nullptr;
    if (!language) {
        print_line("script_host: " + file + " is neither .vbs nor .js");
        return 2;
    }

    std::vector<std::string> arguments;
    for (int i = 2; i < argc; ++i)
        arguments.push_back(narrow(argv[i], wcslen(argv[i])));

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(language, &clsid);
    if (FAILED(hr))
        return fail("CLSIDFromProgID", hr);
    IActiveScript* script = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                          reinterpret_cast<void**>(&script));
    if (FAILED(hr))
        return fail("creating the script engine", hr);
    IActiveScriptParse* parse = nullptr;
    hr = script->QueryInterface(IID_IActiveScriptParse, reinterpret_cast<void**>(&parse));
    if (FAILED(hr))
        return fail("IActiveScriptParse", hr);

    auto* wscript = new wscript_object(std::move(arguments));
    wscript->set_script(script);
    auto* site = new script_site(wscript, file);
    hr = parse->InitNew();
    if (SUCCEEDED(hr))
        hr = script->SetScriptSite(site);
    if (SUCCEEDED(hr))
        hr = script->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
    if (FAILED(hr))
        return fail("setting up the script engine", hr);

    std::wstring code = widen(source);
    if (code.size() && code[0] == 0xFEFF)
        code.erase(0, 1);
    EXCEPINFO exception{};
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr,
                                &exception);
    if (SUCCEEDED(hr))
        hr = script->SetScriptState(SCRIPTSTATE_STARTED);  // runs the global code
    if (FAILED(hr) && !script_failed) {
        fail("running " + file, hr);
        script_failed = true;
    }

    // Events end with the connections; closing the engine releases the
    // script's objects (the control's teardown runs here).
    wscript->disconnect();
    script->Close();
    parse->Release();
    script->Release();
    site->Release();
    wscript->Release();
    return script_failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr))
        return fail("CoInitializeEx", hr);
    int code = run(argc, argv);
    CoUninitialize();
    return code;
}
