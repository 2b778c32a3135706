// One scan pass, and the marking of every channel bad.
#pragma once

// Reads and evaluates every type that has a data area, in the order CI, DO,
// AO, DI, AI. 0, or -1 when a read handler failed (its error number kept).
int scan_ScanDevice(int force);
// Every channel bad, with the reason in each area's error. Leaves errno = reason.
int scan_MarkAllBad(int reason);
