// The KELBzip2 control as a client sees it through IDispatch alone: names
// resolved at run time, events through a connection point, the host's
// message loop driving the control's timers.
#include <ocidl.h>
#include <windows.h>

// Defines the type library's identifiers in this program.
#include <initguid.h>

#include "kelbzip2_201_h.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

// The test's paths are UTF-8.
std::wstring wide(const std::string& s)
{
    std::wstring out(s.size(), L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], static_cast<int>(s.size())));
    return out;
}

struct event {
    std::string name;
    long number = 0;
    std::wstring text;
};

// Records what the control raises, in order.
class recording_sink : public IDispatch {
public:
    std::vector<event> events;
    std::function<void(const event&)> on_event;

    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___KELBzip2) {
            *out = static_cast<IDispatch*>(this);
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
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        event e;
        switch (id) {
        case 1:
            e.name = "Finished";
            break;
        case 2:
            e.name = "Progress";
            EXPECT_EQ(params->cArgs, 1u);
            EXPECT_EQ(params->rgvarg[0].vt, VT_BYREF | VT_I4);
            e.number = *params->rgvarg[0].plVal;
            break;
        case 3:
            e.name = "ErrorCode";
            EXPECT_EQ(params->cArgs, 2u);
            EXPECT_EQ(params->rgvarg[1].vt, VT_BYREF | VT_I4);
            EXPECT_EQ(params->rgvarg[0].vt, VT_BYREF | VT_BSTR);
            e.number = *params->rgvarg[1].plVal;
            e.text = *params->rgvarg[0].pbstrVal ? *params->rgvarg[0].pbstrVal : L"";
            break;
        default:
            ADD_FAILURE() << "unknown event " << id;
        }
        events.push_back(e);
        if (on_event)
            on_event(e);
        return S_OK;
    }

    bool finished() const
    {
        for (auto& e : events)
            if (e.name == "Finished")
                return true;
        return false;
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (auto& e : events)
            out.push_back(e.name);
        return out;
    }
};

// Serves the thread's messages until cond holds; the control's timers tick here.
bool pump_until(const std::function<bool()>& cond, DWORD bound_ms = 120000)
{
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > bound_ms)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

struct call_result {
    HRESULT hr = E_FAIL;
    VARIANT value;
    EXCEPINFO exception{};
    UINT arg_error = 0;
    call_result() { VariantInit(&value); }
    ~call_result()
    {
        VariantClear(&value);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrHelpFile);
    }
};

DISPID id_of(IDispatch* object, const wchar_t* name)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << "no member named " << name;
    return id;
}

// Calls a method by name; args in written order (the helper reverses them).
void invoke(call_result& r, IDispatch* object, const wchar_t* name, std::vector<VARIANT> args = {})
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    r.hr = object->Invoke(id_of(object, name), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &r.value,
                          &r.exception, &r.arg_error);
}

VARIANT bstr(const std::wstring& s)
{
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return v;
}

VARIANT i4(long n)
{
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

class ControlThroughDispatch : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        dir = scratch_dir();
        control = create();
        ASSERT_NE(control, nullptr);
        connect(control, &sink);
    }
    void TearDown() override
    {
        if (control) {
            if (point)
                point->Unadvise(cookie);
            if (point)
                point->Release();
            control->Release();
        }
        for (BSTR b : strings)
            SysFreeString(b);
        CoUninitialize();
    }

    static IDispatch* create()
    {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(L"KELBzip2_201.KELBzip2", &clsid)))
            return nullptr;
        IDispatch* object = nullptr;
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
        return object;
    }

    void connect(IDispatch* object, recording_sink* to)
    {
        IConnectionPointContainer* container = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(DIID___KELBzip2, &point), S_OK);
        container->Release();
        ASSERT_EQ(point->Advise(to, &cookie), S_OK);
    }

    // A job method by name with two file names and, for the compressions, a level.
    void job(const wchar_t* method, const std::string& in, const std::string& out, long level = -100)
    {
        call_result r;
        std::vector<VARIANT> args{bstr(wide(in)), bstr(wide(out))};
        if (level != -100)
            args.push_back(i4(level));
        invoke(r, control, method, args);
        for (auto& a : args)
            VariantClear(&a);
        EXPECT_EQ(r.hr, S_OK) << method;
        EXPECT_EQ(r.value.vt, VT_EMPTY) << "job methods return an empty Variant";
    }
    void simple(const wchar_t* method)
    {
        call_result r;
        invoke(r, control, method);
        EXPECT_EQ(r.hr, S_OK) << method;
    }
    bool status()
    {
        call_result r;
        invoke(r, control, L"Status");
        EXPECT_EQ(r.value.vt, VT_BOOL);
        return r.value.boolVal != VARIANT_FALSE;
    }
    std::wstring text_of(const wchar_t* method)
    {
        call_result r;
        invoke(r, control, method);
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.value.vt, VT_BSTR);
        return r.value.bstrVal ? r.value.bstrVal : L"";
    }
    // Waits for the job's end and checks the closing events.
    void expect_end(long code, const std::wstring& message)
    {
        ASSERT_TRUE(pump_until([&] { return sink.finished(); })) << "no Finished";
        ASSERT_GE(sink.events.size(), 4u);
        const auto& e = sink.events;
        size_t n = e.size();
        EXPECT_EQ(e[0].name, "Progress");
        EXPECT_EQ(e[0].number, 0);
        EXPECT_EQ(e[n - 3].name, "Progress");
        EXPECT_EQ(e[n - 3].number, 100);
        EXPECT_EQ(e[n - 2].name, "ErrorCode");
        EXPECT_EQ(e[n - 2].number, code);
        EXPECT_EQ(e[n - 2].text, message);
        EXPECT_EQ(e[n - 1].name, "Finished");
        for (size_t i = 1; i + 3 < n; ++i) {
            EXPECT_EQ(e[i].name, "Progress");
            EXPECT_LE(e[i].number, 97) << "the poll never reports more than 97";
        }
    }
    std::string path(const std::string& name) const { return dir + "\\" + name; }

    IDispatch* control = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    recording_sink sink;
    std::string dir;
    std::vector<BSTR> strings;
};

}  // namespace

TEST_F(ControlThroughDispatch, NamesResolveToTheFixedDispatchIds)
{
    const std::pair<const wchar_t*, DISPID> members[] = {
        {L"Compress", 0x60030003},      {L"CompressBzip3", 0x60030004}, {L"Decompress", 0x60030005},
        {L"DecompressBzip3", 0x60030006}, {L"About", 0x60030009},       {L"PauseCompress", 0x6003000A},
        {L"ResumeCompress", 0x6003000B}, {L"CancelCompress", 0x6003000C}, {L"ControlName", 0x6003000D},
        {L"GetCPUVendor", 0x6003000E},  {L"GetCPUBrandString", 0x6003000F}, {L"Status", 0x60030010},
        {L"OpenFile", 0x60030011}};
    for (auto [name, id] : members)
        EXPECT_EQ(id_of(control, name), id) << name;
}

TEST_F(ControlThroughDispatch, Bzip2JobsRaiseTheWholeEventSequence)
{
    job(L"Compress", fixture("binary.bin"), path("b.bz2"), 9);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("b.bz2")), read_file(fixture("binary.bin.9.bz2")));

    sink.events.clear();
    job(L"Decompress", path("b.bz2"), path("b.out"));
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("b.out")), read_file(fixture("binary.bin")));
}

TEST_F(ControlThroughDispatch, ClassIdsCreateBothControls)
{
    // The fixture's control came from its ProgID; one made from the class id
    // runs a job just as well.
    point->Unadvise(cookie);
    point->Release();
    point = nullptr;
    control->Release();
    ASSERT_EQ(CoCreateInstance(CLSID_KELBzip2, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&control)),
              S_OK);
    connect(control, &sink);
    job(L"Compress", fixture("text.txt"), path("t.bz2"), 1);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("t.bz2")), read_file(fixture("text.txt.1.bz2")));

    CLSID named{};
    ASSERT_EQ(CLSIDFromProgID(L"KELBzip2_201.ProgBar", &named), S_OK);
    for (const CLSID& clsid : {CLSID_ProgBar, named}) {
        IUnknown* progbar = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&progbar)),
                  S_OK);
        if (progbar)
            progbar->Release();
    }
}

TEST_F(ControlThroughDispatch, Bzip3JobsRaiseTheWholeEventSequence)
{
    job(L"CompressBzip3", fixture("text.txt"), path("t.bz3"), 5);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("t.bz3")).substr(0, 4), "KELB");

    sink.events.clear();
    job(L"DecompressBzip3", path("t.bz3"), path("t.out"));
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("t.out")), read_file(fixture("text.txt")));
}

// Names in any script and an absolute path of 300 characters, both formats:
// a client's strings are UTF-16, and each reaches its file.
TEST_F(ControlThroughDispatch, NamesInAnyScriptAndLongPathsRunWholeJobs)
{
    ASSERT_LT(dir.size(), 250u);
    size_t room = 300 - dir.size() - 2;
    std::string folder = path(std::string(room / 2, 'd'));
    fs::create_directories(folder);
    const std::string names[] = {path("\xCE\xB1\xCF\x81\xCF\x87\xCE\xB5\xCE\xAF\xCE\xBF"),  // Greek
                                 path("\xE6\x96\x87\xE4\xBB\xB6"),                          // Chinese
                                 path("\xF0\x9F\x93\xA6 box"),                              // an emoji
                                 folder + "\\" + std::string(room - room / 2, 'f')};
    ASSERT_EQ(names[3].size(), 300u);
    const std::string original = read_file(fixture("text.txt"));
    for (const std::string& name : names) {
        write_file(name, original);
        for (auto [pack, unpack, level] :
             {std::tuple{L"Compress", L"Decompress", 9L}, {L"CompressBzip3", L"DecompressBzip3", 5L}}) {
            SCOPED_TRACE(name);
            sink.events.clear();
            job(pack, name, name + ".z", level);
            expect_end(0, L"No error");
            sink.events.clear();
            job(unpack, name + ".z", name + ".back");
            expect_end(0, L"No error");
            EXPECT_EQ(read_file(name + ".back"), original);
        }
    }
}

TEST_F(ControlThroughDispatch, RefusalsRaiseOnlyErrorCodeInTheirFixedOrder)
{
    struct refusal {
        const wchar_t* method;
        std::string in, out;
        long level;
        long code;
        const wchar_t* message;
    };
    const std::string in = fixture("text.txt");
    const refusal cases[] = {
        {L"Compress", "", "", 9, 2, L"The input file is the same as the output"},
        {L"Compress", "C:\\Data\\A.TXT", "c:\\data\\a.txt", 9, 2, L"The input file is the same as the output"},
        {L"Compress", "", path("o"), 9, 3, L"The input file is empty "},
        {L"Decompress", in, "", -100, 4, L"The outputfile file is empty "},
        {L"Compress", in, "", 12, 4, L"The outputfile file is empty "},
        {L"Compress", in, path("o"), 10, 1, L"Invalid compression level "},
        {L"Compress", in, path("o"), -1, 1, L"Invalid compression level "},
        {L"CompressBzip3", in, path("o"), 0, 1, L"Invalid compression level "},
    };
    for (const refusal& c : cases) {
        sink.events.clear();
        job(c.method, c.in, c.out, c.level);
        ASSERT_EQ(sink.events.size(), 1u) << "only ErrorCode, during the call";
        EXPECT_EQ(sink.events[0].name, "ErrorCode");
        EXPECT_EQ(sink.events[0].number, c.code);
        EXPECT_EQ(sink.events[0].text, c.message);
    }
    // Level 0 is fine for bzip2.
    sink.events.clear();
    job(L"Compress", in, path("zero.bz2"), 0);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("zero.bz2")).substr(0, 4), "BZh1");
}

TEST_F(ControlThroughDispatch, SecondJobWhileOneRunsIsRefusedWith7)
{
    job(L"Compress", fixture("large.bin"), path("l.bz2"), 9);
    ASSERT_TRUE(status());
    size_t before = sink.events.size();
    job(L"Decompress", fixture("text.txt.1.bz2"), path("x"));
    ASSERT_EQ(sink.events.size(), before + 1);
    EXPECT_EQ(sink.events.back().number, 7);
    EXPECT_EQ(sink.events.back().text,
              L"Already running , call the cancel function or wait for the end of execution");
    simple(L"CancelCompress");
    ASSERT_TRUE(pump_until([&] { return sink.finished(); }));
    EXPECT_FALSE(file_exists(path("x")));
}

TEST_F(ControlThroughDispatch, PauseHoldsProgressAndCancelEndsWith119)
{
    job(L"Compress", fixture("large.bin"), path("l.bz2"), 9);
    ASSERT_TRUE(pump_until([&] { return sink.events.size() > 1 || sink.finished(); })) << "no progress";
    ASSERT_FALSE(sink.finished()) << "the job ended before it could be paused";
    simple(L"PauseCompress");
    pump_until([] { return false; }, 500);  // what was in flight arrives
    size_t held = sink.events.size();
    pump_until([] { return false; }, 800);
    EXPECT_EQ(sink.events.size(), held) << "no Progress while paused";
    EXPECT_TRUE(status());
    simple(L"ResumeCompress");
    simple(L"PauseCompress");
    simple(L"CancelCompress");
    EXPECT_FALSE(status()) << "cancel returns once the worker has stopped";
    expect_end(119, L"User cancel");
    EXPECT_FALSE(file_exists(path("l.bz2")));
}

TEST_F(ControlThroughDispatch, ScriptStyleLevelsAreCoerced)
{
    // A script hands a Long by reference as a reference to a VARIANT, or as a
    // value of another type; both must work.
    VARIANT level;
    level.vt = VT_I2;
    level.iVal = 3;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &level;
    call_result r;
    invoke(r, control, L"Compress", {bstr(wide(fixture("text.txt"))), bstr(wide(path("a.bz2"))), ref});
    EXPECT_EQ(r.hr, S_OK);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("a.bz2")).substr(0, 4), "BZh3");

    sink.events.clear();
    call_result s;
    invoke(s, control, L"CompressBzip3", {bstr(wide(fixture("text.txt"))), bstr(wide(path("b.bz3"))), bstr(L"7")});
    EXPECT_EQ(s.hr, S_OK);
    expect_end(0, L"No error");
    EXPECT_EQ(read_file(path("b.bz3")).substr(40, 4), "BZh7");
}

TEST_F(ControlThroughDispatch, BadArgumentsEndInDispatchErrorsNotCrashes)
{
    call_result few;
    invoke(few, control, L"Compress", {bstr(L"a")});
    EXPECT_EQ(few.hr, DISP_E_BADPARAMCOUNT);

    call_result word;
    invoke(word, control, L"Compress", {bstr(L"a"), bstr(L"b"), bstr(L"nine")});
    EXPECT_EQ(word.hr, DISP_E_TYPEMISMATCH);

    VARIANT object;
    object.vt = VT_DISPATCH;
    object.pdispVal = control;
    control->AddRef();
    call_result wrong;
    invoke(wrong, control, L"Decompress", {object, bstr(L"b")});
    EXPECT_TRUE(FAILED(wrong.hr));

    // Null texts count as empty: both empty is "the same".
    VARIANT null_text;
    null_text.vt = VT_BSTR;
    null_text.bstrVal = nullptr;
    call_result nulls;
    invoke(nulls, control, L"Decompress", {null_text, null_text});
    EXPECT_EQ(nulls.hr, S_OK);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.back().number, 2);
}

TEST_F(ControlThroughDispatch, NameProcessorAndStatusAnswer)
{
    EXPECT_EQ(text_of(L"ControlName"), L"Tessel OCX 2.0.1");
    EXPECT_EQ(text_of(L"GetCPUVendor").size(), 12u);
    std::wstring brand = text_of(L"GetCPUBrandString");
    EXPECT_FALSE(brand.empty());
    EXPECT_NE(brand.front(), L' ');
    EXPECT_FALSE(status());
    EXPECT_TRUE(sink.events.empty()) << "none of these raises an event";
}

TEST_F(ControlThroughDispatch, KeepsItsSizeWhateverTheHostAsks)
{
    IOleObject* ole = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
    SIZEL asked{5000, 123};
    EXPECT_EQ(ole->SetExtent(DVASPECT_CONTENT, &asked), S_OK);
    SIZEL size{};
    EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 970) << "550 twips";
    EXPECT_EQ(size.cy, 970);
    DWORD misc = 0;
    EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
    EXPECT_EQ(misc, 0x00020591u);
    ole->Release();

    IProvideClassInfo2* info = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)), S_OK);
    GUID events{};
    EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
    EXPECT_TRUE(IsEqualGUID(events, DIID___KELBzip2));
    info->Release();
}

TEST_F(ControlThroughDispatch, ReleasingTheControlDuringAJobStopsIt)
{
    job(L"Compress", fixture("large.bin"), path("l.bz2"), 9);
    ASSERT_TRUE(status());
    point->Unadvise(cookie);
    point->Release();
    point = nullptr;
    EXPECT_EQ(control->Release(), 0u);
    control = nullptr;
    // Teardown cancelled the job and waited for it: the target is gone and
    // the engine is idle for the next control.
    EXPECT_FALSE(file_exists(path("l.bz2")));
    control = create();
    ASSERT_NE(control, nullptr);
    EXPECT_FALSE(status());
}

// A copy of the control library in a folder of its own, to see what it does
// when the engine beside it is missing or wrong.
class LoneControlLibrary : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        dir = scratch_dir();
        fs::copy_file(host_path(OCX_FILE), dir + "\\kelbzip2_201.ocx");
        module = LoadLibraryA((dir + "\\kelbzip2_201.ocx").c_str());
        ASSERT_NE(module, nullptr);
        auto get_class = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        ASSERT_NE(get_class, nullptr);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(get_class(CLSID_KELBzip2, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)), S_OK);
        factory->Release();
    }
    void TearDown() override
    {
        if (control)
            control->Release();
        CoUninitialize();
    }
    void expect_failure(HRESULT code, const std::wstring& description_start)
    {
        call_result r;
        invoke(r, control, L"Decompress", {bstr(L"a"), bstr(L"b")});
        ASSERT_EQ(r.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(r.exception.scode, code);
        ASSERT_NE(r.exception.bstrDescription, nullptr);
        EXPECT_EQ(std::wstring(r.exception.bstrDescription).substr(0, description_start.size()), description_start);

        // The same failure through the dual interface, with IErrorInfo.
        _KELBzip2* dual = nullptr;
        ASSERT_EQ(control->QueryInterface(IID__KELBzip2, reinterpret_cast<void**>(&dual)), S_OK);
        BSTR vendor = nullptr;
        EXPECT_EQ(dual->GetCPUVendor(&vendor), code);
        IErrorInfo* info = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
        BSTR description = nullptr;
        info->GetDescription(&description);
        EXPECT_EQ(std::wstring(description).substr(0, description_start.size()), description_start);
        SysFreeString(description);
        info->Release();
        dual->Release();
    }

    std::string dir;
    HMODULE module = nullptr;
    IDispatch* control = nullptr;
};

TEST_F(LoneControlLibrary, MissingEngineIs50003UntilTheFileIsInPlace)
{
    expect_failure(static_cast<HRESULT>(0x800AC353), L"Error loading the " + wide(dir) + L"\\kelbzip2_201.dll");
    // Each call tries again: once the engine is there, it binds.
    fs::copy_file(host_path(ENGINE_FILE), dir + "\\kelbzip2_201.dll");
    call_result answer;
    invoke(answer, control, L"Status");
    EXPECT_EQ(answer.hr, S_OK);
    EXPECT_EQ(answer.value.vt, VT_BOOL);
}

TEST_F(LoneControlLibrary, EngineWithoutInterface1Is50004)
{
    fs::copy_file(host_path(NOT_AN_ENGINE), dir + "\\kelbzip2_201.dll");
    expect_failure(static_cast<HRESULT>(0x800AC354),
                   L"Error locating the interface1 function , please contact the develper ");
    call_result name;
    invoke(name, control, L"ControlName");
    EXPECT_EQ(name.hr, S_OK) << "ControlName needs no engine";
}
