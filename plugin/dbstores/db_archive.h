// Archive job and table copies of the database logger stores.
//
// The archive moves the runs of one logger that started before a cut-off
// from a live database (Loggers, SavedLoggerConfig, SavedLoggerTags,
// SavedOPCServers and one main data table per run, with LoggerID and TS) into
// an archive database whose tables are the live names followed by "_Arc".
// The archive connection string's provider picks the statements: Jet ones
// that reach the live file with "IN 'path'", or SQL Server ones that name
// the archive catalog as db.dbo.X and reach the live tables directly (same
// connection string) or through OPENROWSET.
//
// No row leaves the live database unless the archive holds it: a run's data
// rows are copied from just after its newest archived row and deleted only
// up to that row; its Loggers row is deleted only once the archive holds it
// finished; configuration rows are archived before the orphan step deletes
// them.
//
// Dialect operations trace a failure ("\nCOM Exeption: <source> \t : <text or
// NONE>\r\n"), set the thread's last error and return E_FAIL; they never
// touch an accessor's error text.
#pragma once
#include <cstdint>
#include <string>

#include "platform/ado/ado.h"

constexpr int32_t ARC_E_FAIL = (int32_t)0x80004005;

// The value of the connection string's "Data Source" (else "Server") key,
// trimmed and without its quotes; "" when there is none.
std::string DataSourceOf(const std::string &connStr);
// The same for "Initial Catalog" (else "Database").
std::string CatalogOf(const std::string &connStr);
// The keys "User ID" and "Password" (any case) renamed "uid" and "pwd";
// values and other keys stay as they are.
std::string arc_RewriteKeys(const std::string &connStr);
// True when the connection string's Provider names Jet (any case).
bool arc_IsJet(const std::string &connStr);
// A table name bracketed for a statement (']' doubled); "" for a name that
// is empty or holds a control character.
std::string arc_Bracket(const std::string &name);

// What archiving one run found in the archive afterwards.
struct ArcRunState {
  bool haveRows = false;     // the archive holds data rows of the run
  std::string lastTs;        // the newest of them (as stored)
  bool finished = false;     // the archived Loggers row is final
};

int32_t JetEnsureArchiveTable(ado::Catalog *catalog, const std::string &table, const std::string &srcCs,
                              const std::string &arcCs);
int32_t JetArchiveRun(ado::Connection *src, int32_t idLogger, int32_t idConfig, const std::string &table,
                      const std::string &srcCs, const std::string &arcCs, const std::string &dbName, double cutoff,
                      ArcRunState *state);
// With `state` null every data row before the cut-off may go; else only
// those the archive holds, and the Loggers row only when it is final there.
int32_t JetDeleteRun(ado::Connection *src, int32_t idLogger, const std::string &table, double cutoff,
                     const ArcRunState *state);
int32_t JetDeleteOrphans(ado::Connection *src);

int32_t SqlEnsureArchiveTable(ado::Connection *src, ado::Catalog *catalog, const std::string &table,
                              const std::string &srcCs, const std::string &arcCs, const std::string &dbName);
int32_t SqlArchiveRun(ado::Connection *src, int32_t idLogger, int32_t idConfig, const std::string &table,
                      const std::string &srcCs, const std::string &arcCs, const std::string &dbName, double cutoff,
                      ArcRunState *state);
int32_t SqlDeleteRun(ado::Connection *src, int32_t idLogger, const std::string &table, double cutoff,
                     const ArcRunState *state);
int32_t SqlDeleteOrphans(ado::Connection *src);

// Archives the configurations no run refers to any more (with their tags
// and servers) and the servers no tag names, before the orphan step.
int32_t arc_ArchiveOrphans(ado::Connection *src, bool jet, const std::string &srcCs, const std::string &arcCs,
                           const std::string &dbName);

// Table operations (Jet statements; "IN 'file'" names another database).
int32_t ExecuteCountAffected(ado::Connection *conn, const std::string &text);
int32_t QueryHasRows(ado::Connection *conn, const std::string &text);
int32_t CopyRowsWhere(ado::Connection *conn, const std::string &src, const std::string &dst, const std::string &db,
                      const std::string &cond, int32_t throughTemp, const std::string &key, const std::string &cols);
int32_t ReplaceTableCopy(ado::Connection *conn, const std::string &src, const std::string &dst, const std::string &db);
int32_t DeleteRowsWhere(ado::Connection *conn, const std::string &table, const std::string &cond);
