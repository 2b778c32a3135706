// One scan pass, and the marking of every channel bad.
#pragma once

int scan_ScanDevice(int force);
int scan_MarkAllBad(int reason);
