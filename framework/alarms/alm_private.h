// Shared by the alarm files: the current event pass and the mailslot writes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/alarms/alm_alarms.h"

// The area of the current event pass, or NULL.
const ChannelAreaHeader *alm_CurrentHeader(void);
// True for a channel (from 0) of the current pass.
bool alm_ChannelInPass(int channel);
// Tests the channel's bit in the device's own row; a hit is counted for the
// derived notice.
void alm_TestDeviceRow(int channel);

// One message to "xalarms": 0 when written or when the slot is not available,
// -1 when it was not written whole.
int alm_WriteAlarm(const AlarmMessage &m);
// The derived notice: 0 when written or not available, -1 on a failed write.
int alm_WriteDerived(const char code[2]);

// Copies a name cut to room - 1 characters, zero-filled.
void alm_CopyName(char *out, size_t room, const char *in);
