// The runs of one logger kept as LOGGERS rows of a MySQL or MariaDB database
// (log_db_schema.h): connects, creates LOGGERS, lists, creates, opens,
// closes and removes runs as CLogDbMySQLStore objects.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_store.h"

struct st_mysql;

class CLogDbMySQLCollection : public CLogCollection {
 public:
  CLogDbMySQLCollection();
  ~CLogDbMySQLCollection() override;

  int Open(const char *connection, const char *folder, const char *logger, const char *prefix,
           uint32_t access) override;
  // Removes every run that started and stopped before the limit.
  void Purge(const int32_t *cutOff) override;
  int FirstRun(uint32_t *nameCapacity) override;
  int NextRun(char *name, LogRunTime *start, LogRunTime *end) override;
  int FindRun(char *name, uint32_t *capacity, LogRunTime *start, LogRunTime *end, int allRuns) override;
  CLogStore *CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                        const uint16_t *headerText, int copyConfig, const char *channelSource, void *unused2,
                        ChannelRecord **blockRecords) override;
  CLogStore *CreateRun(const int32_t *start, int freshName, void *unused1, LogFileHeader *h, const char *headerText,
                       int copyConfig, const char *channelSource, void *unused2,
                       ChannelRecord **blockRecords) override;
  CLogStore *OpenStore(const char *run, uint32_t access) override;
  int UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *prefix, int text, int copyConfig) override;
  int CloseRun(CLogStore *store, const int32_t *start, const int32_t *end, int readOnly) override;
  const char *GetErrorText() override;
  const char *GetErrorSummary() override;
  void GetStorePath(const char *run, char *out, uint32_t *length) override;

  // 0 when every table is gone and the row deleted; the row stays while a
  // table does.
  int RemoveRun(const std::string &prefix);
  bool LoggersReady() const { return loggersReady_ != 0; }

 private:
  int Fail(const char *message, const std::string &detail);
  // mysql_query: 0, or the server's error number.
  unsigned Exec(const std::string &sql);
  int NextSequence(int32_t *seq);
  void DropTables(const std::string &prefix);

  std::string conn_, logger_, prefixCopy_;
  st_mysql *db_ = nullptr;
  LdbRunList runs_;
  std::string detail_;
  char message_[31] = {};
  uint32_t access_ = 0;
  int loggersReady_ = 0;
  int createIndexes_ = 1;
};
