// Communication statistics of a device, published as channels of the
// statistics data area that the device table names for it.
//
// The area is divided into rows of ten channels: row 0 holds the line's
// totals, row r (for this driver the pump number) one unit's. Counting into a
// row r > 0 counts into row 0 as well. A client resets a row by writing 1 to
// its RS channel; the next publication zeroes the row.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_tables.h"

// Counter slots of a row (1-10).
enum : int {
  STS_SLOT_STATUS = 1,           // ST: 1 once anything was counted for the row
  STS_SLOT_RESET = 2,            // RS
  STS_SLOT_RX_BYTES = 3,         // RB
  STS_SLOT_RX_PACKETS = 4,       // RP
  STS_SLOT_RX_TIMEOUTS = 5,      // RT
  STS_SLOT_RX_COMM_ERRORS = 6,   // RE
  STS_SLOT_RX_CRC_ERRORS = 7,    // RC
  STS_SLOT_TX_BYTES = 8,         // TB
  STS_SLOT_TX_PACKETS = 9,       // TP
  STS_SLOT_TX_ERRORS = 10,       // TE
  STS_ROW_SLOTS = 10,
  STS_PORT_TEXT_MAX = 20,
};

// Sets up the statistics channels of `record` in the area of `code`: the
// channel records of every row go into its configuration area and the
// counters start (row 0's status with the record's Running byte). Nothing is
// kept when the area or its configuration area is missing, its entries are
// not 8 bytes wide or it has no row. 0 when set up, -1 otherwise.
int sts_InitCommStats(const DeviceRecord *record, const char *code);
// Clears every row's status, publishes once more and stops counting.
void sts_FreeCommStats(void);
// Publishes status words and values: all of them the first time, later only
// when something changed.
void sts_PublishCommStats(void);

// Holds publication for the span of a scan pass: counts go on, and releasing
// the hold publishes once what the pass counted. Taking the hold serves a
// reset a client asked for since the last publication, so the pass counts
// into the zeroed row as it would have without the hold.
void sts_HoldPublication(bool hold);

// Counts `amount` into a row's slot (and into row 0 for other rows) and
// publishes (unless held). Nothing happens before set-up or for a row the
// area lacks.
void sts_AddCommCounter(int row, uint32_t amount, int slot);
// The slot's wrappers of sts_AddCommCounter: each counts and publishes,
// except sts_AddReceiveBytes, which only counts: the count that ends the reply
// (packet, time-out, error) publishes it.
void sts_AddReceiveBytes(int row, uint32_t amount);
void sts_AddReceivePackets(int row, uint32_t amount);
void sts_AddReceiveTimeouts(int row, uint32_t amount);
void sts_AddReceiveCommErrors(int row, uint32_t amount);
void sts_AddReceiveCrcErrors(int row, uint32_t amount);
void sts_AddTransmitBytes(int row, uint32_t amount);
void sts_AddTransmitPackets(int row, uint32_t amount);
void sts_AddTransmitErrors(int row, uint32_t amount);
// The counter of a row's slot (0 before set-up or outside the rows).
uint32_t sts_GetCommCounter(int row, int slot);
// The number of rows being counted (0 before set-up).
int sts_CommStatsRows(void);

// Fills ten zeroed records for one row: tag and description from the device
// name (upper case, 12 characters at most), the instance and the row; ST and
// RS as digital outputs with their on and off texts (ST's with a blank and
// the port text of the last set-up when there is one), the others as
// analogue outputs with units.
void sts_BuildCommStatsChannels(const char *deviceName, int instance, int row, ChannelRecord records[STS_ROW_SLOTS]);
