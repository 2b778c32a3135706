// The runs of one logger kept as LOGGERS rows of a database (log_db_schema.h):
// opens or creates the database and LOGGERS, lists, creates, opens, closes
// and removes runs as CLogDbStore objects.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/dbstores/db_acc.h"
#include "plugin/dbstores/db_data_acc.h"
#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_store.h"

class CLogDbStore;

// How long a Jet database is left alone after LOGGERS was created in it.
constexpr uint32_t LDB_JET_CREATE_WAIT_MS = 5000;
// Tests set a shorter wait; programs keep the default.
void ldb_SetJetCreateWait(uint32_t ms);
// How long a started snapshot job is waited for, and how often its outcome
// is asked; tests set shorter times.
constexpr uint32_t LDB_SNAPSHOT_LIMIT_MS = 300000, LDB_SNAPSHOT_POLL_MS = 1000;
void ldb_SetSnapshotWait(uint32_t limitMs, uint32_t pollMs);

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

  // Drops the run's tables and then deletes its LOGGERS row: 0, or -1 with
  // the row kept when a table of the run is still there.
  int RemoveRun(const std::string &prefix);
  // SQL Server only (else nothing is done and 0 returned): merge-replicates
  // this database to the target's catalog from now on. `subscriber` (at
  // most 16 characters) names this computer to the servers, when given.
  int SetReplicationTarget(const char *target, int32_t options, const char *subscriber);
  bool ReplicationOn() const { return replicate_ != 0; }
  // One statement through the catalog accessor: 0, or -1.
  int Exec(const std::string &sql);
  bool CreatedLoggers() const { return createdLoggers_ != 0; }
  bool IndexesOn() const { return createIndexes_ != 0; }

 private:
  int Fail(const char *message, const char *detail);
  int CreateLoggers();
  int NextSequence(int32_t *seq);
  void DropTables(const std::string &prefix, int tables);
  // Dropped now, or not there: true.
  bool DropTable(const std::string &table);
  int Publish(const std::string &name, const std::vector<std::string> &tables);
  int StartJob(const std::string &id);
  int WaitForSnapshot(const std::string &id);
  void Unpublish(const std::string &prefix);
  std::string ThisComputer() const;

  std::string conn_, logger_, prefixCopy_;
  CLogITDbAcc catalog_;
  CLogITDbDataAcc data_;
  LdbRunList runs_;
  std::string detail_;
  char message_[31] = {};
  int createIndexes_ = 1;
  uint32_t access_ = 0;
  int createdLoggers_ = 0;
  // Replication: the target, its data source and catalog and the
  // database's own.
  int replicate_ = 0;
  std::string target_, targetSource_, targetCatalog_, ownSource_, ownCatalog_, subscriber_;
  int32_t publicationOptions_ = 0;
};
