// Minimal bodies until the serial line lands: no port is opened.
#include "scanner/com_port.h"

int com_OpenPort(DeviceRecord *) { return 0; }
int com_ClosePort(void) { return 0; }
