// The logger configuration records ("LOGGERS\<type>_<n>") of the three logger
// types and their record types. Every record begins with Autostart and the
// logger's name (bytes 1 to 32), which the logger list shows.
//
// A "stand" record carries its channel and option data twice: the primary
// fields the logger uses (bytes 0 to 22963, the record's older size) and a
// second set laid out for the XML form (from byte 22964). Only the second set
// is in the record type, so the XML form and the change history see it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record/rec_type.h"

enum : uint32_t {
  LCFG_STAND_SIZE = 32220,
  LCFG_STAND_PRIMARY_SIZE = 22964,
  LCFG_REPUB_SIZE = 8040,
  LCFG_RESUB_SIZE = 1480,
  LCFG_NAME_SIZE = 32,
  LCFG_PATH_SIZE = 260,
  LCFG_DB_SIZE = 256,
  LCFG_USER_SIZE = 64,
  LCFG_PASSWORD_SIZE = 257,  // 256 characters and the terminator
  LCFG_URL_SIZE = 260,
  LCFG_CHANNELS = 64,
  LCFG_TAG_SIZE = 32,
  LCFG_MASK_SIZE = 16,
  LCFG_FLAG_ITEMS = 6,
  LCFG_FLAG_ITEM_SIZE = 16,
  LCFG_ENTRY_ITEMS = 16,
  LCFG_ENTRY_SIZE = 24,
  LCFG_HEADER_ROOM = 24,
  LCFG_COLUMN_ROOM = 64,
  LCFG_COLUMN_SIZE = 30,
};

// Dates, times and periods: year - 1900, month, day, hour, minute, spare.
typedef uint8_t LcfgTime[6];

struct LcfgChannelRef {
  char Prefix[4];
  uint16_t Number;
  uint16_t spare;
};
static_assert(sizeof(LcfgChannelRef) == 8 && offsetof(LcfgChannelRef, Number) == 4);

struct LcfgRange {
  char Prefix[4];
  uint16_t From;
  uint16_t To;
};
static_assert(sizeof(LcfgRange) == 8 && offsetof(LcfgRange, From) == 4 && offsetof(LcfgRange, To) == 6);

struct LcfgTags {
  char From[LCFG_TAG_SIZE];
  char To[LCFG_TAG_SIZE];
};
static_assert(sizeof(LcfgTags) == 64);

// A log channel as the logger keeps it.
struct LcfgLogChannel {
  uint16_t From;
  uint16_t To;
  char Prefix[4];
  char TagFrom[LCFG_TAG_SIZE];
  char TagTo[LCFG_TAG_SIZE];
  uint16_t Lag;
  uint8_t Average;
  uint8_t spare;
};
static_assert(sizeof(LcfgLogChannel) == 76 && offsetof(LcfgLogChannel, Prefix) == 4 &&
              offsetof(LcfgLogChannel, TagFrom) == 8 && offsetof(LcfgLogChannel, Lag) == 72 &&
              offsetof(LcfgLogChannel, Average) == 74);

// The same as the XML form names it.
struct LcfgLogChannelXml {
  LcfgRange Range;
  LcfgTags Tags;
  uint8_t Average;
  uint8_t spare;
  uint16_t Lag;
};
static_assert(sizeof(LcfgLogChannelXml) == 76 && offsetof(LcfgLogChannelXml, Tags) == 8 &&
              offsetof(LcfgLogChannelXml, Average) == 72 && offsetof(LcfgLogChannelXml, Lag) == 74);

struct LcfgEventChannel {
  LcfgRange Range;
  LcfgTags Tags;
};
static_assert(sizeof(LcfgEventChannel) == 72);

// An entry of the primary entry tables: its first 12 bytes (a tag and a
// 32-bit value, unaligned in the second set) are what the second set keeps.
struct LcfgEntry {
  char Tag[8];
  uint8_t Value[4];
  uint8_t rest[12];
};
static_assert(sizeof(LcfgEntry) == LCFG_ENTRY_SIZE && offsetof(LcfgEntry, Value) == 8);

struct LcfgColumn {
  char Tag[8];
  uint8_t Value[4];
  uint8_t rest[18];
};
static_assert(sizeof(LcfgColumn) == LCFG_COLUMN_SIZE && offsetof(LcfgColumn, Value) == 8);

// "RateofChangeChannel.Prefix" and "RateOfChangeChannel.Number" differ in
// case: two members.
struct LcfgPrefixOnly {
  char Prefix[4];
};
struct LcfgNumberOnly {
  uint16_t Number;
  uint16_t spare;
};

struct LoggerStand {
  uint8_t Autostart;  // 0
  char Name[LCFG_NAME_SIZE];
  uint8_t Storage;    // 33: 0 files, 1 database
  uint8_t Type;       // 34: logging type 0..3
  uint8_t StartMode;  // 35
  uint32_t PeriodPreEventRate;
  uint32_t EventRate;
  uint32_t PreEventLogs;
  uint32_t PostEventLogs;
  uint32_t BufferSize;
  uint32_t WritetoDiskRate;
  uint32_t DiskSpaceThreshold;
  uint32_t DropMergeCycle;
  uint32_t EmailSMTPPort;  // 68
  uint8_t EventLogs;       // 72
  uint8_t Delete;
  uint8_t Cycle;
  uint8_t CycleMode;
  uint8_t TextLogging;
  uint8_t LogByTag;
  uint8_t Replicate;
  uint8_t DropMerge;
  uint8_t DiskSpaceChecking;  // 80
  uint8_t SaveConfigurationFile;
  uint8_t MarkFilesReadOnly;
  uint8_t DataExport;
  uint8_t ExportType;  // 84: 2 runs a command
  uint8_t ExportTextLogsDateDisplay;
  uint8_t ExportHeaderUnits;
  uint8_t Email;
  uint8_t EmailUseMAPI;  // 88
  uint8_t EmailLogOnAs;  // 0 MAPI log-on, 1 NT log-on
  uint8_t EmailSMTPEncryption;
  uint8_t EmailUseSMTPLogin;
  uint8_t EmailSendFile;  // 92
  uint8_t EmailAttachFile;
  uint8_t EmailDeleteFile;
  uint8_t RateofChangeType;  // 95: 0 a channel, 1 a value
  uint8_t RofCRewindType;    // 96: likewise
  uint8_t Options;           // 97: eight option bits
  uint16_t FlagWord;         // 98: sixteen flags
  LcfgTime StartTime;        // 100
  LcfgTime StopTime;
  LcfgTime DeleteOlderThan;  // periods
  LcfgTime CycleEvery;
  LcfgTime CycleLogFor;
  uint16_t spare130;
  float RateofChangeValue;  // 132
  float RofCRewindValue;
  LcfgChannelRef RofCTriggerChannel;  // 140
  LcfgPrefixOnly RateofChangeChannel;
  LcfgNumberOnly RateOfChangeChannel;
  LcfgChannelRef RofCLaggedTriggerChannel;
  LcfgChannelRef RofCRewindChannel;
  char RofCTriggerTag[LCFG_TAG_SIZE];  // 172
  char RateofChangeTag[LCFG_TAG_SIZE];
  char RofCLaggedTriggerTag[LCFG_TAG_SIZE];
  char RofCRewindTag[LCFG_TAG_SIZE];
  char Directory[LCFG_PATH_SIZE];  // 300
  char Database[LCFG_DB_SIZE];
  char ReplicationTarget[LCFG_PATH_SIZE];
  char ExportDirectory[LCFG_PATH_SIZE];  // 1076
  char ExportLineEnd[4];
  char ExportSeparator[4];
  char ExportCommand[LCFG_PATH_SIZE];  // 1344
  char ExportParameters[128];
  char EmailMAPIProfile[LCFG_USER_SIZE];  // 1732
  char EmailMAPIPassword[LCFG_PASSWORD_SIZE];
  char EmailNTDomain[LCFG_USER_SIZE];
  char EmailNTLogin[LCFG_USER_SIZE];
  char EmailNTPassword[LCFG_PASSWORD_SIZE];
  char EmailSMTPSender[LCFG_USER_SIZE];  // 2438
  char EmailSMTPSenderBox[128];
  char EmailSMTPHost[128];
  char EmailSMTPLogin[LCFG_USER_SIZE];
  char EmailSMTPPassword[LCFG_PASSWORD_SIZE];
  char EmailSubject[128];  // 3079
  char EmailText[512];
  uint8_t spare3719;
  LcfgLogChannel LogChannelData[LCFG_CHANNELS];  // 3720
  LcfgEventChannel EventChannels[LCFG_CHANNELS];  // 8584
  uint8_t LogMask[LCFG_MASK_SIZE];                // 13192
  uint8_t EventMask[LCFG_MASK_SIZE];
  uint8_t TriggerMask[LCFG_MASK_SIZE];
  uint8_t FlagTableA[LCFG_FLAG_ITEMS][LCFG_FLAG_ITEM_SIZE];  // 13240
  uint8_t FlagTableB[LCFG_FLAG_ITEMS][LCFG_FLAG_ITEM_SIZE];
  LcfgEntry EntryTableA[LCFG_ENTRY_ITEMS];  // 13432
  LcfgEntry EntryTableB[LCFG_ENTRY_ITEMS];
  uint8_t reserved14200[LCFG_STAND_PRIMARY_SIZE - 14200];
  // The second set.
  LcfgLogChannelXml LogChannels[LCFG_CHANNELS];  // 22964
  uint8_t OptionBits[8];                         // 27828
  char LogMaskHex[2 * LCFG_MASK_SIZE + 1];
  char EventMaskHex[2 * LCFG_MASK_SIZE + 1];
  char TriggerMaskHex[2 * LCFG_MASK_SIZE + 1];
  uint8_t Flags[16];  // 27935
  uint8_t Converted;  // 27951: the flag part was converted
  uint8_t Headers[LCFG_HEADER_ROOM][LCFG_FLAG_ITEM_SIZE];  // 27952
  LcfgColumn Columns[LCFG_COLUMN_ROOM];                     // 28336
  uint8_t reserved30256[LCFG_STAND_SIZE - 30256];
};
static_assert(sizeof(LoggerStand) == LCFG_STAND_SIZE);
static_assert(offsetof(LoggerStand, Name) == 1 && offsetof(LoggerStand, PeriodPreEventRate) == 36 &&
              offsetof(LoggerStand, EmailSMTPPort) == 68 && offsetof(LoggerStand, EventLogs) == 72 &&
              offsetof(LoggerStand, Options) == 97 && offsetof(LoggerStand, FlagWord) == 98 &&
              offsetof(LoggerStand, StartTime) == 100 && offsetof(LoggerStand, RateofChangeValue) == 132 &&
              offsetof(LoggerStand, RofCTriggerChannel) == 140 && offsetof(LoggerStand, RofCTriggerTag) == 172 &&
              offsetof(LoggerStand, Directory) == 300 && offsetof(LoggerStand, ExportDirectory) == 1076 &&
              offsetof(LoggerStand, ExportCommand) == 1344 && offsetof(LoggerStand, EmailMAPIProfile) == 1732 &&
              offsetof(LoggerStand, EmailSMTPSender) == 2438 && offsetof(LoggerStand, EmailSubject) == 3079 &&
              offsetof(LoggerStand, LogChannelData) == 3720 && offsetof(LoggerStand, EventChannels) == 8584 &&
              offsetof(LoggerStand, LogMask) == 13192 && offsetof(LoggerStand, FlagTableA) == 13240 &&
              offsetof(LoggerStand, EntryTableA) == 13432 && offsetof(LoggerStand, reserved14200) == 14200);
static_assert(offsetof(LoggerStand, LogChannels) == LCFG_STAND_PRIMARY_SIZE &&
              offsetof(LoggerStand, OptionBits) == 27828 && offsetof(LoggerStand, Flags) == 27935 &&
              offsetof(LoggerStand, Converted) == 27951 && offsetof(LoggerStand, Headers) == 27952 &&
              offsetof(LoggerStand, Columns) == 28336 && offsetof(LoggerStand, reserved30256) == 30256);

struct LoggerRepub {
  uint8_t Autostart;  // 0
  char Name[LCFG_NAME_SIZE];
  uint8_t SourceStorage;  // 33: 0 files, 1 database
  uint8_t SourceLogin;
  uint8_t DestinationConnectionType;
  uint8_t DestinationStorage;
  uint8_t DestinationLogin;
  uint8_t DestinationMarkFilesReadOnly;
  uint8_t DestinationUpdatesToTextLogs;
  uint8_t Cycle;  // 40
  uint8_t DeleteSource;
  uint8_t DeleteDestination;
  uint8_t RenameAllocatedSubscription;
  uint8_t NetworkConnection;
  uint8_t ThrottleBandwidth;
  uint8_t ChannelFilter;
  uint8_t PeriodCodes[4];  // 47: of the four periods below, in their order
  uint8_t spare51;
  uint32_t UpdateRate;  // 52
  uint32_t BufferSize;
  uint32_t BandwidthThrottleKbs;
  LcfgTime StartTime;  // 64
  LcfgTime StopTime;
  LcfgTime CycleEvery;  // 76: periods
  LcfgTime CyclePublishFor;
  LcfgTime DeleteSourceOlderThan;
  LcfgTime DeleteDestinationOlderThan;
  char SourceLogger[LCFG_NAME_SIZE];  // 100
  char SourcePrefix[16];
  char DestinationPrefix[16];
  char RenameLoggerName[LCFG_NAME_SIZE];
  char TextLogLineEnd[4];  // 196
  char TextLogSeparator[4];
  char SourceLoginUserName[LCFG_USER_SIZE];  // 204
  char SourceLoginPassword[LCFG_PASSWORD_SIZE];
  char DestinationLoginUserName[LCFG_USER_SIZE];
  char DestinationLoginPassword[LCFG_PASSWORD_SIZE];
  char DestinationServer[LCFG_URL_SIZE];  // 846
  char SourceDatabase[LCFG_DB_SIZE];
  char SourceDirectory[LCFG_PATH_SIZE];
  char DestinationDatabase[LCFG_DB_SIZE];
  char DestinationDirectory[LCFG_PATH_SIZE];
  uint8_t spare2138[2];
  LcfgRange FilterChannels[LCFG_CHANNELS];             // 2140
  char FilterChannelsName[LCFG_CHANNELS][LCFG_NAME_SIZE];  // 2652
  uint8_t reserved4700[LCFG_REPUB_SIZE - 4700];
};
static_assert(sizeof(LoggerRepub) == LCFG_REPUB_SIZE);
static_assert(offsetof(LoggerRepub, PeriodCodes) == 47 && offsetof(LoggerRepub, UpdateRate) == 52 &&
              offsetof(LoggerRepub, StartTime) == 64 && offsetof(LoggerRepub, CycleEvery) == 76 &&
              offsetof(LoggerRepub, SourceLogger) == 100 && offsetof(LoggerRepub, TextLogLineEnd) == 196 &&
              offsetof(LoggerRepub, SourceLoginUserName) == 204 && offsetof(LoggerRepub, DestinationServer) == 846 &&
              offsetof(LoggerRepub, FilterChannels) == 2140 && offsetof(LoggerRepub, FilterChannelsName) == 2652 &&
              offsetof(LoggerRepub, reserved4700) == 4700);

struct LoggerResub {
  uint8_t Autostart;  // 0
  char Name[LCFG_NAME_SIZE];
  uint8_t ExpiryTimeEnable;  // 33
  uint8_t OverrideDestination;
  uint8_t DatabaseDestinationUse;
  uint8_t GenerateAlarmOnChannelAlarm;  // 36
  uint8_t PriorityAlarmOnChannelAlarm;
  uint8_t CommonAlarmOnChannelAlarm;
  uint8_t spare39;
  uint16_t DelayAlarmOnChannelAlarm;  // 40
  uint8_t GenerateAlarmOnChannelError;
  uint8_t PriorityAlarmOnChannelError;
  uint8_t CommonAlarmOnChannelError;
  uint8_t spare45;
  uint16_t DelayAlarmOnChannelError;  // 46
  uint8_t GenerateAlarmOnCommTimeout;  // 48
  uint8_t PriorityAlarmOnCommTimeout;
  uint8_t CommonAlarmOnCommTimeout;
  uint8_t spare51;
  uint16_t DelayAlarmOnCommTimeout;  // 52
  uint8_t StartFlag;                 // 54
  uint8_t spare55;
  LcfgTime ExpiryTime;  // 56
  LcfgTime StartTime;   // 62: the spare byte holds the second
  char DestinationDirectory[LCFG_PATH_SIZE];  // 68
  char DatabaseDestination[512];              // 328
  char SourceServer[384];                     // 840
  char AssetPath[256];                        // 1224
};
static_assert(sizeof(LoggerResub) == LCFG_RESUB_SIZE);
static_assert(offsetof(LoggerResub, DelayAlarmOnChannelAlarm) == 40 &&
              offsetof(LoggerResub, DelayAlarmOnChannelError) == 46 &&
              offsetof(LoggerResub, DelayAlarmOnCommTimeout) == 52 && offsetof(LoggerResub, StartFlag) == 54 &&
              offsetof(LoggerResub, ExpiryTime) == 56 && offsetof(LoggerResub, StartTime) == 62 &&
              offsetof(LoggerResub, DestinationDirectory) == 68 && offsetof(LoggerResub, DatabaseDestination) == 328 &&
              offsetof(LoggerResub, SourceServer) == 840 && offsetof(LoggerResub, AssetPath) == 1224);

enum LcfgKind : int { LCFG_OTHER = 0, LCFG_STAND = 1, LCFG_REPUB = 2, LCFG_RESUB = 3 };

// The kind of a type name, by its first five letters (letter case ignored).
LcfgKind lcfg_KindOf(const char *typeName);
// The record type and size of a kind; NULL and 0 for LCFG_OTHER.
const RecordType *lcfg_RecordType(LcfgKind kind);
uint32_t lcfg_RecordSize(LcfgKind kind);

// The fields of a kind's record type in their order (the dotted names of the
// XML form), each with its type and offset: located once per process.
struct LcfgField {
  std::string name;
  const RecordType *type;
  uint32_t offset;
};
const std::vector<LcfgField> &lcfg_Fields(LcfgKind kind);

// The required-tag check of a record just read: `present` is ",A,B,". 0, or
// -1 with the XML error "<%s> tag not found" of the first missing tag.
int lcfg_CheckRequiredTags(LcfgKind kind, const char *present, const void *record);

// The "stand" second set from the primary fields, and back (hexadecimal
// either case; a text that ends early ends the array).
void lcfg_StandToXmlForm(LoggerStand *r);
void lcfg_StandFromXmlForm(LoggerStand *r);
// The 16-flag part alone, forward (marks the record) and reverse (only a
// marked record). -1 for a NULL record, 1 otherwise.
int lcfg_StandFlagsForward(LoggerStand *r);
int lcfg_StandFlagsReverse(LoggerStand *r);
// The period codes of a "repub" record from its four periods.
void lcfg_RepubPeriodCodes(LoggerRepub *r);

// A whole record of a kind (of its full size): the second set from the
// primary fields (flag part included), which the XML form and the history
// compare; and after the XML form was read, the primary fields from the second
// set and the derived fields ("repub" period codes).
void lcfg_RecordToXmlForm(LcfgKind kind, void *record);
void lcfg_RecordFromXmlForm(LcfgKind kind, void *record);
