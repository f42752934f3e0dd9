// A stand-in for a control library: its self-registration exports answer
// with FAKE_RESULT.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() { return FAKE_RESULT; }
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() { return FAKE_RESULT; }
