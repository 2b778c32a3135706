// Writers of output values into a channel data area: digital outputs (bit 0
// of the status word) and analogue outputs (float values).
//
// Channels are numbered from 1; first and last are inclusive and the values
// hold last - first + 1 entries. A writer that acts for the area (code class
// 1) evaluates states, alarms and events itself; for any other class it only
// stores the values and posts code 305 to the area's owner, which evaluates.
#pragma once
#include <cstdint>

// 0, or -1: no area, unknown class, a range outside the area (nothing written).
int shm_WriteDigitalOutputs(int force, int lock, const char *code, int first, int last, const uint32_t *status,
                            const char *computer, const char *user);
// This computer's and user's names, locking.
int shm_WriteDigital(const char *code, int first, int last, const uint32_t *values);
int shm_WriteDigitalAs(const char *code, int first, int last, const uint32_t *values, const char *computer,
                       const char *user);
int shm_ForceDigital(const char *code, int first, int last, const uint32_t *values);
// For callers that hold the area's lock already.
int shm_WriteDigitalUnlocked(const char *code, int first, int last, const uint32_t *values);
// Set: the change notice after an evaluating write spares the own process.
void shm_SetDigitalNotifyMode(int flag);

// The same for analogue outputs; the area must have entries of 8 bytes.
int shm_WriteAnalogOutputs(int force, int lock, const char *code, int first, int last, const float *values,
                           const char *computer, const char *user);
int shm_WriteAnalog(const char *code, int first, int last, const float *values);
int shm_WriteAnalogAs(const char *code, int first, int last, const float *values, const char *computer,
                      const char *user);
int shm_ForceAnalog(const char *code, int first, int last, const float *values);
int shm_WriteAnalogUnlocked(const char *code, int first, int last, const float *values);
void shm_SetAnalogNotifyMode(int flag);
