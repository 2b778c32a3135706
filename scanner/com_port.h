// The serial line to the pump units: one port per process, the command and
// reply framing, and the fields of a reply.
//
// A command is "RP" + pump number + mnemonic and one carriage return; a reply
// is the bytes up to and including a carriage return: a three-character status
// (0 good, else the pump's error number) and comma-separated fields.
#pragma once
#include <cstdint>

#include "framework/shm/shm_tables.h"
#include "platform/os_handle.h"

// Reply length limits: bytes stored, the carriage return included. A reply
// buffer must hold the limit and a terminator.
enum : int {
  PUMP_SINGLE_REPLY_LIMIT = 20,
  PUMP_PRV_ALL_REPLY_LIMIT = 140,
  PUMP_SETPOINT_ALL_REPLY_LIMIT = 101,
  PUMP_FIELD_MAX = 19,
  PUMP_CR = 0x0D,
};

// Opens the port that the record's DeviceConfig names, with its settings. An
// empty "Com Port" becomes "COM%d:" with the instance, 9600 baud, no parity
// and 8 data bits, written back into the record; an instance whose name does
// not fit the field (100 and above) is refused with OS_ERROR_FILENAME_EXCED_RANGE.
// 0, or -1 with the error number set (the port is then marked invalid).
int com_OpenPort(DeviceRecord *record);
// Closes the port when there is one. 0.
int com_ClosePort(void);
// The process's port handle: NULL before the first open and after a failed one.
OsHandle com_PortHandle(void);
// One character's time on the wire at the open port's settings, in
// microseconds; 0 without a port.
uint32_t com_ByteTimeUs(void);
// Bytes in the input queue, or -1.
int com_BytesWaiting(OsHandle handle);
// Reads and drops what waits on the line, at most for the reply time-out;
// the last queue count (0, or -1).
int com_FlushInput(void);

// Writes "text\r" in one write; traced and counted under the pump's row.
void pump_SendCommand(int pump, const char *text);
// Reads one reply up to the terminator (always the carriage return) or
// `limit` bytes into buffer (limit + 1 bytes, NUL-terminated); bytes that
// arrive together are read together, and any behind the terminator are
// counted and dropped.
// 0 complete reply; -1 line error, a reply that does not begin with three
// digits (noise; a receive communication error) or an over-long one (a
// receive CRC error; the rest of it is dropped up to its carriage return, for
// at most the time-out); -2 time-out: 800 ms of silence, 780 ms after a byte.
int pump_ReadReply(int pump, char *buffer, char terminator, int limit);
// The decimal number in the first three characters (0 when none).
int pump_ReplyStatus(const char *reply);
// Field n (from 0) counted from position `start`: text up to the next comma,
// cut to 19 characters, as float; 0.0 for a field the reply lacks.
float pump_FieldToFloat(const char *text, int n, int start);
// The same from position 0 as an integer.
int pump_FieldToInt(const char *text, int n);

// Waits for input with a blind 20 ms sleep instead of a blocking wait on the
// port: for the benchmark that shows what the blocking wait saves.
void com_UseBlindSleep(bool on);
// Called with true on entering and false on leaving pump_SendCommand and
// pump_ReadReply (NULL: none, the default): for the benchmark that tells the
// line's CPU time from the evaluation's.
typedef void (*ComIoObserver)(bool entering);
void com_SetIoObserver(ComIoObserver observer);
