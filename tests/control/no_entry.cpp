// A library that loads but has no interface1: what the bridge finds when the engine file is something else.
extern "C" int interface2(void) { return 0; }
