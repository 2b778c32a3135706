// The runs of one logger as its LOGGERS rows list them, kept by both
// database collections between FirstRun and the last NextRun, and the error
// texts both database collections and stores keep.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/loggers/log_store.h"

struct LdbRun {
  int32_t seq;
  int32_t start, stop;  // stop 0: not completed
  std::string prefix;
};

struct LdbRunList {
  std::vector<LdbRun> runs;
  size_t next = 0;
};

void ldb_ClearRuns(LdbRunList *list);
// The runs listed so far, handed over; the list is left empty.
std::vector<LdbRun> ldb_TakeRuns(LdbRunList *list);
// A run's table prefix from its sTablePrefix value: up to the first blank,
// at most 255 characters.
std::string ldb_RunPrefix(const std::string &stored);
// The next run: its name ("LoggerSeq=%08d") and times. 0 with last error 0
// past the end, the list cleared.
int ldb_NextRun(LdbRunList *list, char *name, LogRunTime *start, LogRunTime *end);
// The first listed run whose prefix begins with `prefix` (any case; every run
// when allRuns is set or the prefix empty), as ldb_NextRun gives it; 0 when
// none. The list is cleared either way.
int ldb_FindRun(LdbRunList *list, const std::string &prefix, int allRuns, char *name, LogRunTime *start,
                LogRunTime *end);
// "<conn>;LoggerName=<logger>;<run>" into out when *length holds it; *length
// is always set to the size asked of callers.
void ldb_StorePath(const std::string &conn, const std::string &logger, const char *run, char *out,
                   uint32_t *length);

// Opens `run` of the logger through `store` (new, handed over; null when it
// could not be made): the store, or null with the store deleted and its
// error kept as ldb_KeepError keeps one.
CLogStore *ldb_OpenRunStore(CLogStore *store, const std::string &conn, const std::string &logger, const char *run,
                            uint32_t access, char (&message)[31], std::string *detail);

// One statement of a collection: true when the database carried it out.
using LdbExec = bool (*)(void *context, const std::string &sql);
// A new run's CHANNELS table under the first candidate prefix the database
// takes (ldb_PrefixCandidates from the collection's prefix, else the
// logger's name; bare only for a fresh name with a prefix set or for the
// first run). The prefix, *seq set to its sequence; "" when none was taken.
std::string ldb_MakeChannelsTable(const std::string &logger, const std::string &prefix, int freshName, int dated,
                                  int32_t start, int32_t *seq, LdbExec exec, void *context);

// Keeps a failure: the message cut to the buffer (30 characters), the
// detail to 999. -1.
int ldb_KeepError(char (&message)[31], std::string *detail, const char *text, const std::string &reason);

// A store's path "<connection>;LoggerName=<logger>;LoggerSeq=<n>" (keys in
// any order) taken apart; false for a path missing, longer than `limit` or
// without both keys.
bool ldb_SplitRunPath(const char *path, size_t limit, std::string *connection, std::string *logger, int32_t *seq);
// The path again through the remote provider of `server`; false when there
// is no server, the connection is already remote or the result passes
// `limit`.
bool ldb_RemotePath(const char *server, const std::string &connection, const char *path, size_t limit,
                    std::string *out);
