// One logger run kept in a MySQL or MariaDB database, in the tables of the
// ADO store (log_db_schema.h), over the client library's prepared
// statements. Records go in batches of one multi-row INSERT each; the batch
// statement stays prepared while batches keep their shape.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_store.h"

struct st_mysql_stmt;

// Rows per INSERT: at most 1000, and the server's 65535 placeholders.
uint32_t lmy_BatchRows(uint32_t columns);
// "INSERT INTO <table> VALUES (?,...),..." of `rows` rows of `columns`.
std::string lmy_BatchInsert(const std::string &table, uint32_t rows, uint32_t columns);

class CLogDbMySQLStore : public CLogStore {
 public:
  CLogDbMySQLStore();
  ~CLogDbMySQLStore() override;

  // Adds the run's LOGGERS and CHANNELS rows (the tables must exist) and
  // makes the store ready for logging.
  int CreateRun(const char *connection, const char *prefix, const char *logger, int32_t seq, const LogFileHeader *h,
                const char *headerText, ChannelRecord *const *records);

  int Open(const char *server, const char *path, uint32_t access) override;
  int UseforLogging(uint32_t *endOffset) override;
  void GetName(char *out, uint32_t *size) override;
  int Close() override;
  int ReadHeader(LogFileHeader *h) override;
  int WriteHeader(const LogFileHeader *h, const char *text) override;
  int ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) override;
  // A call that loses the link reconnects once and goes on after the newest
  // record the table holds, so records handed again are not stored twice.
  int WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) override;
  int32_t ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *b,
                   void *c) override;
  // a: column prefix (const char*), b: count (unused), c: descending (int*).
  int ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *b, void *c, void *d,
              void *e) override;
  int64_t GetNoLogs(const LogFileHeader *h) override;
  int ReadSection(const char *section, char *out, uint32_t *capacity, void *a, void *b) override;
  int WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section) override;
  int WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section) override;
  int WriteFormulae(const char *prefix, int number, const char *text) override;
  int WriteUnitCategory(const char *category, const char *text) override;
  int GetLastModified(int32_t *seconds) override;
  const char *GetErrorText() override;
  const char *GetErrorSummary() override;
  int64_t CountLogsInRange(void *a, void *b, const LogFileHeader *h) override;

  const std::string &TablePrefix() const { return prefix_; }
  int32_t Sequence() const { return seq_; }

 private:
  int Fail(const char *message, const std::string &detail);
  int Fail(const LmyOutcome &o);
  int Connect(const char *connection);
  int Run(const std::string &sql, const std::vector<LmyParam> &params, const char *prepareMessage,
          const char *executeMessage, std::vector<LmyRow> *rows, size_t textCap = 0);
  std::string RunWhere() const;
  int LoadStateTexts();
  int Reconnect();
  // Lets a broken link go; the next statement connects again.
  void Lose();
  // Takes the run's lock for this connection's writes, first ending the
  // session of a lost link that held it.
  int HoldRun();
  // Index of the first record after the newest stored one.
  int SkipStored(const LogFileHeader *h, const uint8_t *records, uint32_t count, uint32_t *from);
  int WriteBatch(const LogFileHeader *h, const uint8_t *records, uint32_t rows, uint32_t columns);
  void DropBatch();

  st_mysql *db_ = nullptr;
  LmyKeys keys_{};
  std::string conn_, logger_, prefix_;
  int32_t seq_ = 0;
  int32_t cursor_ = -1;
  uint32_t access_ = 0;
  int logging_ = 0;
  int digitalText_ = 0;
  std::vector<std::pair<std::string, std::string>> states_;
  // Prepared batch INSERTs: [0] of full batches, [1] of a shorter one.
  struct Batch {
    st_mysql_stmt *stmt = nullptr;
    uint32_t rows = 0, columns = 0;
  };
  Batch batch_[2];
  struct Buffers;
  std::unique_ptr<Buffers> buf_;
  unsigned lastError_ = 0;
  bool lost_ = false;    // the link broke: connect again before the next statement
  bool resume_ = false;  // a write failed part-way: skip what the table holds
  bool asked_ = false;   // this connection asked for the run's lock
  bool held_ = false;    // and holds it
  uint64_t session_ = 0;      // this connection's session on the server
  uint64_t lostSession_ = 0;  // a lost link's session that held the lock, until it is known ended

  std::string detail_;
  char message_[31] = {};
};
