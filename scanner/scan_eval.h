// The evaluation of one channel in a scan pass: bad-value test, scaling,
// reference, change deadband, warnings, alarms and events, with their alarm
// messages and event counts. Runs inside the type's event pass.
#pragma once

// Type t, channel i (from 0); force evaluates even an unchanged channel.
void scan_EvaluateChannel(int t, int i, bool force);
