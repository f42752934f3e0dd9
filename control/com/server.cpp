// The in-process server: class objects, unloading, and self-registration.
#include "classes.h"
#include "com_support.h"
#include "kelbzip2_201_h.h"

#include <string>

namespace kelbcom {

const control_class classes[2] = {
    // Invisible at run time, inside-out, set client site first.
    {&CLSID_KELBzip2, L"KELBzip2_201.KELBzip2", 0x00020591, 30001, create_kelbzip2},
    // As above but visible, alignable, and never UI-activated.
    {&CLSID_ProgBar, L"KELBzip2_201.ProgBar", 0x0002C191, 30000, create_progbar},
};

namespace {

class class_factory : public IClassFactory {
public:
    explicit constexpr class_factory(const control_class& cls) : cls_(cls) {}
    // Static objects: their lifetime is the module's.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return cls_.create(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ++server_locks;
        else
            --server_locks;
        return S_OK;
    }

private:
    const control_class& cls_;
};

class_factory factories[2] = {class_factory(classes[0]), class_factory(classes[1])};

std::wstring guid_text(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring module_path()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module_instance, path, MAX_PATH);
    return std::wstring(path, length);
}

LONG set_value(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc;
}

HRESULT register_class(const control_class& cls, const std::wstring& path)
{
    const std::wstring clsid = L"CLSID\\" + guid_text(*cls.clsid);
    const std::wstring prog_id = cls.prog_id;
    // The category that tells containers this is a control.
    const wchar_t control_category[] = L"{40FC6ED4-2438-11CF-A3DB-080036F12502}";
    struct record {
        std::wstring key;
        const wchar_t* name;
        std::wstring value;
    };
    const record records[] = {
        {clsid, nullptr, prog_id},
        {clsid + L"\\InprocServer32", nullptr, path},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {clsid + L"\\ProgID", nullptr, prog_id},
        {clsid + L"\\VERSION", nullptr, L"22.0"},
        {clsid + L"\\TypeLib", nullptr, guid_text(LIBID_KELBzip2_201)},
        {clsid + L"\\Control", nullptr, L""},
        {clsid + L"\\MiscStatus", nullptr, L"0"},
        {clsid + L"\\MiscStatus\\1", nullptr, std::to_wstring(cls.misc_status)},
        {clsid + L"\\ToolboxBitmap32", nullptr, path + L", " + std::to_wstring(cls.toolbox_bitmap)},
        {clsid + L"\\Implemented Categories\\" + control_category, nullptr, L""},
        {prog_id, nullptr, prog_id},
        {prog_id + L"\\CLSID", nullptr, guid_text(*cls.clsid)},
    };
    for (const record& r : records) {
        LONG rc = set_value(r.key, r.name, r.value);
        if (rc != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(rc);
    }
    return S_OK;
}

// Removes a key with everything under it. A key that is already gone is
// fine; one that stays (no rights to it, say) is a failure.
bool remove_key(const std::wstring& key)
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    LONG rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool unregister_class(const control_class& cls)
{
    bool removed = remove_key(L"CLSID\\" + guid_text(*cls.clsid));
    return remove_key(cls.prog_id) && removed;
}

// The per-user type library functions, where oleaut32 has them (Windows
// Vista on); elsewhere the plain ones, which write through the classes root.
template <class F>
F* oleaut32_entry(const char* name, F* plain)
{
    FARPROC entry = GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), name);
    return entry ? reinterpret_cast<F*>(reinterpret_cast<void*>(entry)) : plain;
}

HRESULT unregister_type_library(bool per_user)
{
    ITypeLib* library = nullptr;
    HRESULT hr = type_library(&library);
    if (FAILED(hr))
        return SELFREG_E_TYPELIB;
    TLIBATTR* a = nullptr;
    hr = library->GetLibAttr(&a);
    if (SUCCEEDED(hr)) {
        auto remove_library =
            per_user ? oleaut32_entry("UnRegisterTypeLibForUser", UnRegisterTypeLib) : UnRegisterTypeLib;
        hr = remove_library(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind);
        if (FAILED(hr)) {
            // UnRegisterTypeLib fails when there is nothing to remove, too.
            wchar_t version[16];
            wsprintfW(version, L"\\%x.%x", a->wMajorVerNum, a->wMinorVerNum);
            HKEY key = nullptr;
            LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"TypeLib\\" + guid_text(a->guid) + version).c_str(), 0,
                                    KEY_READ, &key);
            if (rc == ERROR_SUCCESS)
                RegCloseKey(key);
            if (rc == ERROR_FILE_NOT_FOUND)
                hr = S_OK;
        }
        library->ReleaseTLibAttr(a);
    }
    library->Release();
    return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT register_server(bool per_user)
{
    ITypeLib* library = nullptr;
    HRESULT hr = type_library(&library);
    if (FAILED(hr))
        return hr;
    std::wstring path = module_path();
    LPOLESTR file = const_cast<LPOLESTR>(path.c_str());
    auto record_library = per_user ? oleaut32_entry("RegisterTypeLibForUser", RegisterTypeLib) : RegisterTypeLib;
    hr = record_library(library, file, nullptr);
    library->Release();
    if (FAILED(hr))
        return hr;
    for (const control_class& cls : classes) {
        hr = register_class(cls, path);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT unregister_server(bool per_user)
{
    // Removes all it can, then tells of the first thing that stayed.
    HRESULT hr = S_OK;
    for (const control_class& cls : classes)
        if (!unregister_class(cls))
            hr = SELFREG_E_CLASS;
    HRESULT library_hr = unregister_type_library(per_user);
    return FAILED(hr) ? hr : library_hr;
}

// The same records for the current user alone: the classes root is taken to
// the user's own classes while they are written, the documented way, which
// also catches what the type library functions write themselves (some
// versions of RegisterTypeLibForUser write to the machine's classes).
HRESULT for_current_user(bool install)
{
    HKEY user_classes = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &user_classes, nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    rc = RegOverridePredefKey(HKEY_CLASSES_ROOT, user_classes);
    RegCloseKey(user_classes);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    HRESULT hr = install ? register_server(true) : unregister_server(true);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    return hr;
}

}  // namespace

}  // namespace kelbcom

using namespace kelbcom;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module_instance = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // Windows keeps a library's window classes after it is unloaded; a
        // later load could not register them again and would have no timers.
        for (const wchar_t* name : {L"KELBzip2_201Timers", L"KELBzip2_201ControlWindow", L"KELBzip2_201About"})
            UnregisterClassW(name, instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (size_t i = 0; i < 2; ++i)
        if (clsid == *classes[i].clsid)
            return factories[i].QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow()
{
    return live_objects == 0 && server_locks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() { return register_server(false); }

STDAPI DllUnregisterServer() { return unregister_server(false); }

// regsvr32 /n /i:user (with /u to remove) registers for the current user
// only; no command line at all means the whole machine, as above.
STDAPI DllInstall(BOOL install, LPCWSTR command_line)
{
    if (command_line && lstrcmpiW(command_line, L"user") == 0)
        return for_current_user(install);
    if (!command_line || !*command_line)
        return install ? register_server(false) : unregister_server(false);
    return E_INVALIDARG;
}
