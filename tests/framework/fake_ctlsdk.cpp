extern "C" __attribute__((visibility("default"))) int EmbCtlSdkPresent(void) { return 1; }
