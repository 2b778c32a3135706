#include "plugin/loggers/log_db_runs.h"

#include <cstdio>
#include <cstring>

#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "plugin/loggers/log_db_schema.h"

namespace {

// How many sequence numbers a new run passes over for tables left behind.
constexpr int32_t kLeftRunsPassed = 16;

void Give(const LdbRun &r, char *name, LogRunTime *start, LogRunTime *end) {
  if (name) snprintf(name, 20, "LoggerSeq=%08d", r.seq);
  if (start) *start = {r.start, 0};
  if (end) *end = {r.stop, 0};
}

}  // namespace

void ldb_ClearRuns(LdbRunList *list) {
  list->runs.clear();
  list->next = 0;
}

std::vector<LdbRun> ldb_TakeRuns(LdbRunList *list) {
  std::vector<LdbRun> runs;
  runs.swap(list->runs);
  list->next = 0;
  return runs;
}

std::string ldb_RunPrefix(const std::string &stored) {
  size_t blank = stored.find(' ');
  return stored.substr(0, blank == std::string::npos ? stored.size() : blank).substr(0, 255);
}

int ldb_NextRun(LdbRunList *list, char *name, LogRunTime *start, LogRunTime *end) {
  if (list->next >= list->runs.size()) {
    ldb_ClearRuns(list);
    os_SetLastError(0);
    return 0;
  }
  Give(list->runs[list->next++], name, start, end);
  return 1;
}

int ldb_FindRun(LdbRunList *list, const std::string &prefix, int allRuns, char *name, LogRunTime *start,
                LogRunTime *end) {
  int found = 0;
  for (const LdbRun &r : list->runs) {
    if (!allRuns && !prefix.empty() &&
        (r.prefix.size() < prefix.size() || os_CompareNoCaseN(r.prefix.c_str(), prefix.c_str(), prefix.size()) != 0))
      continue;
    Give(r, name, start, end);
    found = 1;
    break;
  }
  ldb_ClearRuns(list);
  return found;
}

void ldb_StorePath(const std::string &conn, const std::string &logger, const char *run, char *out,
                   uint32_t *length) {
  if (!length) return;
  std::string s = conn + ";LoggerName=" + logger + ";" + (run ? run : "");
  uint32_t need = static_cast<uint32_t>(conn.size() + logger.size() + (run ? strlen(run) : 0) + 14);
  if (!out || *length < s.size() + 1) {
    *length = need;
    return;
  }
  memcpy(out, s.c_str(), s.size() + 1);
  *length = need;
}

CLogStore *ldb_OpenRunStore(CLogStore *store, const std::string &conn, const std::string &logger, const char *run,
                            uint32_t access, char (&message)[31], std::string *detail) {
  if (!store) return nullptr;
  std::string path = conn + ";LoggerName=" + logger + ";" + run;
  if (store->Open(nullptr, path.c_str(), access) != 0) {
    const char *text = store->GetErrorText();
    ldb_KeepError(message, detail, store->GetErrorSummary(), text ? text : "");
    delete store;
    return nullptr;
  }
  return store;
}

std::string ldb_MakeChannelsTable(const std::string &logger, const std::string &prefix, int freshName, int dated,
                                  int32_t start, int32_t *seq, LdbExec exec, void *context) {
  const std::string &base = prefix.empty() ? logger : prefix;
  const bool bare = freshName != 0 && (!prefix.empty() || *seq == 1);
  for (const LdbPrefixCandidate &c : ldb_PrefixCandidates(base.c_str(), bare, dated != 0, *seq, start))
    if (exec(context, ldb_CreateChannels(c.prefix))) {
      *seq = c.sequence;
      return c.prefix;
    }
  // A logger killed while it made a run leaves tables that no LOGGERS row
  // names: their sequence numbers are passed over, or it could never make
  // a run again.
  for (int32_t next = *seq + 1; next <= *seq + kLeftRunsPassed; ++next) {
    const std::string p = ldb_PrefixCandidates(base.c_str(), false, false, next, start).back().prefix;
    if (exec(context, ldb_CreateChannels(p))) {
      *seq = next;
      return p;
    }
  }
  return std::string();
}

int ldb_KeepError(char (&message)[31], std::string *detail, const char *text, const std::string &reason) {
  size_t n = strnlen(text ? text : "", sizeof message - 1);
  memcpy(message, text ? text : "", n);
  message[n] = 0;
  *detail = reason.substr(0, 999);
  return -1;
}

bool ldb_SplitRunPath(const char *path, size_t limit, std::string *connection, std::string *logger, int32_t *seq) {
  if (!path || strlen(path) > limit) return false;
  std::vector<char> cs(limit + 1);
  snprintf(cs.data(), cs.size(), "%s", path);
  char name[LOG_LOGGER_NAME_MAX + 1];
  uint32_t cap = sizeof name;
  if (!log_TakeLoggerName(cs.data(), &cap, name) || !log_TakeLoggerSeq(cs.data(), seq)) return false;
  *connection = cs.data();
  *logger = name;
  return true;
}

bool ldb_RemotePath(const char *server, const std::string &connection, const char *path, size_t limit,
                    std::string *out) {
  if (!server || !*server || os_CompareNoCaseN(connection.c_str(), "PROVIDER=MS REMOTE", 18) == 0) return false;
  *out = std::string("PROVIDER=MS REMOTE;REMOTE SERVER=HTTP://") + server + ";REMOTE " + (path ? path : "");
  return out->size() <= limit;
}
