#include "plugin/loggers/log_mysql_conn.h"

#include <mysql.h>
#include <errmsg.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framework/time/tm_time.h"
#include "platform/os_codepage.h"
#include "platform/os_handle.h"
#include "plugin/dbstores/db_utils.h"
#include "plugin/loggers/log_db_schema.h"

namespace {

// Where `key` starts a pair: at the start or after a ';' and blanks. Null
// when absent; *twice set when it starts another pair too.
const char *FindKey(const char *s, const char *key, bool *twice) {
  const size_t n = strlen(key);
  const char *found = nullptr;
  *twice = false;
  bool atStart = true;
  for (const char *p = s; *p; ++p) {
    if (atStart && *p != ' ' && os_CompareNoCaseN(p, key, n) == 0) {
      if (found) {
        *twice = true;
        return found;
      }
      found = p + n;
    }
    if (*p == ';') atStart = true;
    else if (*p != ' ') atStart = false;
  }
  return found;
}

// 1 taken, 0 absent, -1 refused (message set).
int TakeValue(const char *cs, const char *key, char *out, size_t bound, std::string *detail) {
  bool twice = false;
  const char *v = FindKey(cs, key, &twice);
  out[0] = 0;
  if (!v) return 0;
  if (twice) return *detail = std::string(key) + " given twice", -1;
  const char *end = strchr(v, ';');
  size_t len = end ? static_cast<size_t>(end - v) : strlen(v);
  if (len > bound) return *detail = std::string(key) + " longer than " + std::to_string(bound) + " characters", -1;
  memcpy(out, v, len);
  out[len] = 0;
  return 1;
}

bool IsBase64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

bool lmy_DecodePassword(const char *text, char *out, size_t size) {
  if (!text || !out || size == 0) return false;
  size_t n = strlen(text), body = n;
  while (body > 0 && text[body - 1] == '=') --body;
  if (n - body > 2 || (n != body && n % 4 != 0) || body % 4 == 1) return false;
  for (size_t i = 0; i < body; ++i)
    if (!IsBase64(text[i])) return false;
  // The longest text has 100 characters: 75 bytes.
  uint8_t bytes[80];
  if (body / 4 * 3 + 2 > sizeof bytes) return false;
  size_t got = db_Base64Decode(text, bytes, sizeof bytes);
  if (got + 1 > size || memchr(bytes, 0, got)) return false;
  memcpy(out, bytes, got);
  out[got] = 0;
  return true;
}

int lmy_ReadKeys(const char *connection, LmyKeys *k, std::string *message, std::string *detail) {
  *k = LmyKeys{};
  message->clear();
  detail->clear();
  const char *cs = connection ? connection : "";
  char port[11], password[101];
  int host = TakeValue(cs, "HOST=", k->host, 256, detail);
  int user = host < 0 ? -1 : TakeValue(cs, "USER=", k->user, 100, detail);
  int db = user < 0 ? -1 : TakeValue(cs, "DB=", k->db, 100, detail);
  int hasPort = db < 0 ? -1 : TakeValue(cs, "PORT=", port, 10, detail);
  int hasPassword = hasPort < 0 ? -1 : TakeValue(cs, "PASSWORD=", password, 100, detail);
  if (hasPassword < 0) return *message = "CAN'T CONNECT TO DATABASE", -1;
  if (user == 0 || !k->user[0]) return *message = "NO USER IN CONNECTION STRING", -1;
  if (db == 0 || !k->db[0]) return *message = "NO DB IN CONNECTION STRING", -1;
  if (host == 0) snprintf(k->host, sizeof k->host, "localhost");
  else if (!k->host[0]) return *message = "CAN'T CONNECT TO DATABASE", *detail = "HOST= is empty", -1;
  if (hasPort == 1) {
    char *end = nullptr;
    long v = port[0] >= '0' && port[0] <= '9' ? strtol(port, &end, 10) : -1;
    if (v < 1 || v > 65535 || !end || *end)
      return *message = "CAN'T CONNECT TO DATABASE", *detail = "PORT= is not a port number", -1;
    k->port = static_cast<uint32_t>(v);
  }
  if (hasPassword == 1 && !lmy_DecodePassword(password, k->password, sizeof k->password))
    return *message = "CAN'T CONNECT TO DATABASE", *detail = "PASSWORD= is not base64", -1;
  return 0;
}

namespace {
std::atomic<unsigned> g_timeout{LMY_TIMEOUT_S};
}

void lmy_SetTimeout(unsigned seconds) { g_timeout = seconds ? seconds : LMY_TIMEOUT_S; }
unsigned lmy_Timeout() { return g_timeout; }

st_mysql *lmy_Connect(const LmyKeys &k, std::string *message, std::string *detail, unsigned *error) {
  MYSQL *db = mysql_init(nullptr);
  *error = 0;
  if (!db) return *message = "CAN'T OPEN DATABASE", *detail = "mysql_init() failed", nullptr;
  const unsigned timeout = g_timeout;
  mysql_options(db, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(db, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(db, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  if (!mysql_real_connect(db, k.host, k.user, k.password, k.db, k.port, nullptr, 0)) {
    *message = "CAN'T CONNECT TO DATABASE";
    *detail = mysql_error(db);
    *error = mysql_errno(db);
    mysql_close(db);
    return nullptr;
  }
  // The library's socket would stay open in every program the plug-in starts,
  // keeping the server's end of the link alive after the store lets go of it.
  // A descriptor the library just connected cannot fail to take the flag.
  (void)os_SetSocketNotInheritable(static_cast<int>(mysql_get_socket(db)));
  return db;
}

std::string lmy_Escape(st_mysql *db, const std::string &text) {
  if (!db) return "";  // no statement goes out without a connection
  std::string out(text.size() * 2 + 1, '\0');
  unsigned long n = mysql_real_escape_string(db, out.data(), text.c_str(), static_cast<unsigned long>(text.size()));
  out.resize(n == static_cast<unsigned long>(-1) ? 0 : n);
  return out;
}

bool lmy_LinkLost(unsigned error) {
  return error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST || error == CR_SERVER_LOST_EXTENDED ||
         error == CR_CONNECTION_ERROR || error == CR_CONN_HOST_ERROR;
}

unsigned lmy_Exec(st_mysql *db, const std::string &sql, std::string *detail) {
  if (!db) return *detail = "not connected", CR_SERVER_GONE_ERROR;
  if (mysql_query(db, sql.c_str()) == 0) {
    // A statement with a result must not block the next one.
    if (MYSQL_RES *r = mysql_store_result(db)) mysql_free_result(r);
    return 0;
  }
  *detail = mysql_error(db);
  unsigned e = mysql_errno(db);
  return e ? e : CR_UNKNOWN_ERROR;
}

LmyParam lmy_Int(int32_t v) { return LmyParam{LmyParam::INT, v, 0, {}, 0}; }
LmyParam lmy_Float(float v) { return LmyParam{LmyParam::FLOAT, 0, v, {}, 0}; }
LmyParam lmy_Text(const std::string &v) { return LmyParam{LmyParam::TEXT, 0, 0, v, 0}; }
LmyParam lmy_Time(int32_t seconds) { return LmyParam{LmyParam::TIME, 0, 0, {}, seconds}; }
LmyParam lmy_Null() { return LmyParam{LmyParam::NUL, 0, 0, {}, 0}; }

namespace {

struct StmtCloser {
  void operator()(MYSQL_STMT *s) const { mysql_stmt_close(s); }
};
using Stmt = std::unique_ptr<MYSQL_STMT, StmtCloser>;

int StmtFail(MYSQL_STMT *s, const char *message, LmyOutcome *out) {
  out->message = message;
  out->detail = mysql_stmt_error(s);
  out->error = mysql_stmt_errno(s);
  return -1;
}

bool IsTimeType(enum_field_types t) {
  return t == MYSQL_TYPE_DATETIME || t == MYSQL_TYPE_DATE || t == MYSQL_TYPE_TIMESTAMP || t == MYSQL_TYPE_NEWDATE ||
         t == MYSQL_TYPE_DATETIME2 || t == MYSQL_TYPE_TIMESTAMP2;
}

bool IsNumberType(enum_field_types t) {
  return t == MYSQL_TYPE_TINY || t == MYSQL_TYPE_SHORT || t == MYSQL_TYPE_LONG || t == MYSQL_TYPE_FLOAT ||
         t == MYSQL_TYPE_DOUBLE || t == MYSQL_TYPE_LONGLONG || t == MYSQL_TYPE_INT24 || t == MYSQL_TYPE_DECIMAL ||
         t == MYSQL_TYPE_NEWDECIMAL || t == MYSQL_TYPE_YEAR || t == MYSQL_TYPE_BIT;
}

}  // namespace

void lmy_DateTime(int32_t seconds, MYSQL_TIME *out) {
  TmCalendar c;
  ldb_WallCalendar(seconds, &c);
  memset(out, 0, sizeof *out);
  out->year = c.year;
  out->month = c.month;
  out->day = c.day;
  out->hour = c.hour;
  out->minute = c.minute;
  out->second = c.second;
  out->time_type = MYSQL_TIMESTAMP_DATETIME;
}

int lmy_Run(st_mysql *db, const std::string &sql, const std::vector<LmyParam> &params, const char *prepareMessage,
            const char *executeMessage, std::vector<LmyRow> *rows, size_t textCap, LmyOutcome *out) {
  *out = LmyOutcome{};
  if (rows) rows->clear();
  if (!db) return out->message = "CAN'T CONNECT TO DATABASE", out->error = CR_SERVER_GONE_ERROR, -1;
  Stmt s(mysql_stmt_init(db));
  if (!s) return out->message = "mysql_stmt_init(), out of memory", -1;
  if (mysql_stmt_prepare(s.get(), sql.c_str(), static_cast<unsigned long>(sql.size())) != 0)
    return StmtFail(s.get(), prepareMessage, out);
  std::vector<MYSQL_BIND> binds(params.size());
  std::vector<MYSQL_TIME> times(params.size());
  std::vector<unsigned long> lengths(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    MYSQL_BIND &b = binds[i];
    memset(&b, 0, sizeof b);
    const LmyParam &p = params[i];
    switch (p.kind) {
      case LmyParam::NUL: b.buffer_type = MYSQL_TYPE_NULL; break;
      case LmyParam::INT: b.buffer_type = MYSQL_TYPE_LONG; b.buffer = const_cast<int32_t *>(&p.i); break;
      case LmyParam::FLOAT: b.buffer_type = MYSQL_TYPE_FLOAT; b.buffer = const_cast<float *>(&p.f); break;
      case LmyParam::TEXT:
        b.buffer_type = MYSQL_TYPE_STRING;
        b.buffer = const_cast<char *>(p.text.data());
        lengths[i] = static_cast<unsigned long>(p.text.size());
        b.buffer_length = lengths[i];
        b.length = &lengths[i];
        break;
      case LmyParam::TIME:
        lmy_DateTime(p.seconds, &times[i]);
        b.buffer_type = MYSQL_TYPE_DATETIME;
        b.buffer = &times[i];
        break;
    }
  }
  if (!binds.empty() && mysql_stmt_bind_param(s.get(), binds.data()) != 0)
    return StmtFail(s.get(), "mysql_stmt_bind_param() failed", out);
  if (mysql_stmt_execute(s.get()) != 0) return StmtFail(s.get(), executeMessage, out);
  if (rows) {
    MYSQL_RES *meta = mysql_stmt_result_metadata(s.get());
    if (!meta) return StmtFail(s.get(), "mysql_stmt_bind_result() failed", out);
    unsigned n = mysql_num_fields(meta);
    MYSQL_FIELD *fields = mysql_fetch_fields(meta);
    std::vector<MYSQL_BIND> res(n);
    std::vector<MYSQL_TIME> rt(n);
    std::vector<double> num(n);
    std::vector<std::string> text(n);
    std::vector<unsigned long> len(n);
    std::vector<my_bool> isNull(n), trunc(n);
    for (unsigned i = 0; i < n; ++i) {
      MYSQL_BIND &b = res[i];
      memset(&b, 0, sizeof b);
      b.is_null = &isNull[i];
      b.error = &trunc[i];
      b.length = &len[i];
      if (IsTimeType(fields[i].type)) {
        b.buffer_type = MYSQL_TYPE_DATETIME;
        b.buffer = &rt[i];
      } else if (IsNumberType(fields[i].type)) {
        b.buffer_type = MYSQL_TYPE_DOUBLE;
        b.buffer = &num[i];
      } else {
        size_t cap = textCap ? textCap : (fields[i].length < 4096 ? fields[i].length + 1 : 4096);
        text[i].assign(cap, '\0');
        b.buffer_type = MYSQL_TYPE_STRING;
        b.buffer = text[i].data();
        b.buffer_length = static_cast<unsigned long>(cap);
      }
    }
    mysql_free_result(meta);
    if (mysql_stmt_bind_result(s.get(), res.data()) != 0) return StmtFail(s.get(), "mysql_stmt_bind_result() failed", out);
    if (mysql_stmt_store_result(s.get()) != 0) return StmtFail(s.get(), "mysql_stmt_store_result() failed", out);
    for (;;) {
      int rc = mysql_stmt_fetch(s.get());
      if (rc == MYSQL_NO_DATA) break;
      if (rc == 1) return StmtFail(s.get(), "CAN'T GET DATA", out);
      LmyRow row(n);
      for (unsigned i = 0; i < n; ++i) {
        LmyValue &v = row[i];
        v = LmyValue{};
        v.null = isNull[i] != 0;
        if (v.null) continue;
        // A value cut to its buffer is refused, never kept short.
        if (rc == MYSQL_DATA_TRUNCATED && trunc[i])
          return out->message = "CAN'T GET DATA",
                 out->detail = std::string("value of ") + fields[i].name + " longer than its buffer", -1;
        if (res[i].buffer_type == MYSQL_TYPE_DATETIME) {
          TmCalendar c{};
          c.year = static_cast<uint16_t>(rt[i].year);
          c.month = static_cast<uint16_t>(rt[i].month);
          c.day = static_cast<uint16_t>(rt[i].day);
          c.hour = static_cast<uint16_t>(rt[i].hour);
          c.minute = static_cast<uint16_t>(rt[i].minute);
          c.second = static_cast<uint16_t>(rt[i].second);
          v.time = rt[i].month >= 1 && rt[i].month <= 12 && rt[i].day >= 1 && ldb_WallSeconds(&c, &v.seconds);
        } else if (res[i].buffer_type == MYSQL_TYPE_DOUBLE) {
          v.number = true;
          v.num = num[i];
        } else {
          v.text.assign(text[i].data(), len[i] < text[i].size() ? len[i] : text[i].size());
          char *end = nullptr;
          double d = v.text.empty() ? 0 : strtod(v.text.c_str(), &end);
          if (end && *end == 0 && std::isfinite(d)) {
            v.number = true;
            v.num = d;
          }
        }
      }
      rows->push_back(std::move(row));
    }
  }
  MYSQL_STMT *raw = s.release();
  if (mysql_stmt_close(raw) != 0) return out->message = "failed while closing the statement", out->detail = mysql_error(db), -1;
  return 0;
}
