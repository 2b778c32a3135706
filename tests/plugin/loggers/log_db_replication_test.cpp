// Merge replication of a SQL Server logger database: the procedures run, in
// order, against canned replies of the ADO layer, and each failing step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/registry/reg_settings.h"
#include "framework/trace/dbg_trace.h"
#include "platform/ado/ado.h"
#include "platform/os_debug.h"
#include "platform/os_env.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_db_store.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tests/support/logger_db.h"

namespace {

using tnwtest::SqlCs;

constexpr uint32_t kRW = 0xC0000000u;
constexpr int32_t kT0 = 19523 * 86400 + 8 * 3600;
const char *const kGuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
const char *const kGuidHex = "ff19966f868b11d0b42d00c04fc964ff";  // as the GUID lies in memory

void Sql(const std::string &cs, const std::string &sql) {
  ado::Connection c;
  ASSERT_GE(c.Open(cs), 0);
  ASSERT_GE(c.Execute(sql, nullptr), 0) << sql << ": " << c.LastError().description;
}

// A canned reply: the procedure's table with one row of `values` (SQL
// literals) in `columns`.
void NoReply(const std::string &cs, const std::string &proc) {
  ado::Connection c;
  ASSERT_GE(c.Open(cs), 0);
  c.Execute("DROP TABLE [exec." + proc + "]", nullptr);
}

void Reply(const std::string &cs, const std::string &proc, const std::string &columns, const std::string &values) {
  NoReply(cs, proc);
  Sql(cs, "CREATE TABLE [exec." + proc + "] (" + columns + ")");
  std::string names;
  for (size_t at = 0; at < columns.size();) {
    size_t end = columns.find(',', at);
    std::string col = columns.substr(at, end == std::string::npos ? std::string::npos : end - at);
    col = col.substr(col.find_first_not_of(' '));
    names += (names.empty() ? "" : ", ") + col.substr(0, col.find(' '));
    at = end == std::string::npos ? columns.size() : end + 1;
  }
  Sql(cs, "INSERT INTO [exec." + proc + "] (" + names + ") VALUES (" + values + ")");
}

// Every procedure a replication set-up or drop runs, answering success.
void AllReplies(const std::string &cs, const std::string &target) {
  Sql(cs, "CREATE TABLE [exec.sp_helpmergepublication] (name varchar(128), snapshot_jobid varchar(40))");
  Sql(cs, std::string("INSERT INTO [exec.sp_helpmergepublication] (name, snapshot_jobid) VALUES ('OTHER', '") + kGuid +
              "')");
  for (const char *p : {"sp_replicationdboption", "sp_addmergepublication", "sp_addpublication_snapshot",
                        "sp_addmergearticle", "sp_start_job", "sp_addmergesubscription", "sp_dropmergesubscription",
                        "sp_dropmergepublication"})
    Reply(cs, p, "result int", "0");
  Reply(cs, "sp_help_job", "last_run_outcome int", "1");
  Reply(cs, "sp_helpmergesubscription", "merge_jobid varchar(40)", "'0x0A0b'");
  Reply(target, "sp_mergesubscription_cleanup", "result int", "0");
}

void TraceOn() {
  std::string key = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, key.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, "DBACC_Debug", OS_REG_SZ, "ON", 3), 0);
  os_RegCloseKey(k);
  dbg_Open("DBACC");
}

// The replication statements the accessors ran since the last call, in
// order ("exec ..." and "use ..."), from the accessors' trace.
std::vector<std::string> NewStatements() {
  static size_t seen = 0;
  std::string all = tnwtest::ReadFile(os_DebugOutputPath());
  std::string fresh = all.size() > seen ? all.substr(seen) : std::string();
  seen = all.size();
  std::vector<std::string> out;
  for (size_t at = 0; at < fresh.size();) {
    size_t end = fresh.find_first_of("\r\n", at);
    std::string line = fresh.substr(at, end == std::string::npos ? std::string::npos : end - at);
    size_t head = line.find("] DBACC : ");  // "[pid] DBACC : statement"
    line = head == std::string::npos ? std::string() : line.substr(head + 10);
    if (line.rfind("exec ", 0) == 0 || line.rfind("use ", 0) == 0) out.push_back(line);
    at = end == std::string::npos ? fresh.size() : end + 1;
  }
  return out;
}

// The set-up of one publication as it must reach the server.
std::vector<std::string> Expected(const std::string &name, const std::string &catalog, const std::string &target,
                               const std::vector<std::string> &tables, bool exists, const std::string &subscriber) {
  std::vector<std::string> s = {"exec sp_helpmergepublication"};
  if (!exists) {
    s.push_back("exec sp_replicationdboption @dbname = N'" + catalog +
                "', @optname = N'merge publish', @value = N'true'");
    s.push_back(
        "exec sp_addmergepublication @publication = N'" + name + "', @description = N'Merge publication of " +
        catalog +
        " logger database.', @retention = 14, @sync_mode = N'native', @allow_push = N'true', @allow_pull = N'true', "
        "@allow_anonymous = N'true', @enabled_for_internet = N'false', @centralized_conflicts = N'true', "
        "@dynamic_filters = N'false', @snapshot_in_defaultfolder = N'true', @compress_snapshot = N'false', @ftp_port "
        "= 21, @conflict_retention = 14, @keep_partition_changes = N'false', @allow_subscription_copy = N'false', "
        "@allow_synctoalternate = N'false', @add_to_active_directory = N'false', @max_concurrent_merge = 0, "
        "@max_concurrent_dynamic_snapshots = 0,@use_partition_groups = null, @publication_compatibility_level = "
        "N'90RTM', @replicate_ddl = 1, @allow_subscriber_initiated_snapshot = N'false', @allow_web_synchronization = "
        "N'false', @allow_partition_realignment = N'true', @retention_period_unit = N'days', @conflict_logging = "
        "N'both', @automatic_reinitialization_policy = 0");
    s.push_back("exec sp_addpublication_snapshot @publication = N'" + name +
                "',@frequency_type = 1, @frequency_interval = 1, @frequency_relative_interval = 0, "
                "@frequency_recurrence_factor = 1, @frequency_subday = 1, @frequency_subday_interval = 0, "
                "@active_start_date = 20050101, @active_end_date = 99991231, @active_start_time_of_day = 0, "
                "@active_end_time_of_day = 235959");
  }
  for (const std::string &t : tables)
    s.push_back("exec sp_addmergearticle @publication = N'" + name + "', @article = N'" + t +
                "', @source_owner = N'dbo', @source_object = N'" + t +
                "', @type = N'table', @description = null, @status = N'unsynced', @column_tracking = N'true', "
                "@pre_creation_cmd = N'drop', @creation_script = null, @schema_option = 0x000000000000CFF1, "
                "@article_resolver = null, @subset_filterclause = null, @vertical_partition = N'false', "
                "@auto_identity_range = N'false', @verify_resolver_signature = 0, @allow_interactive_resolver = "
                "N'false', @fast_multicol_updateproc = N'true', @check_permissions = 0, @force_invalidate_snapshot = 1");
  s.push_back("exec sp_helpmergepublication @publication = N'" + name + "'");
  s.push_back(std::string("exec msdb..sp_start_job @job_id = 0x") + kGuidHex);
  s.push_back(std::string("exec msdb..sp_help_job @job_id = 0x") + kGuidHex + ", @job_aspect = N'job'");
  s.push_back("exec sp_addmergesubscription @publication = N'" + name + "', @subscriber = N'" + subscriber +
              "', @subscriber_db = N'" + target +
              "', @subscription_type = N'push', @subscriber_type = N'local', @subscription_priority = 0.000000, "
              "@sync_type = N'automatic', @frequency_type = 4, @frequency_interval = 1, @frequency_relative_interval "
              "= 2, @frequency_recurrence_factor = 0, @frequency_subday = 4, @frequency_subday_interval = 1, "
              "@active_start_date = 0, @active_end_date = 99991231, @active_start_time_of_day = 0, "
              "@active_end_time_of_day = 235900, @enabled_for_syncmgr = N'false', @offloadagent = 0, "
              "@use_interactive_resolver = N'false'");
  s.push_back("exec sp_helpmergesubscription @subscription_type = N'both', @publication = N'" + name + "'");
  s.push_back("use master");
  s.push_back("exec msdb..sp_start_job @job_id = 0x0a0b");
  s.push_back("use " + catalog);
  return s;
}

// Statement by statement, so that a difference shows where it lies.
void ExpectStatements(const std::vector<std::string> &got, const std::vector<std::string> &want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "statement " << i;
  EXPECT_EQ(got.size(), want.size()) << (got.size() > want.size() ? got[want.size()] : want[got.size()]);
}

// One analogue channel, records given by the caller.
struct OneChannel {
  LogFileHeader h{};
  ChannelRecord ai[1]{};
  ChannelRecord *records[1] = {ai};
  OneChannel() {
    memcpy(h.blocks[0].prefix, "AI", 2);
    h.blocks[0].first = h.blocks[0].last = 1;
    h.blocks[0].kind = 8;
    h.blocks[0].statusOffset = 12;
    h.blockCount = 1;
    h.recordSize = 20;
    h.start.seconds = kT0;
    h.type = LOG_FILE_TYPE;
    memcpy(ai[0].raw, "Flow", 4);
  }
};

class LogDbReplication : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TraceOn(); }
  void SetUp() override {
    ldb_SetJetCreateWait(0);
    ldb_SetSnapshotWait(LDB_SNAPSHOT_LIMIT_MS, 5);
    own = SqlCs("repl");
    target = SqlCs("repl_target");
    AllReplies(own, target);
    targetCs = "Provider=SQLOLEDB;Data Source=.;Initial Catalog=repl_target";
  }
  void TearDown() override { ldb_SetSnapshotWait(LDB_SNAPSHOT_LIMIT_MS, LDB_SNAPSHOT_POLL_MS); }
  std::string own, target, targetCs;
};

// LOGGERS is published as soon as the target is set by the collection that
// made it; each run's three tables when it is made; a removed run loses its
// subscription and publication, here and on the target, before its tables.
TEST_F(LogDbReplication, StatementsInOrder) {
  CLogDbCollection c;
  ASSERT_EQ(c.Open(own.c_str(), "", "L'1", "", kRW), 0);
  ASSERT_TRUE(c.CreatedLoggers());
  NewStatements();
  ASSERT_EQ(c.SetReplicationTarget(targetCs.c_str(), 0, "SUBHOST"), 0) << c.GetErrorSummary() << c.GetErrorText();
  EXPECT_TRUE(c.ReplicationOn());
  ExpectStatements(NewStatements(), Expected("L''1", "repl", "repl_target", {"LOGGERS"}, false, "SUBHOST"));

  OneChannel run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  ExpectStatements(NewStatements(), Expected("L_1_", "repl", "repl_target", {"L_1_DATA", "L_1_CHANNELS", "L_1_TEXT"}, false,
                                   "SUBHOST"));
  EXPECT_STREQ(c.GetErrorSummary(), "");

  ASSERT_EQ(c.CloseRun(s, nullptr, nullptr, 0), 0);
  delete s;
  const std::vector<std::string> drop = {
      "exec sp_dropmergesubscription @publication = N'L_1_', @subscriber = N'.', @subscriber_db = N'repl_target', "
      "@subscription_type = N'push'",
      "exec sp_dropmergepublication @publication = N'L_1_'",
      "exec sp_mergesubscription_cleanup @publication = N'L_1_', @publisher = N'SUBHOST', @publisher_db = N'repl'"};
  ExpectStatements(NewStatements(), drop);
  EXPECT_EQ(c.FirstRun(nullptr), 0);

  // A publication that exists already only gets its articles; without an
  // override the subscriber is this computer.
  CLogDbCollection again;
  ASSERT_EQ(again.Open(own.c_str(), "", "L'1", "", kRW), 0);
  ASSERT_EQ(again.SetReplicationTarget(targetCs.c_str(), 0, nullptr), 0);
  EXPECT_EQ(NewStatements(), std::vector<std::string>{});  // it did not make LOGGERS
  Sql(own, "UPDATE [exec.sp_helpmergepublication] SET name = 'L_1_'");
  s = again.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr);
  delete s;
  ExpectStatements(NewStatements(), Expected("L_1_", "repl", "repl_target", {"L_1_DATA", "L_1_CHANNELS", "L_1_TEXT"}, true,
                                   std::string(os_ComputerName()).substr(0, 16)));
}

// Each step that fails names itself; the run is still made and logs.
TEST_F(LogDbReplication, EachFailingStep) {
  const struct {
    const char *name;
    void (*spoil)(const std::string &cs);
    const char *message;
  } cases[] = {
      {"publication", [](const std::string &cs) { NoReply(cs, "sp_addmergepublication"); }, "CAN'T ADD PUBLICATION"},
      {"snapshot agent", [](const std::string &cs) { NoReply(cs, "sp_addpublication_snapshot"); },
       "CAN'T ADD PUBLICATION SNAPSHOT"},
      {"article", [](const std::string &cs) { Reply(cs, "sp_addmergearticle", "error varchar(80)", "'Invalid object'"); },
       "CAN'T ADD PUBLICATION ARTICLE"},
      {"article warning",
       [](const std::string &cs) { Reply(cs, "sp_addmergearticle", "error varchar(80)", "'Warning: column added'"); },
       ""},
      {"publication info", [](const std::string &cs) { NoReply(cs, "sp_helpmergepublication"); },
       "CAN'T GET PUBLICATION INFO"},
      {"snapshot job id",
       [](const std::string &cs) { Sql(cs, "UPDATE [exec.sp_helpmergepublication] SET snapshot_jobid = NULL"); },
       "CAN'T GET SNAPSHOT JOB ID"},
      {"snapshot job id text",
       [](const std::string &cs) { Sql(cs, "UPDATE [exec.sp_helpmergepublication] SET snapshot_jobid = 'job 7'"); },
       "CAN'T GET SNAPSHOT JOB ID"},
      {"start", [](const std::string &cs) { NoReply(cs, "sp_start_job"); }, "CAN'T START SNAPSHOT"},
      {"status", [](const std::string &cs) { NoReply(cs, "sp_help_job"); }, "CAN'T GET SNAPSHOT STATUS"},
      {"status column", [](const std::string &cs) { Reply(cs, "sp_help_job", "outcome int", "1"); },
       "CAN'T GET SNAPSHOT STATUS"},
      {"snapshot failed", [](const std::string &cs) { Reply(cs, "sp_help_job", "last_run_outcome int", "0"); },
       "SNAPSHOT DID NOT RUN"},
      {"snapshot cancelled", [](const std::string &cs) { Reply(cs, "sp_help_job", "last_run_outcome int", "3"); },
       "SNAPSHOT DID NOT RUN"},
      {"subscription", [](const std::string &cs) { NoReply(cs, "sp_addmergesubscription"); },
       "CAN'T ADD SUBSCRIPTION"},
      {"subscription info", [](const std::string &cs) { NoReply(cs, "sp_helpmergesubscription"); },
       "CAN'T GET SUBSCRIPTION INFO"},
      {"subscription job id",
       [](const std::string &cs) { Reply(cs, "sp_helpmergesubscription", "merge_jobid varchar(40)", "NULL"); },
       "CAN'T GET SUBSCRIPTION JOB ID"},
      {"job_id instead",
       [](const std::string &cs) { Reply(cs, "sp_helpmergesubscription", "job_id varchar(40)", "'0x0A0B'"); }, ""},
  };
  int i = 0;
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    std::string cs = SqlCs("fail" + std::to_string(i++));
    AllReplies(cs, target);
    k.spoil(cs);
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "F", "", kRW), 0);
    EXPECT_EQ(c.SetReplicationTarget(targetCs.c_str(), 0, nullptr), *k.message ? -1 : 0);
    EXPECT_STREQ(c.GetErrorSummary(), k.message) << c.GetErrorText();
    OneChannel run;
    CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(s, nullptr) << c.GetErrorSummary();
    EXPECT_STREQ(c.GetErrorSummary(), k.message);
    uint8_t rec[20] = {};
    memcpy(rec + 4, &run.h.start, 8);
    EXPECT_EQ(s->WriteLogs(&run.h, rec, 1), 0);
    delete s;
  }
}

// A snapshot job without an outcome is asked again until its run finished;
// one that never finishes fails at the limit. The merge job starts after it.
TEST_F(LogDbReplication, SnapshotPolling) {
  Reply(own, "sp_help_job", "last_run_outcome int", "5");
  ldb_SetSnapshotWait(300, 20);
  CLogDbCollection c;
  ASSERT_EQ(c.Open(own.c_str(), "", "P", "", kRW), 0);
  NewStatements();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.SetReplicationTarget(targetCs.c_str(), 0, nullptr), -1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_STREQ(c.GetErrorSummary(), "SNAPSHOT DID NOT RUN");
  EXPECT_GE(ms, 300);
  size_t polls = 0;
  for (const std::string &s : NewStatements()) polls += s.find("sp_help_job") != std::string::npos;
  EXPECT_GE(polls, 3u);
  EXPECT_LE(polls, 20u) << "the poll must wait between asks";

  // The outcome turns to success while the collection waits; the merge job
  // it starts then fails.
  ldb_SetSnapshotWait(60000, 20);
  std::atomic<bool> changed{false};
  std::thread server([&] {
    bool polled = tnwtest::Until(
        [] {
          std::string t = tnwtest::ReadFile(os_DebugOutputPath());
          size_t at = t.rfind("exec sp_addmergearticle @publication = N'P_'");
          return at != std::string::npos && t.find("sp_help_job", at) != std::string::npos;
        },
        20000);
    if (polled) {
      Sql(own, "UPDATE [exec.sp_help_job] SET last_run_outcome = 1");
      Reply(own, "sp_start_job", "error varchar(40)", "'The job is disabled'");
      changed = true;
    }
  });
  OneChannel run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  server.join();
  ASSERT_NE(s, nullptr);
  delete s;
  EXPECT_TRUE(changed);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T UPDATE MERGE");
  EXPECT_STREQ(c.GetErrorText(), "The job is disabled");
  std::vector<std::string> seen = NewStatements();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.back(), "use repl");  // back in its own catalog after the failure
}

// What the target must name, and a target that is the database itself.
TEST_F(LogDbReplication, TargetRefusals) {
  CLogDbCollection c;
  ASSERT_EQ(c.Open(own.c_str(), "", "T", "", kRW), 0);
  NewStatements();
  const struct {
    const char *target, *message, *detail;
  } cases[] = {
      {"Provider=SQLOLEDB;Data Source=.", "NO INITIAL CATALOG IN TARGET",
       "NO INITIAL CATALOG DEFINED IN TARGET CONNECTION STRING"},
      {"Provider=SQLOLEDB;Initial Catalog=x", "NO DATA SOURCE DEFINED IN TARG",  // messages keep 30 characters
       "NO DATA SOURCE DEFINED IN TARGET CONNECTION STRING"},
      {"Provider=SQLOLEDB;Data Source=.;Initial Catalog=repl", "DATABASE AND TARGET ARE SAME",
       "DATABASE AND TARGET CONNECTION STRINGS ARE THE SAME"},
      {"Provider=SQLOLEDB;Data Source=(local);Initial Catalog=REPL", "DATABASE AND TARGET ARE SAME",
       "DATABASE AND TARGET CONNECTION STRINGS ARE THE SAME"},
      {"Provider=SQLOLEDB;Data Source=localhost;Initial Catalog=Repl;User ID=sa", "DATABASE AND TARGET ARE SAME",
       "DATABASE AND TARGET CONNECTION STRINGS ARE THE SAME"},
  };
  for (const auto &k : cases) {
    EXPECT_EQ(c.SetReplicationTarget(k.target, 0, nullptr), -1) << k.target;
    EXPECT_STREQ(c.GetErrorSummary(), k.message) << k.target;
    EXPECT_STREQ(c.GetErrorText(), k.detail) << k.target;
    EXPECT_FALSE(c.ReplicationOn());
  }
  // The database's own string must name both too.
  SqlCs("master");
  CLogDbCollection bare;
  ASSERT_EQ(bare.Open("Provider=SQLOLEDB;Data Source=.", "", "T", "", kRW), 0) << bare.GetErrorSummary();
  EXPECT_EQ(bare.SetReplicationTarget(targetCs.c_str(), 0, nullptr), -1);
  EXPECT_STREQ(bare.GetErrorText(), "NO INITIAL CATALOG DEFINED IN DATABASE CONNECTION STRING");
  // Another server with a catalog of the same name is a target; this
  // collection did not make LOGGERS, so nothing runs yet.
  CLogDbCollection later;
  ASSERT_EQ(later.Open(own.c_str(), "", "T", "", kRW), 0);
  NewStatements();
  EXPECT_EQ(later.SetReplicationTarget("Provider=SQLOLEDB;Data Source=FARHOST;Initial Catalog=repl", 0, nullptr), 0);
  EXPECT_TRUE(later.ReplicationOn());
  EXPECT_EQ(NewStatements(), std::vector<std::string>{});
}

// Other providers do not replicate: nothing is checked, nothing runs.
TEST_F(LogDbReplication, OnlySqlServer) {
  std::string dir = std::string(os_Root()) + "/drives/c/ldbrepl";
  os_MakeFolders(dir.c_str());
  remove((dir + "/r.mdb").c_str());
  CLogDbCollection c;
  ASSERT_EQ(c.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\ldbrepl\\r.mdb", "", "J", "", kRW), 0);
  NewStatements();
  EXPECT_EQ(c.SetReplicationTarget(targetCs.c_str(), 0, nullptr), 0);
  EXPECT_EQ(c.SetReplicationTarget("no catalog here", 0, nullptr), 0);
  EXPECT_FALSE(c.ReplicationOn());
  OneChannel run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(c.CloseRun(s, nullptr, nullptr, 0), 0);
  delete s;
  EXPECT_EQ(NewStatements(), std::vector<std::string>{});
}

}  // namespace
