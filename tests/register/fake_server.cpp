// A stand-in control library answering FAKE_RESULT; DllInstall leaves its arguments in the environment.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() { return FAKE_RESULT; }
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() { return FAKE_RESULT; }
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command_line)
{
    SetEnvironmentVariableW(install ? L"FAKE_INSTALL" : L"FAKE_UNINSTALL", command_line);
    return FAKE_RESULT;
}
