#include "plugin/loggers/lcfg_types.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>

#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "plugin/loggers/lcfg_fields.h"
#include "record/structs.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

const RecordType kName = structs_MakeFixedStringType(LCFG_NAME_SIZE);
const RecordType kPrefix4 = structs_MakeFixedStringType(4);
const RecordType kPrefix16 = structs_MakeFixedStringType(16);
const RecordType kTag = structs_MakeFixedStringType(LCFG_TAG_SIZE);
const RecordType kPath = structs_MakeFixedStringType(LCFG_PATH_SIZE);
const RecordType kDb = structs_MakeFixedStringType(LCFG_DB_SIZE);
const RecordType kUser = structs_MakeFixedStringType(LCFG_USER_SIZE);
const RecordType kText128 = structs_MakeFixedStringType(128);
const RecordType kText256 = structs_MakeFixedStringType(256);
const RecordType kText512 = structs_MakeFixedStringType(512);
const RecordType kMaskHex = structs_MakeFixedStringType(2 * LCFG_MASK_SIZE + 1);
const RecordType kPassword = lcfg_MakePasswordType(LCFG_PASSWORD_SIZE);
const RecordType kUrl = lcfg_MakeUrlType(LCFG_URL_SIZE);
const RecordType kSourceUrl = lcfg_MakeUrlType(384);
const RecordType kData16 = structs_MakeFixedDataType(LCFG_FLAG_ITEM_SIZE);
const RecordType kData8 = structs_MakeFixedDataType(8);
const RecordType &kBool = BoolByte01Type;

const RecordField kRangeFields[] = {
    STRUCTS_FIELD(LcfgRange, Prefix, "Prefix", kPrefix4),
    STRUCTS_FIELD(LcfgRange, From, "From", UInt16Type),
    STRUCTS_FIELD(LcfgRange, To, "To", UInt16Type),
    STRUCTS_FIELD_END,
};
const RecordType kRange = structs_MakeStructureType(sizeof(LcfgRange), kRangeFields);

const RecordField kTagsFields[] = {
    STRUCTS_FIELD(LcfgTags, From, "From", kTag),
    STRUCTS_FIELD(LcfgTags, To, "To", kTag),
    STRUCTS_FIELD_END,
};
const RecordType kTags = structs_MakeStructureType(sizeof(LcfgTags), kTagsFields);

const RecordField kLogChannelFields[] = {
    STRUCTS_FIELD(LcfgLogChannelXml, Range, "Range", kRange),
    STRUCTS_FIELD(LcfgLogChannelXml, Tags, "Tags", kTags),
    STRUCTS_FIELD(LcfgLogChannelXml, Average, "Average", kBool),
    STRUCTS_FIELD(LcfgLogChannelXml, Lag, "Lag", UInt16Type),
    STRUCTS_FIELD_END,
};
const RecordType kLogChannel = structs_MakeStructureType(sizeof(LcfgLogChannelXml), kLogChannelFields);
const RecordType kLogChannels =
    structs_MakeFixedArrayType(&kLogChannel, sizeof(LcfgLogChannelXml), "LogChannel", LCFG_CHANNELS);

const RecordField kEventChannelFields[] = {
    STRUCTS_FIELD(LcfgEventChannel, Range, "Range", kRange),
    STRUCTS_FIELD(LcfgEventChannel, Tags, "Tags", kTags),
    STRUCTS_FIELD_END,
};
const RecordType kEventChannel = structs_MakeStructureType(sizeof(LcfgEventChannel), kEventChannelFields);
const RecordType kEventChannels =
    structs_MakeFixedArrayType(&kEventChannel, sizeof(LcfgEventChannel), "EventChannel", LCFG_CHANNELS);

const RecordField kChannelRefFields[] = {
    STRUCTS_FIELD(LcfgChannelRef, Prefix, "Prefix", kPrefix4),
    STRUCTS_FIELD(LcfgChannelRef, Number, "Number", UInt16Type),
    STRUCTS_FIELD_END,
};
const RecordType kChannelRef = structs_MakeStructureType(sizeof(LcfgChannelRef), kChannelRefFields);
const RecordField kPrefixOnlyFields[] = {STRUCTS_FIELD(LcfgPrefixOnly, Prefix, "Prefix", kPrefix4),
                                         STRUCTS_FIELD_END};
const RecordType kPrefixOnly = structs_MakeStructureType(sizeof(LcfgPrefixOnly), kPrefixOnlyFields);
const RecordField kNumberOnlyFields[] = {STRUCTS_FIELD(LcfgNumberOnly, Number, "Number", UInt16Type),
                                         STRUCTS_FIELD_END};
const RecordType kNumberOnly = structs_MakeStructureType(sizeof(LcfgNumberOnly), kNumberOnlyFields);

const RecordType kOptionBits = structs_MakeFixedArrayType(&kBool, 1, "Option", 8);
const RecordType kFlags = structs_MakeFixedArrayType(&kBool, 1, "Flag", 16);
const RecordType kHeaders = structs_MakeFixedArrayType(&kData16, LCFG_FLAG_ITEM_SIZE, "Header", LCFG_HEADER_ROOM);
// The value lies unaligned at byte 8 of a 30-byte entry: read through byte copies.
const RecordField kColumnFields[] = {
    STRUCTS_FIELD(LcfgColumn, Tag, "Tag", kData8),
    RecordField{"Value", &UInt32Type, 4, static_cast<uint16_t>(offsetof(LcfgColumn, Value))},
    STRUCTS_FIELD_END,
};
const RecordType kColumn = structs_MakeStructureType(sizeof(LcfgColumn), kColumnFields);
const RecordType kColumns = structs_MakeFixedArrayType(&kColumn, sizeof(LcfgColumn), "Column", LCFG_COLUMN_ROOM);

const RecordType kFilterChannels = structs_MakeFixedArrayType(&kRange, sizeof(LcfgRange), "Filter", LCFG_CHANNELS);
const RecordType kFilterNames = structs_MakeFixedArrayType(&kName, LCFG_NAME_SIZE, "Name", LCFG_CHANNELS);

#define S_FIELD(member, type) STRUCTS_FIELD(LoggerStand, member, #member, type)
const RecordField kStandFields[] = {
    S_FIELD(Name, kName),
    S_FIELD(Autostart, kBool),
    S_FIELD(Storage, UInt8Type),
    S_FIELD(Type, UInt8Type),
    S_FIELD(PeriodPreEventRate, UInt32Type),
    S_FIELD(EventLogs, kBool),
    S_FIELD(EventRate, UInt32Type),
    S_FIELD(PreEventLogs, UInt32Type),
    S_FIELD(PostEventLogs, UInt32Type),
    S_FIELD(StartMode, UInt8Type),
    S_FIELD(StartTime, lcfg_DatedWildTimeType),
    S_FIELD(StopTime, lcfg_DatedWildTimeType),
    S_FIELD(Delete, kBool),
    S_FIELD(DeleteOlderThan, lcfg_PeriodType),
    S_FIELD(Cycle, kBool),
    S_FIELD(CycleEvery, lcfg_PeriodType),
    S_FIELD(CycleMode, UInt8Type),
    S_FIELD(CycleLogFor, lcfg_PeriodType),
    S_FIELD(LogChannels, kLogChannels),
    S_FIELD(EventChannels, kEventChannels),
    S_FIELD(RofCTriggerChannel, kChannelRef),
    S_FIELD(RofCTriggerTag, kTag),
    S_FIELD(RateofChangeType, UInt8Type),
    S_FIELD(RateofChangeChannel, kPrefixOnly),
    S_FIELD(RateOfChangeChannel, kNumberOnly),
    S_FIELD(RateofChangeTag, kTag),
    S_FIELD(RateofChangeValue, FloatType),
    S_FIELD(RofCLaggedTriggerChannel, kChannelRef),
    S_FIELD(RofCLaggedTriggerTag, kTag),
    S_FIELD(RofCRewindType, UInt8Type),
    S_FIELD(RofCRewindChannel, kChannelRef),
    S_FIELD(RofCRewindTag, kTag),
    S_FIELD(RofCRewindValue, FloatType),
    S_FIELD(TextLogging, kBool),
    S_FIELD(BufferSize, UInt32Type),
    S_FIELD(WritetoDiskRate, UInt32Type),
    S_FIELD(LogByTag, kBool),
    S_FIELD(Directory, kPath),
    S_FIELD(Database, kDb),
    S_FIELD(Replicate, kBool),
    S_FIELD(ReplicationTarget, kPath),
    S_FIELD(DropMerge, kBool),
    S_FIELD(DropMergeCycle, UInt32Type),
    S_FIELD(DiskSpaceChecking, kBool),
    S_FIELD(DiskSpaceThreshold, UInt32Type),
    S_FIELD(SaveConfigurationFile, kBool),
    S_FIELD(MarkFilesReadOnly, kBool),
    S_FIELD(DataExport, kBool),
    S_FIELD(ExportType, UInt8Type),
    S_FIELD(ExportDirectory, kPath),
    S_FIELD(ExportLineEnd, lcfg_LineEndType),
    S_FIELD(ExportSeparator, lcfg_SeparatorType),
    S_FIELD(ExportTextLogsDateDisplay, UInt8Type),
    S_FIELD(ExportHeaderUnits, kBool),
    S_FIELD(ExportCommand, kPath),
    S_FIELD(ExportParameters, kText128),
    S_FIELD(Email, kBool),
    S_FIELD(EmailUseMAPI, kBool),
    S_FIELD(EmailMAPIProfile, kUser),
    S_FIELD(EmailLogOnAs, UInt8Type),
    S_FIELD(EmailMAPIPassword, kPassword),
    S_FIELD(EmailNTDomain, kUser),
    S_FIELD(EmailNTLogin, kUser),
    S_FIELD(EmailNTPassword, kPassword),
    S_FIELD(EmailSMTPSender, kUser),
    S_FIELD(EmailSMTPSenderBox, kText128),
    S_FIELD(EmailSMTPHost, kText128),
    S_FIELD(EmailSMTPPort, UInt32Type),
    S_FIELD(EmailSMTPEncryption, UInt8Type),
    S_FIELD(EmailUseSMTPLogin, kBool),
    S_FIELD(EmailSMTPLogin, kUser),
    S_FIELD(EmailSMTPPassword, kPassword),
    S_FIELD(EmailSubject, kText128),
    S_FIELD(EmailText, kText512),
    S_FIELD(EmailSendFile, kBool),
    S_FIELD(EmailAttachFile, kBool),
    S_FIELD(EmailDeleteFile, kBool),
    S_FIELD(OptionBits, kOptionBits),
    S_FIELD(LogMaskHex, kMaskHex),
    S_FIELD(EventMaskHex, kMaskHex),
    S_FIELD(TriggerMaskHex, kMaskHex),
    S_FIELD(Flags, kFlags),
    S_FIELD(Headers, kHeaders),
    S_FIELD(Columns, kColumns),
    STRUCTS_FIELD_END,
};

#define P_FIELD(member, type) STRUCTS_FIELD(LoggerRepub, member, #member, type)
const RecordField kRepubFields[] = {
    P_FIELD(Name, kName),
    P_FIELD(Autostart, kBool),
    P_FIELD(SourceLogger, kName),
    P_FIELD(SourceStorage, UInt8Type),
    P_FIELD(SourceDatabase, kDb),
    P_FIELD(SourceDirectory, kPath),
    P_FIELD(SourceLogin, kBool),
    P_FIELD(SourceLoginUserName, kUser),
    P_FIELD(SourceLoginPassword, kPassword),
    P_FIELD(SourcePrefix, kPrefix16),
    P_FIELD(DestinationConnectionType, UInt8Type),
    P_FIELD(DestinationServer, kUrl),
    P_FIELD(DestinationStorage, UInt8Type),
    P_FIELD(DestinationDatabase, kDb),
    P_FIELD(DestinationDirectory, kPath),
    P_FIELD(DestinationLogin, kBool),
    P_FIELD(DestinationMarkFilesReadOnly, kBool),
    P_FIELD(DestinationLoginUserName, kUser),
    P_FIELD(DestinationLoginPassword, kPassword),
    P_FIELD(DestinationPrefix, kPrefix16),
    P_FIELD(DestinationUpdatesToTextLogs, kBool),
    P_FIELD(TextLogLineEnd, lcfg_LineEndType),
    P_FIELD(TextLogSeparator, lcfg_SeparatorType),
    P_FIELD(UpdateRate, UInt32Type),
    P_FIELD(StartTime, lcfg_WildTimeType),
    P_FIELD(StopTime, lcfg_WildTimeType),
    P_FIELD(Cycle, kBool),
    P_FIELD(CycleEvery, lcfg_PeriodType),
    P_FIELD(CyclePublishFor, lcfg_PeriodType),
    P_FIELD(DeleteSource, kBool),
    P_FIELD(DeleteSourceOlderThan, lcfg_PeriodType),
    P_FIELD(DeleteDestination, kBool),
    P_FIELD(DeleteDestinationOlderThan, lcfg_PeriodType),
    P_FIELD(RenameAllocatedSubscription, kBool),
    P_FIELD(RenameLoggerName, kName),
    P_FIELD(BufferSize, UInt32Type),
    P_FIELD(NetworkConnection, kBool),
    P_FIELD(ThrottleBandwidth, kBool),
    P_FIELD(BandwidthThrottleKbs, UInt32Type),
    P_FIELD(ChannelFilter, kBool),
    P_FIELD(FilterChannels, kFilterChannels),
    P_FIELD(FilterChannelsName, kFilterNames),
    STRUCTS_FIELD_END,
};

#define R_FIELD(member, type) STRUCTS_FIELD(LoggerResub, member, #member, type)
const RecordField kResubFields[] = {
    R_FIELD(Name, kName),
    R_FIELD(Autostart, kBool),
    R_FIELD(ExpiryTimeEnable, kBool),
    R_FIELD(ExpiryTime, lcfg_DatedTimeType),
    R_FIELD(OverrideDestination, kBool),
    R_FIELD(DestinationDirectory, kPath),
    R_FIELD(DatabaseDestinationUse, kBool),
    R_FIELD(DatabaseDestination, kText512),
    R_FIELD(GenerateAlarmOnChannelAlarm, kBool),
    R_FIELD(PriorityAlarmOnChannelAlarm, UInt8Type),
    R_FIELD(CommonAlarmOnChannelAlarm, kBool),
    R_FIELD(DelayAlarmOnChannelAlarm, UInt16Type),
    R_FIELD(GenerateAlarmOnChannelError, kBool),
    R_FIELD(PriorityAlarmOnChannelError, UInt8Type),
    R_FIELD(CommonAlarmOnChannelError, kBool),
    R_FIELD(DelayAlarmOnChannelError, UInt16Type),
    R_FIELD(GenerateAlarmOnCommTimeout, kBool),
    R_FIELD(PriorityAlarmOnCommTimeout, UInt8Type),
    R_FIELD(CommonAlarmOnCommTimeout, kBool),
    R_FIELD(DelayAlarmOnCommTimeout, UInt16Type),
    R_FIELD(StartFlag, kBool),
    R_FIELD(StartTime, lcfg_DatedTimeType),
    R_FIELD(SourceServer, kSourceUrl),
    R_FIELD(AssetPath, kText256),
    STRUCTS_FIELD_END,
};

const RecordType kStandType = structs_MakeStructureType(LCFG_STAND_SIZE, kStandFields);
const RecordType kRepubType = structs_MakeStructureType(LCFG_REPUB_SIZE, kRepubFields);
const RecordType kResubType = structs_MakeStructureType(LCFG_RESUB_SIZE, kResubFields);

// The tags found, looked up by name: the same answer as a search for
// ",name," in the joined list, without rescanning it for every tag.
struct Required {
  std::unordered_set<std::string_view> present;
  bool failed = false;

  explicit Required(const char *list) {
    std::string_view s = list ? list : "";
    present.reserve(s.size() / 8);
    for (size_t at = 0; at < s.size();) {
      size_t end = s.find(',', at);
      if (end == std::string_view::npos) end = s.size();
      if (end > at) present.insert(s.substr(at, end - at));
      at = end + 1;
    }
  }
  void Need(const char *name) {
    if (failed || present.count(name)) return;
    failed = true;
    char text[XML_TEXT_MAX];
    snprintf(text, sizeof text, "<%s> tag not found", name);
    xml_SetError(-1, text);
  }
  void Need(std::initializer_list<const char *> names) {
    for (const char *n : names) Need(n);
  }
  // Each entry's tags: prefix, the entry's number, one of the suffixes.
  void NeedEach(const char *prefix, std::initializer_list<const char *> suffixes) {
    std::string name;
    for (uint32_t i = 0; i < LCFG_CHANNELS && !failed; ++i)
      for (const char *suffix : suffixes) {
        name.assign(prefix).append(std::to_string(i)).append(suffix);
        Need(name.c_str());
      }
  }
};

std::vector<LcfgField> Locate(const RecordType *type) {
  std::vector<LcfgField> fields;
  std::vector<uint8_t> zero(type->size, 0);
  char **names = nullptr;
  int n = structs_ListFieldNames(type, zero.data(), &names, TYPED_MEM_TEMP);
  for (int i = 0; i < n; ++i) {
    void *at = zero.data();
    const RecordType *ft = structs_LocateField(type, names[i], &at, 0);
    if (ft)
      fields.push_back({names[i], ft, static_cast<uint32_t>(static_cast<uint8_t *>(at) - zero.data())});
    typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  }
  if (names) typed_mem_Release(TYPED_MEM_TEMP, names);
  return fields;
}

void StandTags(Required &q, const LoggerStand &r) {
  q.Need({"Name", "Autostart", "Storage", "Type"});
  if (r.Type == 0) q.Need("PeriodPreEventRate");
  if (r.Type == 1) q.Need({"PeriodPreEventRate", "EventLogs"});
  if (r.Type == 2) q.Need({"PreEventLogs", "PostEventLogs"});
  if ((r.Type == 1 || r.Type == 2) && r.EventLogs) q.Need("EventRate");
  q.Need({"StartMode", "StartTime", "StopTime", "Delete"});
  if (r.Delete) q.Need("DeleteOlderThan");
  q.Need("Cycle");
  if (r.Cycle) q.Need({"CycleEvery", "CycleMode", "CycleLogFor"});
  q.NeedEach("LogChannels.", {".Range.Prefix", ".Range.From", ".Range.To", ".Tags.From", ".Tags.To", ".Average",
                               ".Lag"});
  if (r.Type == 1 || r.Type == 2)
    q.NeedEach("EventChannels.", {".Range.Prefix", ".Range.From", ".Range.To", ".Tags.From", ".Tags.To"});
  if (r.Type == 3) {
    q.Need({"RofCTriggerChannel.Prefix", "RofCTriggerChannel.Number", "RofCTriggerTag", "RateofChangeType"});
    if (r.RateofChangeType == 0)
      q.Need({"RateofChangeChannel.Prefix", "RateOfChangeChannel.Number", "RateofChangeTag"});
    else
      q.Need("RateofChangeValue");
    q.Need({"RofCLaggedTriggerChannel.Prefix", "RofCLaggedTriggerChannel.Number", "RofCLaggedTriggerTag",
            "RofCRewindType"});
    if (r.RofCRewindType == 0)
      q.Need({"RofCRewindChannel.Prefix", "RofCRewindChannel.Number", "RofCRewindTag"});
    else
      q.Need("RofCRewindValue");
  }
  q.Need({"TextLogging", "BufferSize", "WritetoDiskRate", "LogByTag", "Directory"});
  if (r.Storage == 1) {
    q.Need({"Database", "Replicate"});
    if (r.Replicate) q.Need({"ReplicationTarget", "DropMerge", "DropMergeCycle"});
  }
  q.Need("DiskSpaceChecking");
  if (r.DiskSpaceChecking) q.Need("DiskSpaceThreshold");
  q.Need({"SaveConfigurationFile", "MarkFilesReadOnly", "DataExport", "Email"});
  if (r.DataExport) {
    q.Need({"ExportType", "ExportDirectory", "ExportLineEnd", "ExportSeparator", "ExportTextLogsDateDisplay",
            "ExportHeaderUnits"});
    if (r.ExportType == 2) q.Need({"ExportCommand", "ExportParameters"});
  }
  if (r.Email) {
    q.Need("EmailUseMAPI");
    if (r.EmailUseMAPI) {
      q.Need({"EmailMAPIProfile", "EmailLogOnAs"});
      if (r.EmailLogOnAs == 0)
        q.Need("EmailMAPIPassword");
      else
        q.Need({"EmailNTDomain", "EmailNTLogin", "EmailNTPassword"});
    } else {
      q.Need({"EmailSMTPSender", "EmailSMTPSenderBox", "EmailSMTPHost", "EmailSMTPPort", "EmailSMTPEncryption",
              "EmailUseSMTPLogin"});
      if (r.EmailUseSMTPLogin) q.Need({"EmailSMTPLogin", "EmailSMTPPassword"});
    }
    q.Need({"EmailSubject", "EmailText", "EmailSendFile", "EmailAttachFile", "EmailDeleteFile"});
  }
}

void RepubTags(Required &q, const LoggerRepub &r) {
  q.Need({"Name", "SourceLogger", "SourceStorage"});
  q.Need(r.SourceStorage == 1 ? "SourceDatabase" : "SourceDirectory");
  q.Need("SourceLogin");
  if (r.SourceLogin) q.Need({"SourceLoginUserName", "SourceLoginPassword"});
  q.Need({"SourcePrefix", "DestinationConnectionType", "DestinationServer", "DestinationStorage"});
  q.Need(r.DestinationStorage == 1 ? "DestinationDatabase" : "DestinationDirectory");
  q.Need({"DestinationLogin", "DestinationMarkFilesReadOnly"});
  if (r.DestinationLogin) q.Need({"DestinationLoginUserName", "DestinationLoginPassword"});
  q.Need({"DestinationPrefix", "DestinationUpdatesToTextLogs", "Autostart", "UpdateRate", "StartTime", "StopTime",
          "Cycle"});
  if (r.Cycle) q.Need({"CycleEvery", "CyclePublishFor"});
  q.Need("DeleteSource");
  if (r.DeleteSource) q.Need("DeleteSourceOlderThan");
  q.Need("DeleteDestination");
  if (r.DeleteDestination) q.Need("DeleteDestinationOlderThan");
  q.Need("RenameAllocatedSubscription");
  if (r.RenameAllocatedSubscription) q.Need("RenameLoggerName");
  q.Need({"BufferSize", "NetworkConnection", "ThrottleBandwidth"});
  if (r.ThrottleBandwidth) q.Need("BandwidthThrottleKbs");
  q.Need("ChannelFilter");
  if (r.ChannelFilter) {
    for (uint32_t i = 0; i < LCFG_CHANNELS && !q.failed; ++i) {
      std::string n = std::to_string(i);
      q.Need({("FilterChannels." + n + ".Prefix").c_str(), ("FilterChannels." + n + ".From").c_str(),
              ("FilterChannels." + n + ".To").c_str(), ("FilterChannelsName." + n).c_str()});
    }
  }
}

void ResubTags(Required &q, const LoggerResub &r) {
  q.Need({"Name", "Autostart", "ExpiryTimeEnable"});
  if (r.ExpiryTimeEnable) q.Need("ExpiryTime");
  q.Need("OverrideDestination");
  if (r.OverrideDestination) {
    q.Need({"DestinationDirectory", "DatabaseDestinationUse"});
    if (r.DatabaseDestinationUse) q.Need("DatabaseDestination");
  }
  q.Need("GenerateAlarmOnChannelAlarm");
  if (r.GenerateAlarmOnChannelAlarm)
    q.Need({"PriorityAlarmOnChannelAlarm", "CommonAlarmOnChannelAlarm", "DelayAlarmOnChannelAlarm"});
  q.Need("GenerateAlarmOnChannelError");
  if (r.GenerateAlarmOnChannelError)
    q.Need({"PriorityAlarmOnChannelError", "CommonAlarmOnChannelError", "DelayAlarmOnChannelError"});
  q.Need("GenerateAlarmOnCommTimeout");
  if (r.GenerateAlarmOnCommTimeout)
    q.Need({"PriorityAlarmOnCommTimeout", "CommonAlarmOnCommTimeout", "DelayAlarmOnCommTimeout"});
}

void ToHex(const uint8_t *bytes, char *text) {
  static const char kDigits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < LCFG_MASK_SIZE; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  text[2 * LCFG_MASK_SIZE] = '\0';
}

void FromHex(const char *text, uint8_t *bytes) {
  memset(bytes, 0, LCFG_MASK_SIZE);
  for (uint32_t i = 0; i < LCFG_MASK_SIZE; ++i) {
    int hi = lcfg_HexValue(text[2 * i]), lo = hi < 0 ? -1 : lcfg_HexValue(text[2 * i + 1]);
    if (lo < 0) return;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
}

constexpr size_t kKept = offsetof(LcfgEntry, rest);  // the tag and the value
static_assert(kKept == 12 && offsetof(LcfgColumn, rest) == kKept);

}  // namespace

LcfgKind lcfg_KindOf(const char *typeName) {
  if (!typeName) return LCFG_OTHER;
  if (os_CompareNoCaseN(typeName, "stand", 5) == 0) return LCFG_STAND;
  if (os_CompareNoCaseN(typeName, "repub", 5) == 0) return LCFG_REPUB;
  if (os_CompareNoCaseN(typeName, "resub", 5) == 0) return LCFG_RESUB;
  return LCFG_OTHER;
}

const RecordType *lcfg_RecordType(LcfgKind kind) {
  switch (kind) {
    case LCFG_STAND: return &kStandType;
    case LCFG_REPUB: return &kRepubType;
    case LCFG_RESUB: return &kResubType;
    default: return nullptr;
  }
}

const std::vector<LcfgField> &lcfg_Fields(LcfgKind kind) {
  static const std::vector<LcfgField> kNone, kStand = Locate(&kStandType), kRepub = Locate(&kRepubType),
                                             kResub = Locate(&kResubType);
  return kind == LCFG_STAND ? kStand : kind == LCFG_REPUB ? kRepub : kind == LCFG_RESUB ? kResub : kNone;
}

uint32_t lcfg_RecordSize(LcfgKind kind) {
  const RecordType *t = lcfg_RecordType(kind);
  return t ? t->size : 0;
}

int lcfg_CheckRequiredTags(LcfgKind kind, const char *present, const void *record) {
  Required q(present);
  if (kind == LCFG_STAND) StandTags(q, *static_cast<const LoggerStand *>(record));
  if (kind == LCFG_REPUB) RepubTags(q, *static_cast<const LoggerRepub *>(record));
  if (kind == LCFG_RESUB) ResubTags(q, *static_cast<const LoggerResub *>(record));
  return q.failed ? -1 : 0;
}

void lcfg_StandToXmlForm(LoggerStand *r) {
  for (uint32_t i = 0; i < LCFG_CHANNELS; ++i) {
    const LcfgLogChannel &p = r->LogChannelData[i];
    LcfgLogChannelXml &x = r->LogChannels[i];
    memcpy(x.Range.Prefix, p.Prefix, sizeof x.Range.Prefix);
    x.Range.From = p.From;
    x.Range.To = p.To;
    memcpy(x.Tags.From, p.TagFrom, sizeof x.Tags.From);
    memcpy(x.Tags.To, p.TagTo, sizeof x.Tags.To);
    x.Average = p.Average;
    x.Lag = p.Lag;
  }
  for (int k = 0; k < 8; ++k) r->OptionBits[k] = (r->Options >> k) & 1;
  ToHex(r->LogMask, r->LogMaskHex);
  ToHex(r->EventMask, r->EventMaskHex);
  ToHex(r->TriggerMask, r->TriggerMaskHex);
}

void lcfg_StandFromXmlForm(LoggerStand *r) {
  for (uint32_t i = 0; i < LCFG_CHANNELS; ++i) {
    LcfgLogChannel &p = r->LogChannelData[i];
    const LcfgLogChannelXml &x = r->LogChannels[i];
    memcpy(p.Prefix, x.Range.Prefix, sizeof p.Prefix);
    p.From = x.Range.From;
    p.To = x.Range.To;
    memcpy(p.TagFrom, x.Tags.From, sizeof p.TagFrom);
    memcpy(p.TagTo, x.Tags.To, sizeof p.TagTo);
    p.Average = x.Average;
    p.Lag = x.Lag;
  }
  uint8_t options = 0;
  for (int k = 0; k < 8; ++k) options |= static_cast<uint8_t>((r->OptionBits[k] ? 1 : 0) << k);
  r->Options = options;
  FromHex(r->LogMaskHex, r->LogMask);
  FromHex(r->EventMaskHex, r->EventMask);
  FromHex(r->TriggerMaskHex, r->TriggerMask);
}

int lcfg_StandFlagsForward(LoggerStand *r) {
  if (!r) return -1;
  if (!r->Converted) {
    memset(r->Headers, 0, sizeof r->Headers);
    memset(r->Columns, 0, sizeof r->Columns);
  }
  for (int k = 0; k < 16; ++k) r->Flags[k] = (r->FlagWord >> k) & 1;
  memcpy(r->Headers[0], r->FlagTableA, sizeof r->FlagTableA);
  memcpy(r->Headers[LCFG_FLAG_ITEMS], r->FlagTableB, sizeof r->FlagTableB);
  for (uint32_t i = 0; i < LCFG_ENTRY_ITEMS; ++i) {
    memcpy(&r->Columns[i], &r->EntryTableA[i], kKept);
    memcpy(&r->Columns[LCFG_ENTRY_ITEMS + i], &r->EntryTableB[i], kKept);
  }
  r->Converted = 1;
  return 1;
}

int lcfg_StandFlagsReverse(LoggerStand *r) {
  if (!r) return -1;
  if (!r->Converted) return 1;
  uint16_t word = r->FlagWord;
  for (int k = 0; k < 16; ++k) {
    uint16_t bit = static_cast<uint16_t>(1u << k);
    word = static_cast<uint16_t>(r->Flags[k] ? word | bit : word & ~bit);
  }
  r->FlagWord = word;
  memcpy(r->FlagTableA, r->Headers[0], sizeof r->FlagTableA);
  memcpy(r->FlagTableB, r->Headers[LCFG_FLAG_ITEMS], sizeof r->FlagTableB);
  for (uint32_t i = 0; i < LCFG_ENTRY_ITEMS; ++i) {
    memcpy(&r->EntryTableA[i], &r->Columns[i], kKept);
    memcpy(&r->EntryTableB[i], &r->Columns[LCFG_ENTRY_ITEMS + i], kKept);
  }
  return 1;
}

void lcfg_RepubPeriodCodes(LoggerRepub *r) {
  const uint8_t *periods[4] = {r->CycleEvery, r->CyclePublishFor, r->DeleteSourceOlderThan,
                               r->DeleteDestinationOlderThan};
  for (int i = 0; i < 4; ++i) r->PeriodCodes[i] = static_cast<uint8_t>(lcfg_PeriodCode(periods[i]));
}

void lcfg_RecordToXmlForm(LcfgKind kind, void *record) {
  if (kind != LCFG_STAND) return;
  LoggerStand *r = static_cast<LoggerStand *>(record);
  lcfg_StandToXmlForm(r);
  lcfg_StandFlagsForward(r);
}

void lcfg_RecordFromXmlForm(LcfgKind kind, void *record) {
  if (kind == LCFG_STAND) {
    LoggerStand *r = static_cast<LoggerStand *>(record);
    lcfg_StandFromXmlForm(r);
    r->Converted = 1;
    lcfg_StandFlagsReverse(r);
    // The second set again from the primary fields: a record read and
    // written reads back the same.
    lcfg_RecordToXmlForm(kind, record);
  } else if (kind == LCFG_REPUB) {
    lcfg_RepubPeriodCodes(static_cast<LoggerRepub *>(record));
  }
}
