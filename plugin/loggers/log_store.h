// Logger runs and the sets of runs of one logger, whatever keeps them.
//
// A run (CLogStore) is a header, the logged channels' records, fixed-size
// data records and text sections; a collection (CLogCollection) hands out the
// runs of one logger. The virtual operations are in slot order; a slot a
// class does not support keeps the base result (0 or null, -1 for
// GetLastModified, the empty text for the error texts), so a caller that
// needs an operation treats 0 from it as nothing done.
#pragma once
#include <cstdint>

#include "framework/time/tm_time.h"
#include "plugin/loggers/log_format.h"

union ChannelRecord;

enum : uint32_t {
  LOG_CONNSTR_MAX = 1284,  // characters of a connection string
  LOG_PREFIX_MAX = 204,    // characters of a run-name prefix
  LOG_LOGGER_NAME_MAX = 259,
};

class CLogStore {
 public:
  virtual ~CLogStore();
  virtual int Open(const char *server, const char *path, uint32_t access);
  // Reopens the run for appending at *endOffset.
  virtual int UseforLogging(uint32_t *endOffset);
  virtual void GetName(char *out, uint32_t *size);
  virtual int Close();
  // 0: write the current end offset into the stored header; else store
  // `value` as the header's record count.
  virtual int FlushHeader(uint32_t value);
  virtual int ReadHeader(LogFileHeader *h);
  virtual int WriteHeader(const LogFileHeader *h, const char *text);
  virtual int ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count);
  virtual int WriteLogs(const LogFileHeader *h, const void *records, uint32_t count);
  // Database stores only.
  virtual int32_t ReadLogsInRange(const LogFileHeader *h, const TimeStamp *from, const TimeStamp *to, void *out,
                                  int32_t count, void *a, void *b, void *c, void *d, void *e);
  // Records read (0 on failure).
  virtual int32_t ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *b,
                           void *c);
  virtual int ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *b, void *c,
                      void *d, void *e);
  virtual int WriteLog(int64_t index, const LogFileHeader *h, const void *buf, uint32_t bytes);
  virtual int64_t GetNoLogs(const LogFileHeader *h);
  virtual int64_t CountChannelRows(const LogFileHeader *h);
  virtual int ReadSectionW(const char *section, uint16_t *out, uint32_t *capacity, void *a, void *b);
  virtual int ReadSection(const char *section, char *out, uint32_t *capacity, void *a, void *b);
  virtual int ReadSectionLinesW(const char *section, uint16_t **lines, uint32_t *lineCount, uint16_t *buf,
                                uint32_t *capacity, void *a, void *b);
  virtual int ReadSectionLines(const char *section, char **lines, uint32_t *lineCount, char *buf, uint32_t *capacity,
                               void *a, void *b);
  virtual int WriteTextW(int32_t seconds, const uint16_t *text, const uint16_t *text2, const char *section);
  virtual int WriteText(int32_t seconds, const char *text, const char *text2, const char *section);
  virtual int WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section);
  virtual int WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section);
  virtual int WritePosition(int32_t seconds, int flag, float value);
  virtual int WriteHeaderTextW(const uint16_t *text);
  virtual int WriteHeaderText(const char *text);
  virtual int WriteFormulae(const char *prefix, int number, const char *text);
  virtual int WriteUnitCategory(const char *category, const char *text);
  virtual int GetLastModified(int32_t *seconds);
  virtual const char *GetErrorText();
  virtual const char *GetErrorSummary();
  // 1 renamed, 0 not.
  virtual int Rename(const char *prefix);
  virtual void DeleteLogsInRange(void *a, void *b);
  virtual void Truncate(LogFileHeader *h, uint32_t records);
  virtual int64_t CountLogsInRange(void *a, void *b, const LogFileHeader *h);
};

// A time as a collection hands it out: 32-bit seconds and a zero word.
struct LogRunTime {
  int32_t seconds;
  int32_t zero;
};
static_assert(sizeof(LogRunTime) == 8);

class CLogCollection {
 public:
  CLogCollection();
  virtual ~CLogCollection();
  virtual int Open(const char *connection, const char *folder, const char *logger, const char *prefix,
                   uint32_t access);
  virtual void Reserved(void *a);
  virtual void Purge(const int32_t *cutOff);
  virtual int FirstRun(uint32_t *nameCapacity);
  virtual int NextRun(char *name, LogRunTime *start, LogRunTime *end);
  virtual int FindRun(char *name, uint32_t *capacity, LogRunTime *start, LogRunTime *end, int allRuns);
  virtual CLogStore *CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                                const uint16_t *headerText, int copyConfig, const char *channelSource,
                                void *unused2, ChannelRecord **blockRecords);
  virtual CLogStore *CreateRun(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                               const char *headerText, int copyConfig, const char *channelSource, void *unused2,
                               ChannelRecord **blockRecords);
  virtual CLogStore *OpenStore(const char *run, uint32_t access);
  virtual int UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *prefix, int text, int copyConfig);
  virtual int CloseRun(CLogStore *store, const int32_t *start, const int32_t *end, int readOnly);
  virtual const char *GetErrorText();
  virtual const char *GetErrorSummary();
  virtual void GetStorePath(const char *run, char *out, uint32_t *length);

  const char *Prefix() const { return prefix_; }

 protected:
  char prefix_[LOG_PREFIX_MAX + 1];
};

// -1: a folder (no "PROVIDER=" at the start); 1 MySQL, 2 WITSML, 3 OSDU,
// 0 any other provider.
int log_ProviderKind(const char *connection);
// The store or collection class serving a connection string, constructed,
// not opened; null (OS_ERROR_NOT_SUPPORTED) where no class serves it yet.
CLogStore *log_CreateStore(const char *connection);
CLogCollection *log_CreateCollection(const char *connection);
// Takes `key` and its value (to the next ';') out of `connection`. With `out`
// the value is copied when it fits with its terminator in *size; without it
// its length is stored in *size. 1 taken, 0 not (string unchanged).
int log_TakeKey(const char *key, char *connection, uint32_t *size, char *out);
int log_TakeLoggerName(char *connection, uint32_t *size, char *out);
// A decimal run number in 32-bit range. 1 taken, 0 not.
int log_TakeLoggerSeq(char *connection, int32_t *seq);
// The connection string completed with the newest run of its logger, in a
// buffer of the calling thread; "" when it cannot be; null
// (OS_ERROR_NOT_SUPPORTED) when the collection it needs is not there.
const char *log_ResolveRun(const char *connection);
void log_SanitizeName(char *text);
int log_IsReservedPrefix(const char *text);
int log_CountLines(const char *text);
