// A tiny library for the dynamic-loading tests.
extern "C" __attribute__((visibility("default"))) int TestMod_Answer(void) { return 42; }
