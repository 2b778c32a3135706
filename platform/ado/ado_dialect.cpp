// The statement translator: Jet and SQL Server statements into SQLite ones.
//
// A statement is split into tokens; a table of statement forms picks the
// handler by its leading keywords, and a table of literal forms rewrites
// date literals per profile. Anything outside these tables is refused as a
// whole: no statement goes on half-translated.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <algorithm>
#include <mutex>

#include "platform/ado/ado.h"
#include "platform/os_env.h"

namespace ado {

// ---- refusals (test hook) ---------------------------------------------------
static std::mutex g_refuseLock;
static uint32_t g_refuse[3];
static bool g_refuseRead;

static uint32_t FeatureBit(const std::string &w) {
  static const struct { const char *name; uint32_t bit; } kNames[] = {
      {"top", REFUSE_TOP}, {"ts0", REFUSE_TS0}, {"datetime", REFUSE_DATETIME},
      {"varchar", REFUSE_VARCHAR}, {"index", REFUSE_CREATE_INDEX}, {"addate", REFUSE_ADDATE},
      {"drop", REFUSE_DROP}};
  for (const auto &n : kNames)
    if (strcasecmp(n.name, w.c_str()) == 0) return n.bit;
  return 0;
}

static void ReadRefusalsLocked() {
  if (g_refuseRead) return;
  g_refuseRead = true;
  const char *env = getenv("ADO_REFUSE");
  if (!env) return;
  std::string s = env;
  size_t i = 0;
  while (i < s.size()) {
    size_t semi = s.find(';', i);
    if (semi == std::string::npos) semi = s.size();
    std::string part = s.substr(i, semi - i);
    size_t colon = part.find(':');
    if (colon != std::string::npos) {
      std::string prof = part.substr(0, colon);
      int p = strcasecmp(prof.c_str(), "jet") == 0 ? PROFILE_JET
              : strcasecmp(prof.c_str(), "sqlserver") == 0 ? PROFILE_SQLSERVER : 0;
      size_t j = colon + 1;
      while (p && j <= part.size()) {
        size_t comma = part.find(',', j);
        if (comma == std::string::npos) comma = part.size();
        g_refuse[p] |= FeatureBit(part.substr(j, comma - j));
        j = comma + 1;
      }
    }
    i = semi + 1;
  }
}

void ado_SetRefusals(Profile p, uint32_t mask) {
  std::lock_guard<std::mutex> g(g_refuseLock);
  ReadRefusalsLocked();
  if (p == PROFILE_JET || p == PROFILE_SQLSERVER) g_refuse[p] = mask;
}

uint32_t ado_Refusals(Profile p) {
  std::lock_guard<std::mutex> g(g_refuseLock);
  ReadRefusalsLocked();
  return (p == PROFILE_JET || p == PROFILE_SQLSERVER) ? g_refuse[p] : 0;
}

// ---- tokens -----------------------------------------------------------------
enum TokKind { T_WORD, T_QUOTED, T_NUMBER, T_STRING, T_PUNCT, T_TS, T_JETDATE, T_PARAM };

struct Token {
  TokKind kind;
  size_t start, end;  // span in the input
  std::string text;   // word, quoted name, string body, date text
};

static bool IsWordChar(unsigned char c) { return isalnum(c) || c == '_' || c >= 0x80; }

static bool Fail(std::string *why, const std::string &text) {
  if (why) *why = text;
  return false;
}

static bool Tokenize(const std::string &s, std::vector<Token> *out, std::string *why) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = (unsigned char)s[i];
    if (isspace(c)) { ++i; continue; }
    Token t{T_PUNCT, i, i, ""};
    if ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'') {
      ++i;  // N'...' is an ordinary text here
      c = '\'';
    }
    if (c == '\'') {
      size_t j = i + 1;
      std::string body;
      for (;;) {
        if (j >= n) return Fail(why, "Unterminated text literal");
        if (s[j] == '\'') {
          if (j + 1 < n && s[j + 1] == '\'') { body += '\''; j += 2; continue; }
          break;
        }
        body += s[j++];
      }
      t.kind = T_STRING; t.text = body; t.end = j + 1; i = j + 1;
    } else if (IsWordChar(c) && !isdigit(c)) {
      size_t j = i;
      while (j < n && IsWordChar((unsigned char)s[j])) ++j;
      t.kind = T_WORD; t.text = s.substr(i, j - i); t.end = j; i = j;
    } else if (c == '0' && i + 2 < n && (s[i + 1] == 'x' || s[i + 1] == 'X') && isxdigit((unsigned char)s[i + 2])) {
      // A binary literal (0x0A0B), as procedure arguments carry job ids.
      size_t j = i + 2;
      while (j < n && isxdigit((unsigned char)s[j])) ++j;
      if (j < n && IsWordChar((unsigned char)s[j])) return Fail(why, "Malformed number");
      t.kind = T_NUMBER; t.text = s.substr(i, j - i); t.end = j; i = j;
    } else if (isdigit(c) || (c == '.' && i + 1 < n && isdigit((unsigned char)s[i + 1]))) {
      size_t j = i;
      while (j < n && (isdigit((unsigned char)s[j]) || s[j] == '.')) ++j;
      if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        size_t k = j + 1;
        if (k < n && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < n && isdigit((unsigned char)s[k])) { j = k; while (j < n && isdigit((unsigned char)s[j])) ++j; }
      }
      if (j < n && IsWordChar((unsigned char)s[j])) return Fail(why, "Malformed number");
      t.kind = T_NUMBER; t.text = s.substr(i, j - i); t.end = j; i = j;
    } else if (c == '[' || c == '"') {
      // A doubled closing character stands for itself.
      char close = c == '[' ? ']' : '"';
      size_t j = i + 1;
      std::string body;
      for (;;) {
        if (j >= n) return Fail(why, "Malformed name");
        if (s[j] == close) {
          if (j + 1 < n && s[j + 1] == close) { body += close; j += 2; continue; }
          break;
        }
        body += s[j++];
      }
      if (body.empty()) return Fail(why, "Malformed name");
      for (unsigned char ch : body)
        if (ch < 0x20 || ch == '[' || ch == '"' || (close == '"' && ch == ']')) return Fail(why, "Malformed name");
      t.kind = T_QUOTED; t.text = body; t.end = j + 1; i = j + 1;
    } else if (c == '{') {
      // { ts 'text' }
      size_t j = i + 1;
      while (j < n && isspace((unsigned char)s[j])) ++j;
      if (j + 2 > n || strncasecmp(s.c_str() + j, "ts", 2) != 0) return Fail(why, "Unknown escape");
      j += 2;
      while (j < n && isspace((unsigned char)s[j])) ++j;
      if (j >= n || s[j] != '\'') return Fail(why, "Unknown escape");
      size_t q = s.find('\'', j + 1);
      if (q == std::string::npos) return Fail(why, "Unterminated escape");
      t.text = s.substr(j + 1, q - j - 1);
      j = q + 1;
      while (j < n && isspace((unsigned char)s[j])) ++j;
      if (j >= n || s[j] != '}') return Fail(why, "Unterminated escape");
      t.kind = T_TS; t.end = j + 1; i = j + 1;
    } else if (c == '#') {
      size_t j = s.find('#', i + 1);
      if (j == std::string::npos) return Fail(why, "Unterminated date literal");
      t.kind = T_JETDATE; t.text = s.substr(i + 1, j - i - 1); t.end = j + 1; i = j + 1;
    } else if (c == '?' ) {
      t.kind = T_PARAM; t.text = "?"; t.end = i + 1; ++i;
    } else if ((c == '@' || c == ':') && i + 1 < n && IsWordChar((unsigned char)s[i + 1])) {
      size_t j = i + 1;
      while (j < n && IsWordChar((unsigned char)s[j])) ++j;
      t.kind = T_PARAM; t.text = s.substr(i, j - i); t.end = j; i = j;
    } else if (strchr("(),;=<>*.+-/%", c)) {
      size_t len = 1;
      if (i + 1 < n && ((c == '<' && (s[i + 1] == '=' || s[i + 1] == '>')) || (c == '>' && s[i + 1] == '=')))
        len = 2;
      t.kind = T_PUNCT; t.text = s.substr(i, len); t.end = i + len; i += len;
    } else {
      return Fail(why, std::string("Unexpected character '") + (char)c + "'");
    }
    out->push_back(std::move(t));
  }
  return true;
}

static bool Is(const std::vector<Token> &t, size_t i, const char *word) {
  return i < t.size() && t[i].kind == T_WORD && strcasecmp(t[i].text.c_str(), word) == 0;
}
static bool IsP(const std::vector<Token> &t, size_t i, const char *p) {
  return i < t.size() && t[i].kind == T_PUNCT && t[i].text == p;
}
static bool IsName(const std::vector<Token> &t, size_t i) {
  return i < t.size() && (t[i].kind == T_WORD || t[i].kind == T_QUOTED);
}
static bool IsReserved(const std::string &name) {
  return (!name.empty() && name[0] == '!') || strncasecmp(name.c_str(), "sqlite_", 7) == 0;
}
std::string ado_StoredName(const std::string &name) { return IsReserved(name) ? "!" + name : name; }
std::string ado_ShownName(const std::string &stored) {
  return stored.size() > 1 && stored[0] == '!' && IsReserved(stored.substr(1)) ? stored.substr(1) : stored;
}

static std::string Quote(const std::string &name) {
  std::string out = "\"";
  for (char ch : ado_StoredName(name)) { if (ch == '"') out += '"'; out += ch; }
  return out + "\"";
}
// A name as SQLite gets it: plain words stay, bracketed and reserved ones are
// quoted.
static std::string NameOut(const Token &t) {
  return t.kind == T_QUOTED || IsReserved(t.text) ? Quote(t.text) : t.text;
}

// ---- literal forms ----------------------------------------------------------
struct Ctx {
  Profile p;
  uint32_t refuse;
  std::string *why;
  Translation *tr;
  const ConnInfo *on;
};

std::string ado_DatabaseAlias(const std::string &path) {
  // FNV-1a of the path as Windows compares it: case does not count.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char ch : path) {
    h ^= (uint64_t)tolower(ch == '/' ? '\\' : ch);
    h *= 1099511628211ull;
  }
  char buf[24];
  snprintf(buf, sizeof buf, "in_%016llx", (unsigned long long)h);
  return buf;
}

// "FROM name IN 'file'" (or INTO, JOIN) at t[i]: the name in the attached file.
static bool IsNameInFile(const std::vector<Token> &t, size_t i, size_t to) {
  return i > 0 && (Is(t, i - 1, "FROM") || Is(t, i - 1, "INTO") || Is(t, i - 1, "JOIN")) && i + 2 < to &&
         (t[i].kind == T_WORD || t[i].kind == T_QUOTED) && Is(t, i + 1, "IN") &&
         (t[i + 2].kind == T_STRING || t[i + 2].kind == T_QUOTED);
}

static bool NameInFile(const Ctx &c, const Token &name, const Token &file, std::string *out) {
  if (c.p != PROFILE_JET) return Fail(c.why, "Statement form not supported: IN 'database'");
  if (file.text.empty()) return Fail(c.why, "Could not find file ''.");
  auto &dbs = c.tr->databases;
  if (std::find(dbs.begin(), dbs.end(), file.text) == dbs.end()) dbs.push_back(file.text);
  *out += Quote(ado_DatabaseAlias(file.text)) + "." + NameOut(name);
  return true;
}

// Another catalog of the server (db.dbo.T) or a file named by a connection
// string: attached under an alias, unless it is the connection's own file.
static bool NameInCatalog(const Ctx &c, const std::string &entry, const std::string &path, const Token &name,
                          std::string *out) {
  if (c.on && !c.on->path.empty() && path == c.on->path) {
    *out += NameOut(name);
    return true;
  }
  auto &dbs = c.tr->databases;
  if (std::find(dbs.begin(), dbs.end(), entry) == dbs.end()) dbs.push_back(entry);
  *out += Quote(ado_DatabaseAlias(entry)) + "." + NameOut(name);
  return true;
}

// db.dbo.T at t[i]: 5 tokens.
static bool IsThreePart(const std::vector<Token> &t, size_t i, size_t to) {
  return i + 4 < to && IsName(t, i) && IsP(t, i + 1, ".") && Is(t, i + 2, "dbo") && IsP(t, i + 3, ".") &&
         IsName(t, i + 4) && t[i + 1].start == t[i].end && t[i + 3].start == t[i + 2].end;
}

// OPENROWSET ('provider', 'connection string', db.dbo.T or T) at t[i]: how
// many tokens it takes, 0 when it is none.
static size_t RowsetLen(const std::vector<Token> &t, size_t i, size_t to) {
  if (!(i + 7 < to && Is(t, i, "OPENROWSET") && IsP(t, i + 1, "(") && t[i + 2].kind == T_STRING &&
        IsP(t, i + 3, ",") && t[i + 4].kind == T_STRING && IsP(t, i + 5, ",")))
    return 0;
  if (IsThreePart(t, i + 6, to)) return IsP(t, i + 11, ")") ? 12 : 0;
  return IsName(t, i + 6) && IsP(t, i + 7, ")") ? 8 : 0;
}
static bool IsRowset(const std::vector<Token> &t, size_t i, size_t to) { return RowsetLen(t, i, to) != 0; }

// A table reference of another database at t[i]: how many tokens it takes
// (0 when it is none) and its SQLite form in *out.
static size_t OtherDatabase(const Ctx &c, const std::vector<Token> &t, size_t i, size_t to, std::string *out,
                            bool *ok) {
  *ok = true;
  if (c.p != PROFILE_SQLSERVER) return 0;
  if (IsRowset(t, i, to)) {
    ConnInfo ci;
    std::string why;
    if (ado_ParseConnStr(t[i + 4].text, &ci, &why) < 0) {
      *ok = Fail(c.why, "OPENROWSET: " + why);
      return 0;
    }
    const size_t len = RowsetLen(t, i, to);
    *ok = NameInCatalog(c, "\x01" + t[i + 4].text, ci.path, t[i + len - 2], out);
    return len;
  }
  if (IsThreePart(t, i, to) && !(i > 0 && IsP(t, i - 1, "."))) {
    const std::string server = c.on ? c.on->dataSource : ".";
    const std::string cs = "Provider=SQLOLEDB;Data Source=" + server + ";Initial Catalog=" + t[i].text;
    ConnInfo ci;
    std::string why;
    if (ado_ParseConnStr(cs, &ci, &why) < 0) {
      *ok = Fail(c.why, why);
      return 0;
    }
    *ok = NameInCatalog(c, "\x01" + cs, ci.path, t[i + 4], out);
    return 5;
  }
  return 0;
}

struct LiteralForm {
  TokKind kind;
  int profiles;       // bit per profile
  char separator;     // '-' or '/' in { ts }, 0 for #...#
  uint32_t refuseBit;
  const char *name;
};

static const LiteralForm kLiterals[] = {
    {T_TS, 1 << PROFILE_SQLSERVER, '-', REFUSE_TS0, "{ ts 'Y-M-D' }"},
    {T_TS, 1 << PROFILE_SQLSERVER, '/', 0, "{ ts 'Y/M/D' }"},
    {T_JETDATE, 1 << PROFILE_JET, 0, 0, "#M/D/Y#"},
};

static bool RewriteLiteral(const Ctx &c, const Token &t, std::string *out) {
  char sep = 0;
  if (t.kind == T_TS) sep = t.text.find('/') != std::string::npos ? '/' : '-';
  for (const auto &f : kLiterals) {
    if (f.kind != t.kind || f.separator != sep) continue;
    if (!(f.profiles & (1 << c.p)) || (c.refuse & f.refuseBit))
      return Fail(c.why, std::string("Syntax error in date literal ") + f.name);
    double d;
    bool ok = date_FromText(t.text.c_str(), &d);
    // The Jet form is month first; the escape forms are year first.
    if (ok && t.kind == T_JETDATE && t.text.find('/') == std::string::npos) ok = false;
    if (ok && t.kind == T_TS && (t.text.size() < 4 || !isdigit((unsigned char)t.text[3]))) ok = false;
    if (!ok) return Fail(c.why, "Syntax error in date literal '" + t.text + "'");
    *out = "'" + date_ToText(d) + "'";
    return true;
  }
  return Fail(c.why, "Syntax error in date literal");
}

// Copies tokens [from, to) with their original spacing, rewriting literals,
// names and refusing what SQLite would read differently.
static bool Emit(const Ctx &c, const std::string &in, const std::vector<Token> &t, size_t from, size_t to,
                 std::string *out) {
  for (size_t i = from; i < to; ++i) {
    if (i > from) out->append(in, t[i - 1].end, t[i].start - t[i - 1].end);
    const Token &k = t[i];
    bool ok;
    if (size_t used = OtherDatabase(c, t, i, to, out, &ok); used || !ok) {
      if (!ok) return false;
      i += used - 1;
      continue;
    }
    if (IsNameInFile(t, i, to)) {
      if (!NameInFile(c, k, t[i + 2], out)) return false;
      i += 2;
      if (i + 1 < to && t[i + 1].start == t[i].end && (t[i + 1].kind == T_WORD || t[i + 1].kind == T_NUMBER))
        *out += ' ';  // "IN "x"WHERE"
      continue;
    }
    switch (k.kind) {
      case T_TS:
      case T_JETDATE: {
        std::string lit;
        if (!RewriteLiteral(c, k, &lit)) return false;
        *out += lit;
        break;
      }
      case T_QUOTED: *out += Quote(k.text); break;
      case T_STRING: {
        *out += '\'';
        for (char ch : k.text) { if (ch == '\'') *out += '\''; *out += ch; }
        *out += '\'';
        break;
      }
      case T_WORD: {
        static const char *kUnknown[] = {"INTO", "OPENROWSET", "IDENTITY_INSERT", "TOP", "GO", "PIVOT",
                                         "TRANSFORM", "EXEC", "EXECUTE", "LIMIT", "ATTACH", "PRAGMA"};
        for (const char *w : kUnknown)
          if (strcasecmp(k.text.c_str(), w) == 0) return Fail(c.why, "Statement form not supported near '" + k.text + "'");
        // "IN 'file'" anywhere but after a table name.
        if (strcasecmp(k.text.c_str(), "IN") == 0 && i + 1 < to && (t[i + 1].kind == T_STRING || t[i + 1].kind == T_QUOTED))
          return Fail(c.why, "Statement form not supported: IN 'database' here");
        *out += NameOut(k);
        break;
      }
      default: *out += in.substr(k.start, k.end - k.start); break;
    }
  }
  return true;
}

// ---- statement forms --------------------------------------------------------
using Handler = bool (*)(const Ctx &, const std::string &, const std::vector<Token> &, Translation *);

static size_t EndOf(const std::vector<Token> &t) {
  size_t n = t.size();
  while (n && IsP(t, n - 1, ";")) --n;
  return n;
}

// How many tokens the table reference at t[i] takes.
static size_t RefLen(const std::vector<Token> &t, size_t i, size_t n) {
  if (size_t r = RowsetLen(t, i, n)) return r;
  if (IsThreePart(t, i, n)) return 5;
  if (i > 0 && IsNameInFile(t, i, n)) return 3;
  return 1;
}

static bool DoSelect(const Ctx &c, const std::string &in, const std::vector<Token> &t, Translation *tr) {
  size_t n = EndOf(t);
  size_t i = 1;
  std::string out = "SELECT";
  bool distinct = false;
  if (Is(t, i, "DISTINCT")) { distinct = true; out += " DISTINCT"; ++i; }
  std::string limit;
  if (Is(t, i, "TOP")) {
    if (c.refuse & REFUSE_TOP) return Fail(c.why, "Syntax error: TOP is not supported");
    if (i + 1 >= n || t[i + 1].kind != T_NUMBER || t[i + 1].text.find_first_not_of("0123456789") != std::string::npos ||
        t[i + 1].text.size() > 9)
      return Fail(c.why, "Syntax error after TOP");
    limit = t[i + 1].text;
    i += 2;
  }
  if (i >= n) return Fail(c.why, "Syntax error: no column list");
  // SELECT * INTO new [IN 'file'] FROM old [IN 'file'] ...: the new table
  // takes the old one's columns, then its rows.
  size_t into = 0;
  for (size_t k = i, depth = 0; k < n && !Is(t, k, "FROM"); ++k) {
    if (IsP(t, k, "(")) ++depth;
    else if (IsP(t, k, ")") && depth) --depth;
    else if (depth == 0 && Is(t, k, "INTO")) { into = k; break; }
  }
  if (into) {
    if (!IsP(t, i, "*") || into != i + 1) return Fail(c.why, "Statement form not supported: SELECT INTO with a column list");
    size_t f = into + 1 + RefLen(t, into + 1, n);
    size_t e = f + 1 + RefLen(t, f + 1, n);
    if (!IsName(t, into + 1) || !Is(t, f, "FROM") || !(IsName(t, f + 1) || IsRowset(t, f + 1, n)) ||
        !(e >= n || Is(t, e, "WHERE") || Is(t, e, "ORDER")))
      return Fail(c.why, "Syntax error in SELECT INTO statement");
    std::string to, from, rest;
    if (!Emit(c, in, t, into + 1, f, &to) || !Emit(c, in, t, f + 1, e, &from)) return false;
    if (e < n && !Emit(c, in, t, e, n, &rest)) return false;
    tr->sql = "INSERT INTO " + to + " SELECT " + (distinct ? "DISTINCT " : "") + "* FROM " + from +
              (rest.empty() ? "" : " " + rest) + (limit.empty() ? "" : " LIMIT " + limit);
    tr->copyTo = to;
    tr->copyFrom = from;
    return true;
  }
  out += " ";
  if (!Emit(c, in, t, i, n, &out)) return false;
  if (!limit.empty()) out += " LIMIT " + limit;
  // One plain table: rows can be changed through the rowid.
  size_t depth = 0, from = 0;
  bool plain = !distinct;
  for (size_t k = i; k < n; ++k) {
    if (IsP(t, k, "(")) { ++depth; if (k > 0 && t[k - 1].kind == T_WORD && from == 0) plain = false; }
    else if (IsP(t, k, ")")) { if (depth) --depth; }
    else if (depth == 0 && Is(t, k, "FROM") && !from) from = k;
    else if (Is(t, k, "GROUP") || Is(t, k, "UNION") || Is(t, k, "JOIN") || (from && depth == 0 && IsP(t, k, ",")))
      plain = false;
  }
  if (plain && from && IsName(t, from + 1) &&
      (from + 2 >= n || Is(t, from + 2, "WHERE") || Is(t, from + 2, "ORDER"))) {
    tr->table = ado_StoredName(t[from + 1].text);
    if (!Emit(c, in, t, i, from, &tr->columns)) return false;
  }
  tr->sql = out;
  tr->isSelect = true;
  return true;
}

static bool DoPlain(const Ctx &c, const std::string &in, const std::vector<Token> &t, Translation *tr) {
  std::string out;
  if (!Emit(c, in, t, 0, EndOf(t), &out)) return false;
  tr->sql = out;
  return true;
}

static bool DoInsert(const Ctx &c, const std::string &in, const std::vector<Token> &t, Translation *tr) {
  std::string out = "INSERT INTO ";
  size_t n = EndOf(t);
  // INSERT INTO T (columns) IN 'file' SELECT ...: T is in the file.
  if (IsName(t, 2) && IsP(t, 3, "(")) {
    size_t close = 4;
    while (close < n && !IsP(t, close, ")")) ++close;
    if (close + 2 < n && Is(t, close + 1, "IN") && (t[close + 2].kind == T_STRING || t[close + 2].kind == T_QUOTED)) {
      std::string cols, rest;
      if (!NameInFile(c, t[2], t[close + 2], &out) || !Emit(c, in, t, 3, close + 1, &cols) ||
          !Emit(c, in, t, close + 3, n, &rest))
        return false;
      tr->sql = out + " " + cols + " " + rest;
      return true;
    }
  }
  if (t.size() < 3 || !Emit(c, in, t, 2, EndOf(t), &out)) return c.why->empty() ? Fail(c.why, "Syntax error in INSERT INTO statement") : false;
  tr->sql = out;
  return true;
}

// Column types: (type word, takes a size, refusal bit, padded, SQLite text
// when it differs from the word).
struct TypeForm {
  const char *word;
  int sized;  // 0 none, 1 required, 2 optional
  uint32_t refuseBit;
  bool padded;
  const char *sqlite;
};
static const TypeForm kTypes[] = {
    {"datetime", 0, REFUSE_DATETIME, false, nullptr}, {"date", 0, 0, false, nullptr},
    {"char", 1, 0, true, nullptr},                    {"varchar", 1, REFUSE_VARCHAR, false, nullptr},
    {"text", 2, 0, false, nullptr},                   {"int", 0, 0, false, nullptr},
    {"integer", 0, 0, false, nullptr},                {"smallint", 0, 0, false, nullptr},
    {"real", 0, 0, false, nullptr},                   {"float", 0, 0, false, nullptr},
    {"double", 0, 0, false, nullptr},                 {"bit", 0, 0, false, nullptr},
    {"counter", 0, 0, false, "integer PRIMARY KEY AUTOINCREMENT"},
};

// One "name type[(n)] [NULL | NOT NULL]" at t[*i], up to a ',' or `end`.
static bool ColumnDef(const Ctx &c, const std::vector<Token> &t, size_t *pi, size_t end, std::string *col) {
  size_t i = *pi;
  const long maxChar = c.p == PROFILE_JET ? 255 : 8000;
  if (!IsName(t, i) || i + 1 >= end || t[i + 1].kind != T_WORD) return Fail(c.why, "Syntax error in field definition");
  const TypeForm *tf = nullptr;
  for (const auto &f : kTypes)
    if (strcasecmp(f.word, t[i + 1].text.c_str()) == 0) tf = &f;
  if (!tf || (c.refuse & tf->refuseBit))
    return Fail(c.why, "Syntax error in field definition: type '" + t[i + 1].text + "'");
  *col = NameOut(t[i]) + " " + (tf->sqlite ? tf->sqlite : t[i + 1].text);
  i += 2;
  if (IsP(t, i, "(")) {
    if (!tf->sized || i + 2 >= end || t[i + 1].kind != T_NUMBER || !IsP(t, i + 2, ")"))
      return Fail(c.why, "Syntax error in field definition: size");
    long size = strtol(t[i + 1].text.c_str(), nullptr, 10);
    if (t[i + 1].text.size() > 6 || size < 1 || size > maxChar)
      return Fail(c.why, "Size of field '" + t[i - 2].text + "' is too long.");
    *col += "(" + t[i + 1].text + ")";
    i += 3;
  } else if (tf->sized == 1) {
    return Fail(c.why, "Syntax error in field definition: size missing");
  }
  if (tf->padded) *col += " COLLATE RTRIM";
  if (Is(t, i, "NOT") && Is(t, i + 1, "NULL")) { *col += " NOT NULL"; i += 2; }
  else if (Is(t, i, "NULL")) { *col += " NULL"; ++i; }
  if (i < end && !IsP(t, i, ",")) return Fail(c.why, "Syntax error in field definition");
  *pi = i;
  return true;
}

static bool DoCreateTable(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  size_t n = EndOf(t);
  if (!IsName(t, 2) || !IsP(t, 3, "(") || !IsP(t, n - 1, ")")) return Fail(c.why, "Syntax error in CREATE TABLE statement");
  std::string out = "CREATE TABLE " + NameOut(t[2]) + " (";
  size_t i = 4, cols = 0;
  const size_t maxCols = c.p == PROFILE_JET ? 255 : 1024;
  while (i < n - 1) {
    std::string col;
    if (!ColumnDef(c, t, &i, n - 1, &col)) return false;
    if (++cols > maxCols) return Fail(c.why, "Too many fields defined.");
    out += (cols > 1 ? ", " : "") + col;
    if (IsP(t, i, ",")) ++i;
  }
  if (!cols) return Fail(c.why, "Syntax error in CREATE TABLE statement");
  tr->sql = out + ")";
  return true;
}

static bool NameList(const Ctx &c, const std::vector<Token> &t, size_t i, size_t n, std::string *out) {
  if (!IsP(t, i, "(") || !IsP(t, n - 1, ")") || i + 2 > n - 1) return Fail(c.why, "Syntax error in column list");
  *out = "(";
  for (size_t k = i + 1; k < n - 1; ++k) {
    if ((k - i) % 2 == 1) {
      if (!IsName(t, k)) return Fail(c.why, "Syntax error in column list");
      *out += NameOut(t[k]);
    } else {
      if (!IsP(t, k, ",")) return Fail(c.why, "Syntax error in column list");
      *out += ", ";
    }
  }
  if ((n - 1 - i) % 2 != 0) return Fail(c.why, "Syntax error in column list");
  *out += ")";
  return true;
}

// CREATE [UNIQUE] INDEX name ON table (cols): index names are per table
// there and per database here, so the index is called "table.name".
static bool DoCreateIndex(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  if (c.refuse & REFUSE_CREATE_INDEX) return Fail(c.why, "Syntax error in CREATE INDEX statement");
  size_t n = EndOf(t), i = 1;
  bool unique = Is(t, i, "UNIQUE");
  if (unique) ++i;
  if (!Is(t, i, "INDEX") || !IsName(t, i + 1) || !Is(t, i + 2, "ON") || !IsName(t, i + 3))
    return Fail(c.why, "Syntax error in CREATE INDEX statement");
  std::string cols;
  if (!NameList(c, t, i + 4, n, &cols)) return false;
  tr->sql = std::string(unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") +
            Quote(t[i + 3].text + "." + t[i + 1].text) + " ON " + NameOut(t[i + 3]) + " " + cols;
  return true;
}

static bool DoAlterTable(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  size_t n = EndOf(t);
  if (IsName(t, 2) && Is(t, 3, "ADD") && (Is(t, 4, "COLUMN") || (IsName(t, 4) && !Is(t, 4, "CONSTRAINT")))) {
    size_t i = Is(t, 4, "COLUMN") ? 5 : 4;
    std::string col;
    if (!ColumnDef(c, t, &i, n, &col)) return false;
    if (i != n) return Fail(c.why, "Syntax error in ALTER TABLE statement");
    tr->sql = "ALTER TABLE " + NameOut(t[2]) + " ADD COLUMN " + col;
    return true;
  }
  if (!IsName(t, 2) || !Is(t, 3, "ADD") || !Is(t, 4, "CONSTRAINT") || !IsName(t, 5) || !Is(t, 6, "PRIMARY") ||
      !Is(t, 7, "KEY"))
    return Fail(c.why, "Statement form not supported: ALTER TABLE other than ADD COLUMN or ADD CONSTRAINT PRIMARY KEY");
  std::string cols;
  if (!NameList(c, t, 8, n, &cols)) return false;
  tr->sql = "CREATE UNIQUE INDEX " + Quote(t[2].text + "." + t[5].text) + " ON " + NameOut(t[2]) + " " + cols;
  return true;
}

static bool DoDropTable(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  if (!IsName(t, 2) || EndOf(t) != 3) return Fail(c.why, "Syntax error in DROP TABLE statement");
  if (c.refuse & REFUSE_DROP) return Fail(c.why, "Cannot drop table " + t[2].text + ": it is in use");
  tr->sql = "DROP TABLE " + NameOut(t[2]);
  return true;
}

static bool DoDropIndex(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  if (!IsName(t, 2) || !Is(t, 3, "ON") || !IsName(t, 4) || EndOf(t) != 5)
    return Fail(c.why, "Syntax error in DROP INDEX statement");
  tr->sql = "DROP INDEX " + Quote(t[4].text + "." + t[2].text);
  return true;
}

// exec sp_x ...: no server runs here; a table "exec.sp_x" in the file holds
// the canned reply (tests fill it).
static bool DoExec(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  // A procedure of another catalog (msdb..sp_x) answers from the same table.
  size_t at = t.size() > 1 && t[1].kind == T_WORD && IsP(t, 2, ".") && IsP(t, 3, ".") ? 4 : 1;
  if (t.size() <= at || t[at].kind != T_WORD || strncasecmp(t[at].text.c_str(), "sp_", 3) != 0)
    return Fail(c.why, "Could not find stored procedure");
  std::string name = t[at].text;
  for (char &ch : name) ch = (char)tolower((unsigned char)ch);
  tr->sql = "SELECT * FROM " + Quote("exec." + name);
  tr->isExec = true;
  tr->isSelect = true;
  return true;
}

// use <catalog>: every statement of the accessors runs on a connection of
// its own, so switching catalogs for the rest of one has nothing to keep.
static bool DoUse(const Ctx &c, const std::string &, const std::vector<Token> &t, Translation *tr) {
  if (!IsName(t, 1) || EndOf(t) != 2) return Fail(c.why, "Incorrect syntax near 'use'.");
  tr->sql = "SELECT 1";
  tr->isSelect = true;
  return true;
}

struct StatementForm {
  const char *words[3];
  int profiles;
  Handler handler;
};

static const int kBoth = (1 << PROFILE_JET) | (1 << PROFILE_SQLSERVER);
static const StatementForm kForms[] = {
    {{"SELECT", nullptr, nullptr}, kBoth, DoSelect},
    {{"INSERT", "INTO", nullptr}, kBoth, DoInsert},
    {{"UPDATE", nullptr, nullptr}, kBoth, DoPlain},
    {{"DELETE", nullptr, nullptr}, kBoth, DoPlain},
    {{"CREATE", "TABLE", nullptr}, kBoth, DoCreateTable},
    {{"CREATE", "INDEX", nullptr}, kBoth, DoCreateIndex},
    {{"CREATE", "UNIQUE", "INDEX"}, kBoth, DoCreateIndex},
    {{"ALTER", "TABLE", nullptr}, kBoth, DoAlterTable},
    {{"DROP", "TABLE", nullptr}, kBoth, DoDropTable},
    {{"DROP", "INDEX", nullptr}, 1 << PROFILE_JET, DoDropIndex},
    {{"EXEC", nullptr, nullptr}, 1 << PROFILE_SQLSERVER, DoExec},
    {{"EXECUTE", nullptr, nullptr}, 1 << PROFILE_SQLSERVER, DoExec},
    {{"USE", nullptr, nullptr}, 1 << PROFILE_SQLSERVER, DoUse},
};

HRESULT ado_Translate(Profile p, const std::string &in, Translation *out, std::string *why, const ConnInfo *on) {
  std::string dummy;
  if (!why) why = &dummy;
  *out = Translation();
  if (p != PROFILE_JET && p != PROFILE_SQLSERVER) { *why = "No profile"; return ADO_E_PROVIDER; }
  if (in.size() > 1000000) { *why = "Statement too long"; return ADO_E_OVERFLOW; }
  if (in.find('\0') != std::string::npos) { *why = "Unexpected character"; return ADO_E_SYNTAX; }
  std::vector<Token> t;
  if (!Tokenize(in, &t, why)) return ADO_E_SYNTAX;
  if (t.empty() || EndOf(t) == 0) { *why = "Empty statement"; return ADO_E_SYNTAX; }
  // Where statements start: SQL Server runs a text of several as a batch,
  // Jet refuses a second one.
  std::vector<std::pair<size_t, size_t>> parts;
  size_t from = 0, depth = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (IsP(t, i, "(")) ++depth;
    else if (IsP(t, i, ")") && depth) --depth;
    bool cut = false, sep = IsP(t, i, ";");
    if (depth == 0 && i > from && !sep)
      cut = Is(t, i, "INSERT") || Is(t, i, "DELETE") || Is(t, i, "UPDATE") || Is(t, i, "CREATE") || Is(t, i, "DROP") ||
            Is(t, i, "ALTER") || (Is(t, i, "SET") && Is(t, i + 1, "IDENTITY_INSERT"));
    if (cut || sep) {
      if (i > from) parts.push_back({from, i});
      from = sep ? i + 1 : i;
      depth = 0;  // each part is split again on its own, from depth 0
    }
  }
  if (from < t.size()) parts.push_back({from, t.size()});
  if (parts.size() > 1 || (Is(t, 0, "SET") && p == PROFILE_SQLSERVER)) {
    if (p != PROFILE_SQLSERVER) { *why = "Characters found after end of SQL statement."; return ADO_E_SYNTAX; }
    for (const auto &r : parts) {
      // SET IDENTITY_INSERT name ON|OFF: keys are written as given anyway.
      if (Is(t, r.first, "SET")) {
        size_t k = r.first + 2;
        k += k < r.second && IsThreePart(t, k, r.second) ? 5 : 1;
        if (!Is(t, r.first + 1, "IDENTITY_INSERT") || !IsName(t, r.first + 2) || k + 1 != r.second ||
            !(Is(t, k, "ON") || Is(t, k, "OFF"))) {
          *out = Translation();
          *why = "Incorrect syntax near 'SET'.";
          return ADO_E_SYNTAX;
        }
        continue;
      }
      Translation part;
      HRESULT hr = ado_Translate(p, in.substr(t[r.first].start, t[r.second - 1].end - t[r.first].start), &part, why, on);
      if (hr < 0) { *out = Translation(); return hr; }
      for (const auto &d : part.databases)
        if (std::find(out->databases.begin(), out->databases.end(), d) == out->databases.end()) out->databases.push_back(d);
      out->batch.push_back(std::move(part));
    }
    if (out->batch.empty()) { *why = "Empty statement"; return ADO_E_SYNTAX; }
    if (out->batch.size() == 1) {
      Translation one = std::move(out->batch[0]);
      *out = std::move(one);
    }
    return ADO_S_OK;
  }
  Ctx c{p, ado_Refusals(p), why, out, on};
  for (const auto &f : kForms) {
    size_t k = 0;
    while (k < 3 && f.words[k] && Is(t, k, f.words[k])) ++k;
    if (k < 3 && f.words[k]) continue;
    if (!(f.profiles & (1 << p))) break;
    if (!f.handler(c, in, t, out)) { *out = Translation(); return ADO_E_SYNTAX; }
    return ADO_S_OK;
  }
  *why = "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or 'UPDATE'.";
  return ADO_E_SYNTAX;
}

}  // namespace ado
