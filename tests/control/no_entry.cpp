// A library that loads but has no interface1: what the bridge finds when
// the engine file beside the control is something else.
#ifdef _WIN32
extern "C" __declspec(dllexport) int interface2(void) { return 0; }
#else
extern "C" __attribute__((visibility("default"))) int interface2(void) { return 0; }
#endif
