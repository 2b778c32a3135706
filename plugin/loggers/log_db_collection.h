// The runs of one logger kept as LOGGERS rows of a database (log_db_schema.h):
// opens or creates the database and LOGGERS, lists, creates, opens, closes
// and removes runs as CLogDbStore objects.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/dbstores/db_acc.h"
#include "plugin/dbstores/db_data_acc.h"
#include "plugin/loggers/log_store.h"

class CLogDbStore;

// How long a Jet database is left alone after LOGGERS was created in it.
constexpr uint32_t LDB_JET_CREATE_WAIT_MS = 5000;
// Tests set a shorter wait; programs keep the default.
void ldb_SetJetCreateWait(uint32_t ms);

class CLogDbCollection : public CLogCollection {
 public:
  CLogDbCollection();
  ~CLogDbCollection() override;

  int Open(const char *connection, const char *folder, const char *logger, const char *prefix,
           uint32_t access) override;
  // Removes the runs that ended before the limit and the records before it
  // of a run that spans it.
  void Purge(const int32_t *cutOff) override;
  int FirstRun(uint32_t *nameCapacity) override;
  int NextRun(char *name, LogRunTime *start, LogRunTime *end) override;
  int FindRun(char *name, uint32_t *capacity, LogRunTime *start, LogRunTime *end, int allRuns) override;
  CLogStore *CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                        const uint16_t *headerText, int copyConfig, const char *channelSource, void *unused2,
                        ChannelRecord **blockRecords) override;
  // copyConfig asks for a dated table prefix.
  CLogStore *CreateRun(const int32_t *start, int freshName, void *unused1, LogFileHeader *h, const char *headerText,
                       int copyConfig, const char *channelSource, void *unused2,
                       ChannelRecord **blockRecords) override;
  CLogStore *OpenStore(const char *run, uint32_t access) override;
  int UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *prefix, int text, int copyConfig) override;
  int CloseRun(CLogStore *store, const int32_t *start, const int32_t *end, int readOnly) override;
  const char *GetErrorText() override;
  const char *GetErrorSummary() override;
  void GetStorePath(const char *run, char *out, uint32_t *length) override;

  // 0, or -1 when a text or data table could not be dropped.
  int RemoveRun(const std::string &prefix);
  bool CreatedLoggers() const { return createdLoggers_ != 0; }
  bool IndexesOn() const { return createIndexes_ != 0; }

 private:
  struct Run {
    int32_t seq;
    int32_t start, stop;
    std::string prefix;
  };
  int Fail(const char *message, const char *detail);
  int Exec(const std::string &sql);
  int CreateLoggers();
  int NextSequence(int32_t *seq);
  void DropTables(const std::string &prefix, int tables);

  std::string conn_, logger_, prefixCopy_;
  CLogITDbAcc catalog_;
  CLogITDbDataAcc data_;
  std::vector<Run> runs_;
  size_t next_ = 0;
  std::string detail_;
  char message_[31] = {};
  int createIndexes_ = 1;
  uint32_t access_ = 0;
  int createdLoggers_ = 0;
};
