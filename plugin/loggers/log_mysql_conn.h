// The keys of a "PROVIDER=MYSQL;..." connection string and the connection
// they describe, shared by the MySQL store and collection.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct LmyKeys {
  char host[257];
  char user[101];
  char db[101];
  uint32_t port;
  char password[101];  // decoded
};

// Client time-outs (connect, read, write), as the ADO layer's.
constexpr unsigned LMY_TIMEOUT_S = 300;
// Sets the time-outs of later connections (0: LMY_TIMEOUT_S), so that tests
// of a stalled server end in seconds.
void lmy_SetTimeout(unsigned seconds);
unsigned lmy_Timeout();

// Reads the keys. A key counts only at the start of a pair (after ';'), in
// any case; a key given twice, a value over its bound, an empty host or
// port, a port outside 1-65535 and a password that is not base64 are
// refused. 0, or -1 with the message in *message and the reason in *detail.
int lmy_ReadKeys(const char *connection, LmyKeys *keys, std::string *message, std::string *detail);

// Standard base64 without anything else in it ('=' only as the final
// padding); false for any other text. The decoded bytes go into out (at most
// size - 1, terminated); a zero byte is refused.
bool lmy_DecodePassword(const char *text, char *out, size_t size);

// The client library's connection, statement runs over it.
struct st_mysql;
struct st_mysql_time;
struct TmCalendar;

// A DATETIME value of a second value's calendar, unshifted.
void lmy_DateTime(int32_t seconds, st_mysql_time *out);

// mysql_init, the time-outs, mysql_real_connect (no socket, no flags); the
// connection's socket is not inherited by programs started later. Null
// with the message ("CAN'T OPEN DATABASE", "CAN'T CONNECT TO DATABASE"), the
// library's text and error number.
st_mysql *lmy_Connect(const LmyKeys &keys, std::string *message, std::string *detail, unsigned *error);
// `text` escaped for a '...' literal as this connection's server reads it.
std::string lmy_Escape(st_mysql *db, const std::string &text);
// Whether a client error number means the link to the server is gone.
bool lmy_LinkLost(unsigned error);
// A statement through mysql_query, its result (if any) dropped: 0, or the
// error number with the library's text in *detail.
unsigned lmy_Exec(st_mysql *db, const std::string &sql, std::string *detail);

// A statement parameter.
struct LmyParam {
  enum Kind : uint8_t { NUL, INT, FLOAT, TEXT, TIME } kind;
  int32_t i;
  float f;
  std::string text;
  int32_t seconds;  // TIME: stored as its calendar, unshifted
};
LmyParam lmy_Int(int32_t v);
LmyParam lmy_Float(float v);
LmyParam lmy_Text(const std::string &v);
LmyParam lmy_Time(int32_t seconds);
LmyParam lmy_Null();

// A value of a result row.
struct LmyValue {
  bool null;
  bool number;  // num holds it
  bool time;    // seconds holds it
  double num;
  int32_t seconds;
  std::string text;
};
using LmyRow = std::vector<LmyValue>;

// What a prepared statement's run reports.
struct LmyOutcome {
  std::string message, detail;
  unsigned error = 0;
};

// One prepared statement: init, prepare (`prepareMessage`), bind, execute
// (`executeMessage`), and for a SELECT bind results, store and fetch every
// row into *rows. `textCap` bounds each text value in bytes (0: the column's
// own width); a longer one fails ("CAN'T GET DATA"), as does a value that
// does not fit its buffer. 0, or -1 with *out set.
int lmy_Run(st_mysql *db, const std::string &sql, const std::vector<LmyParam> &params, const char *prepareMessage,
            const char *executeMessage, std::vector<LmyRow> *rows, size_t textCap, LmyOutcome *out);
