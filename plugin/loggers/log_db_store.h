// One logger run kept in a database: its LOGGERS row and its CHANNELS, DATA
// and TEXT tables (log_db_schema.h). The main accessor answers queries and
// single-row changes; the logging accessor keeps the data table open for
// appending while the run is logged to, so that a reader on the main one
// never waits on the writer's recordset.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/dbstores/db_data_acc.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_store.h"

constexpr uint32_t LDB_STORE_CONNSTR = 1424;
constexpr uint32_t LDB_MESSAGE_MAX = 30;

class CLogDbStore : public CLogStore {
 public:
  CLogDbStore();
  ~CLogDbStore() override;

  // Adds the run's LOGGERS, TEXT and CHANNELS rows (the tables must exist)
  // and opens the data table for appending. `records[i]` are block i's
  // channel records; a block without them (or no `records`) takes them from
  // `server` when it is another computer, else from the configuration area
  // here.
  int CreateRun(const char *connection, const char *prefix, const char *logger, int32_t seq, const LogFileHeader *h,
                const char *headerText, const char *server, ChannelRecord *const *records);

  int Open(const char *server, const char *path, uint32_t access) override;
  int UseforLogging(uint32_t *endOffset) override;
  void GetName(char *out, uint32_t *size) override;
  int Close() override;
  int FlushHeader(uint32_t value) override;
  int ReadHeader(LogFileHeader *h) override;
  int WriteHeader(const LogFileHeader *h, const char *text) override;
  int ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) override;
  int WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) override;
  // a: descending (int*), b: times only (int*).
  int32_t ReadLogsInRange(const LogFileHeader *h, const TimeStamp *from, const TimeStamp *to, void *out,
                          int32_t count, void *a, void *b, void *c, void *d, void *e) override;
  int32_t ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *b,
                   void *c) override;
  // a: column prefix (const char*), b: count (int*), c: descending (int*).
  int ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *b, void *c, void *d,
              void *e) override;
  int WriteLog(int64_t index, const LogFileHeader *h, const void *buf, uint32_t bytes) override;
  int64_t GetNoLogs(const LogFileHeader *h) override;
  int64_t CountChannelRows(const LogFileHeader *h) override;
  int ReadSection(const char *section, char *out, uint32_t *capacity, void *a, void *b) override;
  int ReadSectionLines(const char *section, char **lines, uint32_t *lineCount, char *buf, uint32_t *capacity, void *a,
                       void *b) override;
  int WriteText(int32_t seconds, const char *text, const char *text2, const char *section) override;
  int WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section) override;
  int WriteTextW(int32_t seconds, const uint16_t *text, const uint16_t *text2, const char *section) override;
  int WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section) override;
  int WritePosition(int32_t seconds, int flag, float value) override;
  int WriteHeaderText(const char *text) override;
  int WriteHeaderTextW(const uint16_t *text) override;
  int WriteFormulae(const char *prefix, int number, const char *text) override;
  int WriteUnitCategory(const char *category, const char *text) override;
  int GetLastModified(int32_t *seconds) override;
  const char *GetErrorText() override;
  const char *GetErrorSummary() override;
  // a, b: the range ends (const TimeStamp*, null for open).
  void DeleteLogsInRange(void *a, void *b) override;
  int64_t CountLogsInRange(void *a, void *b, const LogFileHeader *h) override;

  const std::string &TablePrefix() const { return prefix_; }
  int32_t Sequence() const { return seq_; }
  // Statements with date literals settle on one form; exposed for tests.
  int FirstForm() const { return firstForm_; }
  bool TopAllowed() const { return top_ != 0; }

 private:
  int Fail(const char *message, const char *detail);
  int Fail(const char *message, CLogITDbDataAcc *acc) { return Fail(message, acc->GetComErrorText()); }
  int32_t Query(CLogITDbDataAcc *acc, const std::string &sql, int32_t lock);
  // Runs `build(form)` through the date-literal forms; the form that worked
  // is kept. 0, or the last failure.
  template <class F>
  int32_t WithForms(CLogITDbDataAcc *acc, int32_t lock, F build);
  std::string RunWhere() const;
  int OpenMain(const char *connection);
  int FillRow(CLogITDbDataAcc *acc, const LogFileHeader *h, const uint8_t *rec, uint32_t bytes);
  int DecodeRow(CLogITDbDataAcc *acc, const LogFileHeader *h, uint8_t *rec, uint32_t bytes, bool timesOnly);
  int LoadStateTexts();
  int ReadTimed(const char *column, const char *fmt, const TimeStamp *from, const TimeStamp *to, std::string *out);
  // The value into `column` of the record at the time (ms < 0: the first
  // record of that second).
  int WriteAt(const char *column, int32_t seconds, int ms, const ado::Variant &value);
  int WriteTextOn(int32_t seconds, int ms, const char *text, const char *section);

  CLogITDbDataAcc main_;
  CLogITDbDataAcc log_;
  std::string conn_, logger_, prefix_;
  int32_t seq_ = 0;
  int32_t cursor_ = -1;
  int32_t cursorCount_ = 0;
  std::string cursorColumns_;  // the column prefix of the open record query
  uint32_t access_ = 0;
  int logging_ = 0;
  int firstForm_ = 0, lastForm_ = 2;
  int top_ = 1;
  int digitalText_ = 0;
  // Per logged channel, in column order: low and high state texts.
  std::vector<std::pair<std::string, std::string>> states_;
  // One record's cells, kept so that a logged row allocates nothing.
  std::vector<LdbCell> cells_;
  std::string detail_;
  char message_[LDB_MESSAGE_MAX + 1] = {};
};
