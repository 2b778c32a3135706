#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/os_error.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_store.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_store.h"
#include "plugin/loggers/log_store.h"

namespace {

TEST(LogStoreHelpers, ProviderKindAndFactories) {
  struct Case {
    const char *conn;
    int kind;
    bool store;  // a store class serves it now
  } cases[] = {
      {nullptr, -1, true},
      {"", -1, true},
      {"C:\\Logs\\Pump1", -1, true},
      {"provider=mysql;Server=x", 1, true},
      {"PROVIDER=MySQL.1", 1, true},
      {"PROVIDER=WITSML;x", 2, false},
      {"Provider=osdu", 3, false},
      {"PROVIDER=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb", 0, true},
      {"Provider=SQLOLEDB;Data Source=.", 0, true},
      {"PROVIDER", -1, true},
      {" PROVIDER=MYSQL", -1, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.conn ? c.conn : "(null)");
    EXPECT_EQ(log_ProviderKind(c.conn), c.kind);
    std::unique_ptr<CLogStore> s(log_CreateStore(c.conn));
    EXPECT_EQ(s != nullptr, c.store);
    if (c.kind == 0) EXPECT_NE(dynamic_cast<CLogDbStore *>(s.get()), nullptr);
    else if (c.kind == 1) EXPECT_NE(dynamic_cast<CLogDbMySQLStore *>(s.get()), nullptr);
    else if (c.store) EXPECT_NE(dynamic_cast<CLogFileStore *>(s.get()), nullptr);
    else EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_SUPPORTED);
    // Folders have the file collection, database strings the database one.
    std::unique_ptr<CLogCollection> col(log_CreateCollection(c.conn));
    if (c.kind == 0) {
      EXPECT_NE(dynamic_cast<CLogDbCollection *>(col.get()), nullptr);
    } else if (c.kind == 1) {
      EXPECT_NE(dynamic_cast<CLogDbMySQLCollection *>(col.get()), nullptr);
    } else if (c.kind == -1) {
      EXPECT_NE(dynamic_cast<CLogFileCollection *>(col.get()), nullptr);
    } else if (c.kind == 1) {
      EXPECT_NE(dynamic_cast<CLogDbMySQLCollection *>(col.get()), nullptr);
    } else {
      EXPECT_EQ(col, nullptr);
      EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_SUPPORTED);
    }
  }
}

TEST(LogStoreHelpers, TakeKey) {
  struct Case {
    const char *conn, *key;
    uint32_t cap;  // 0: ask for the length
    int rc;
    const char *value, *after;
  } cases[] = {
      {"C:\\L;LoggerName=Pump;LoggerSeq=3", ";LoggerName=", 10, 1, "Pump", "C:\\L;LoggerSeq=3"},
      {"C:\\L;loggername=Pump", ";LoggerName=", 10, 1, "Pump", "C:\\L"},
      {"C:\\L;LoggerName=A;LoggerName=B", ";LoggerName=", 10, 1, "A", "C:\\L;LoggerName=B"},
      {"C:\\L;LoggerName=Pump", ";LoggerName=", 5, 1, "Pump", "C:\\L"},
      {"C:\\L;LoggerName=Pump", ";LoggerName=", 4, 0, "", "C:\\L;LoggerName=Pump"},  // no room for the terminator
      {"C:\\L;LoggerName=Pump;X=1", ";LoggerName=", 0, 1, "4", "C:\\L;X=1"},
      {"C:\\L", ";LoggerName=", 10, 0, "", "C:\\L"},
      {"C:\\L;LoggerName=", ";LoggerName=", 10, 1, "", "C:\\L"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.conn);
    char conn[200], out[32] = "";
    snprintf(conn, sizeof conn, "%s", c.conn);
    uint32_t size = c.cap;
    int rc = log_TakeKey(c.key, conn, &size, c.cap ? out : nullptr);
    EXPECT_EQ(rc, c.rc);
    EXPECT_STREQ(conn, c.after);
    if (c.cap) EXPECT_STREQ(out, c.value);
    else EXPECT_EQ(std::to_string(size), c.value);
  }
}

TEST(LogStoreHelpers, TakeLoggerSeq) {
  struct Case {
    const char *conn;
    int rc;
    int32_t seq;
    const char *after;
  } cases[] = {
      {"C:\\L;LoggerSeq=00000042", 1, 42, "C:\\L"},
      {"C:\\L;LOGGERSEQ=7;LoggerName=P", 1, 7, "C:\\L;LoggerName=P"},
      {"C:\\L;LoggerSeq=-5", 1, -5, "C:\\L"},
      {"C:\\L;LoggerSeq=2147483647", 1, 2147483647, "C:\\L"},
      {"C:\\L;LoggerSeq=2147483648", 0, 0, "C:\\L;LoggerSeq=2147483648"},
      {"C:\\L;LoggerSeq=99999999999999999999", 0, 0, "C:\\L;LoggerSeq=99999999999999999999"},
      {"C:\\L;LoggerSeq=x", 0, 0, "C:\\L;LoggerSeq=x"},
      {"C:\\L", 0, 0, "C:\\L"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.conn);
    char conn[200];
    snprintf(conn, sizeof conn, "%s", c.conn);
    int32_t seq = 0;
    EXPECT_EQ(log_TakeLoggerSeq(conn, &seq), c.rc);
    EXPECT_EQ(seq, c.seq);
    EXPECT_STREQ(conn, c.after);
  }
}

TEST(LogStoreHelpers, ResolveRun) {
  std::string longest(LOG_CONNSTR_MAX, 'a'), tooLong(LOG_CONNSTR_MAX + 1, 'a');
  struct Case {
    std::string conn;
    const char *result;  // null: no collection yet
  } cases[] = {
      {tooLong, ""},
      {longest, ""},  // no logger name
      {"C:\\L;LoggerSeq=3;LoggerName=P", "C:\\L;LoggerSeq=3;LoggerName=P"},
      {"C:\\L", ""},
      {"PROVIDER=WITSML;LoggerName=P;X=1", "PROVIDER=WITSML;X=1"},
      {"C:\\L;LoggerName=P", ""},  // no logged-data folder of P
      {"C:\\L;LoggerName=" + std::string(LOG_LOGGER_NAME_MAX + 1, 'n'), ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.conn.substr(0, 40));
    const char *r = log_ResolveRun(c.conn.c_str());
    if (!c.result) {
      EXPECT_EQ(r, nullptr);
      EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_SUPPORTED);
    } else {
      ASSERT_NE(r, nullptr);
      EXPECT_STREQ(r, c.result);
    }
  }
  // Each thread has its own result.
  const char *mine = log_ResolveRun("C:\\A;LoggerSeq=1");
  std::string theirs;
  std::thread([&] { theirs = log_ResolveRun("C:\\B;LoggerSeq=2"); }).join();
  EXPECT_STREQ(mine, "C:\\A;LoggerSeq=1");
  EXPECT_EQ(theirs, "C:\\B;LoggerSeq=2");
}

TEST(LogStoreHelpers, NamesAndLines) {
  char name[] = "a b#c&d*e=f+g?h!i^j(k)l{m}n~o<p>q:r-s_t.u";
  log_SanitizeName(name);
  EXPECT_STREQ(name, "a_b_c_d_e_f_g_h_i_j_k_l_m_n_o_p_q_r_s_t.u");

  struct Reserved {
    const char *text;
    int rc;
  } reserved[] = {{"", 1}, {nullptr, 1}, {"END", 1}, {"DT", 1}, {"dt", 0}, {"MS", 1}, {"TX", 1},
                  {"TP", 1}, {"LL", 1},  {"LV", 1},  {"LVX", 0}, {"AI", 0}};
  for (const Reserved &r : reserved) EXPECT_EQ(log_IsReservedPrefix(r.text), r.rc) << (r.text ? r.text : "null");

  struct Lines {
    const char *text;
    int n;
  } lines[] = {{"", 0}, {"a", 1}, {"a\r\n", 1}, {"a\r\nb", 2}, {"\r\n\r\n", 2}, {"a\nb", 1}, {"a\r\nb\r\n", 2}};
  for (const Lines &l : lines) EXPECT_EQ(log_CountLines(l.text), l.n) << l.text;
}

TEST(LogStoreBase, UnsupportedSlotsKeepTheirResults) {
  CLogStore base;
  LogFileHeader h{};
  h.recordCount = 17;
  int32_t t = 5;
  EXPECT_EQ(base.GetLastModified(&t), -1);
  EXPECT_EQ(t, 5);
  EXPECT_STREQ(base.GetErrorText(), "");
  EXPECT_EQ(base.CountLogsInRange(nullptr, nullptr, &h), 17);
  EXPECT_EQ(base.Rename("X"), 0);

  CLogCollection c;
  std::string p204(LOG_PREFIX_MAX, 'p'), p205(LOG_PREFIX_MAX + 1, 'q');
  EXPECT_EQ(c.Open("", "", "L", p204.c_str(), 0), 0);
  EXPECT_EQ(c.Prefix(), p204);
  os_SetLastError(OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(c.Open("", "", "L", p205.c_str(), 0), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(c.Prefix(), p204);
  EXPECT_EQ(c.CreateRun(nullptr, 0, nullptr, &h, nullptr, 0, nullptr, nullptr, nullptr), nullptr);
}

}  // namespace
