#include "scanner/scan_life.h"

int main(int argc, char **argv) { scan_Main(argc, argv); }
