// The input handlers: bulk replies of every pump with analogue channels,
// single queries per channel, and the driver status the pass leaves.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/shm/shm_areas.h"
#include "framework/status/sts_status.h"
#include "platform/os_error.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/pump_names.h"
#include "scanner/scan_state.h"

namespace {

enum : int { kPumps = 8, kBulkBuffer = 256, kPassCommsError = -1, kPassTimeout = -2 };

// The last bulk replies of one pump, kept until its next bulk phase.
struct PumpBulkState {
  bool hasAI;
  char prvAll[kBulkBuffer];
  int prvResult;
  char setpointAll[kBulkBuffer];
  int setpointResult;
};

PumpBulkState g_bulk[kPumps + 1];  // by pump number, 1-8
uint16_t g_aiEnd, g_diEnd;         // highest taking-part channel + 1
int g_passError;                   // the first error of the pass
bool g_bulkFresh;                  // the bulk phase ran for the pass the analogue handler reads

uint32_t Word(const ChannelRecord *r, int offset) {
  uint32_t v;
  memcpy(&v, r->raw + offset, sizeof v);
  return v;
}

bool TakesPart(const ChannelRecord *r, bool digital) {
  return chan_FlagBit(r, CHAN_FLAG_ENABLE) && pump_ChannelPump(r, digital) != 0 && pump_ChannelValue(r, digital) != 0;
}

// Only units 1-8 share the line.
bool OnLine(uint32_t pump) { return pump >= 1 && pump <= kPumps; }

void Note(int error) {
  if (g_passError == 0) g_passError = error;
}

void SetStatusBy(int error) {
  if (error == kPassCommsError) sts_SetDriverStatus("Comms Error");
  else if (error == kPassTimeout) sts_SetDriverStatus("Timeout Error");
  else if (error > 0) sts_SetDriverStatus("Tarnwell Error #%03d", error);
  else sts_ClearDriverStatus();
}

int Fail(int error) {
  errno = error == kPassTimeout ? OS_ERROR_TIMEOUT : OS_ERROR_READ_FAULT;
  return -1;
}

// Command texts, each made the first time it is sent: by mnemonic and pump.
enum : int { kCommandMax = 40, kBulkPrv = 0, kBulkSetpoint = 1 };
char g_analogCommands[PUMP_ANALOG_NAMES][kPumps + 1][kCommandMax];
char g_digitalCommands[PUMP_DIGITAL_NAMES][kPumps + 1][kCommandMax];
char g_bulkCommands[2][kPumps + 1][kCommandMax];

const char *Command(char (&text)[kCommandMax], int pump, const char *mnemonic) {
  if (!text[0]) snprintf(text, sizeof text, "RP%d%s", pump, mnemonic);
  return text;
}

int Exchange(int pump, const char *command, char *reply, int limit) {
  pump_SendCommand(pump, command);
  return pump_ReadReply(pump, reply, static_cast<char>(PUMP_CR), limit);
}

void BulkPhase() {
  for (int p = 1; p <= kPumps; ++p) {
    PumpBulkState &b = g_bulk[p];
    if (!b.hasAI) continue;
    if (!g_scan.run.load()) break;  // a stop waits for no more exchanges
    b.prvResult = Exchange(p, Command(g_bulkCommands[kBulkPrv][p], p, "PRV_ALL"), b.prvAll, PUMP_PRV_ALL_REPLY_LIMIT);
    if (b.prvResult < 0) Note(b.prvResult);
    b.setpointResult = Exchange(p, Command(g_bulkCommands[kBulkSetpoint][p], p, "SETPOINT_ALL"), b.setpointAll,
                                PUMP_SETPOINT_ALL_REPLY_LIMIT);
    if (b.setpointResult < 0) Note(b.setpointResult);
  }
  g_bulkFresh = true;
}

// A reply's value from character 3 ("000,5": "5").
const char *SingleValue(const char *reply) { return strlen(reply) >= 3 ? reply + 3 : ""; }

void Good(uint32_t *word) { *word &= ~CST_BAD; }
void Bad(uint32_t *word) { *word |= CST_BAD; }

// One single query for a channel: a line error or an error status marks it
// bad and is noted for the pass; true, with the reply, when it is good.
bool SingleQuery(uint32_t pump, const char *command, uint32_t *status, char *reply) {
  int rc = Exchange(static_cast<int>(pump), command, reply, PUMP_SINGLE_REPLY_LIMIT);
  int error = rc < 0 ? rc : pump_ReplyStatus(reply);
  if (error != 0) {
    Bad(status);
    Note(error);
    return false;
  }
  Good(status);
  return true;
}

// One analogue value from a bulk reply: field `field` from character 4.
void FromBulk(const char *reply, int result, int field, uint32_t *word, float *value) {
  if (result != 0) return Bad(word);
  if (int st = pump_ReplyStatus(reply)) {
    Note(st);
    return Bad(word);
  }
  Good(word);
  *value = pump_FieldToFloat(reply, field, 4);
}

}  // namespace

uint32_t pump_ChannelPump(const ChannelRecord *r, bool digital) {
  return Word(r, digital ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET);
}

uint32_t pump_ChannelValue(const ChannelRecord *r, bool digital) {
  return Word(r, (digital ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET) + 4);
}

void pump_ResetState(void) {
  memset(g_bulk, 0, sizeof g_bulk);
  g_aiEnd = g_diEnd = 0;
  g_passError = 0;
  g_bulkFresh = false;
}

int pump_InitAnalogInputs(uint8_t *, int count, ChannelRecord *table) {
  g_aiEnd = 0;
  for (int i = 0; i < count; ++i) {
    if (!TakesPart(&table[i], false)) continue;
    // Never cleared: a pump stays in the bulk phase once it had analogue channels.
    uint32_t pump = pump_ChannelPump(&table[i], false);
    if (OnLine(pump)) g_bulk[pump].hasAI = true;
    g_aiEnd = static_cast<uint16_t>(i + 1);
  }
  return 0;
}

int pump_InitDigitalInputs(uint8_t *, int count, ChannelRecord *table) {
  g_diEnd = 0;
  for (int i = 0; i < count; ++i)
    if (TakesPart(&table[i], true)) g_diEnd = static_cast<uint16_t>(i + 1);
  return 0;
}

int pump_ReadDigitalInputs(uint8_t *, int count, ChannelRecord *table, uint32_t *status, float *) {
  g_passError = 0;
  BulkPhase();
  int result = 0;
  if (g_passError < 0) {
    SetStatusBy(g_passError);
    result = -1;
  }
  // A clean pass clears the status only at its end (here, or in the analogue
  // handler that follows), so a standing error is not cleared and set again.
  if (g_diEnd == 0) {
    if (result == 0 && g_aiEnd == 0) sts_ClearDriverStatus();
    return result == -1 ? Fail(g_passError) : result;
  }
  for (int i = 0; i < g_diEnd && i < count && g_scan.run.load(); ++i) {
    const ChannelRecord *r = &table[i];
    if (!TakesPart(r, true)) continue;
    uint32_t pump = pump_ChannelPump(r, true), value = pump_ChannelValue(r, true);
    if (!OnLine(pump) || value >= PUMP_DIGITAL_NAMES) {
      Bad(&status[i]);
      continue;
    }
    char reply[PUMP_SINGLE_REPLY_LIMIT + 1];
    const char *command = Command(g_digitalCommands[value][pump], static_cast<int>(pump), DigitalValueNames[value]);
    if (SingleQuery(pump, command, &status[i], reply))
      status[i] = (status[i] & ~CST_VALUE) | (pump_FieldToInt(SingleValue(reply), 0) != 0 ? CST_VALUE : 0u);
  }
  if (g_passError < 0) {
    SetStatusBy(g_passError);
    return Fail(g_passError);
  }
  if (g_passError > 0 || g_aiEnd == 0) SetStatusBy(g_passError);
  return result;
}

int pump_ReadAnalogInputs(uint8_t *, int count, ChannelRecord *table, uint32_t *status, float *values) {
  if (g_aiEnd == 0) return 0;
  // Without a digital handler in the pass (no DI area) the bulk values are
  // polled here, and the status of the pass is this handler's alone: a failed
  // bulk phase shows as it does after the digital handler's.
  bool clean = true;
  if (!g_bulkFresh) {
    g_passError = 0;
    BulkPhase();
  } else {
    clean = g_passError == 0;
  }
  g_bulkFresh = false;
  for (int i = 0; i < g_aiEnd && i < count && g_scan.run.load(); ++i) {
    const ChannelRecord *r = &table[i];
    if (!TakesPart(r, false)) continue;
    uint32_t pump = pump_ChannelPump(r, false), index = pump_ChannelValue(r, false);
    if (!OnLine(pump)) {
      Bad(&status[i]);
      continue;
    }
    const PumpBulkState &b = g_bulk[pump];
    if (index >= PUMP_FIRST_ANALOG_QUERY && index < PUMP_ANALOG_NAMES) {
      char reply[PUMP_SINGLE_REPLY_LIMIT + 1];
      const char *command = Command(g_analogCommands[index][pump], static_cast<int>(pump), AnalogValueNames[index]);
      if (SingleQuery(pump, command, &status[i], reply)) values[i] = pump_FieldToFloat(reply, 0, 3);
    } else if (index >= 1 && index <= PUMP_PRV_ALL_FIELDS) {
      FromBulk(b.prvAll, b.prvResult, static_cast<int>(index - 1), &status[i], &values[i]);
    } else if (index >= 10 && index < 10 + PUMP_SETPOINT_ALL_FIELDS) {
      FromBulk(b.setpointAll, b.setpointResult, static_cast<int>(index - 10), &status[i], &values[i]);
    }
  }
  if (clean) SetStatusBy(g_passError);
  return 0;
}
