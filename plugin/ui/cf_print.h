// The configuration print-out: fixed-width lines on the host's printer
// context, a header and one table per channel type. Page state (line number,
// pending page) is process-wide, so print-outs must not overlap; each one
// starts at line 1 of the page the host opened.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"
#include "platform/os_print.h"
#include "plugin/ui/cf_host_record.h"

enum : int { PRN_LINE_MAX = 2048, PRN_VALUE_WIDTH = 8 };

// Starts a print-out on `dc`: line 1, no page pending, empty buffer.
void prn_Begin(OsDc *dc);
// Appends text; draws each completed line, ends the page at a form feed and
// starts the next one before the first line after it. 1, or -1 when a page
// cannot be ended or started. A line longer than PRN_LINE_MAX is cut.
int prn_PrintLine(const char *text);
// The context lines are drawn on; setting it leaves the page state alone.
void prn_SetPrintContext(OsDc *dc);
OsDc *prn_GetPrintContext(void);
int prn_LinesPerPage(void);
int prn_CurrentLine(void);

// The print-out's header: server, device, status, save and scan settings.
// 1, or -1.
int prn_PrintHeader(const char *server, const HostDeviceRecord *device, uint8_t autoEnable, uint8_t saveOutputs,
                    uint8_t saveByTag, int32_t saveRate, const DeviceConfig *config);
// The two heading lines of a table (and the blank line after them). 1, or -1.
int prn_PrintAnalogHeading(void);
int prn_PrintDigitalHeading(void);
// A channel's second table line: its description, then the high side of an
// analogue channel or the high-state text of a digital one. 1, or -1.
int prn_PrintDescriptionLine(const ChannelRecord *record);
// Writes `count` blanks to standard output; the number written.
int prn_WriteBlanks(int count);

// A value in at most 8 characters: "%8.6f" with fewer decimals until it
// fits, else the exponent form that fits.
const char *prn_ValueFormat(float value);

// Channels first..last of one type (records from first on); 0 / the line
// number, or -1.
int prn_PrintAnalogTable(const CfTypeEntry *entry, int first, int last, const ChannelRecord *records);
int prn_PrintDigitalTable(const CfTypeEntry *entry, int first, int last, const ChannelRecord *records);

// The whole configuration. config NULL: read status, device record and
// saved-values settings from the server; types NULL: read each type's
// channels. The last table's result, or -1.
int prn_PrintAllConfig(OsDc *dc, const char *server, const HostDeviceRecord *device, uint8_t autoEnable,
                       uint8_t saveOutputs, uint8_t saveByTag, int32_t saveRate, const DeviceConfig *config,
                       ChannelRecord *const *types);
// One type's table, channels first..last (0: 1 and the count); records NULL
// reads them. The table's result, or -1 for a bad type or range or a failed read.
int prn_PrintConfig(OsDc *dc, const char *server, const HostDeviceRecord *device, int type, int first, int last,
                    const ChannelRecord *records);
