// `scadasim logger --runs FOLDER [--prefix P] [--cycle S] [--keep S]
// [--area CODE]...`: a logger process that keeps runs of prefix P (default
// "LOG") in FOLDER through the file collection. Each logger code it receives
// appends one record of the areas' status words and values; a code with
// events adds a text entry. Each run has a header text and a ".tsq" copy of
// the world's configuration. Every S seconds of --cycle the run is closed with
// its start and end and a new one begins; with --keep, closed runs that ended
// more than that many seconds ago are purged. A restarted logger continues
// the newest open run of its prefix. With --logger, the logger NAME of the
// loggers table whose status channels it keeps current (see
// sim_StartStatusFeed).
#pragma once

int sim_LoggerRunsCommand(int argc, char **argv);
// `scadasim logger --store CS [--logger NAME] [--area CODE]...`: the same
// logger keeping a new run in the database CS ("PROVIDER=..."), feeding the
// status channels of logger NAME when the loggers table has it (quietly
// without them otherwise).
int sim_LoggerStoreCommand(int argc, char **argv);

// Starts this process's status feed for logger `logger` of the loggers table
// (its type from the record): its rows of the "logst" processor's area show
// the logger preparing, then each append, the activity and the last write.
// False, with a line on stderr unless `quiet`, when the table lacks the
// logger or the area has no rows for it; logging goes on without the feed.
bool sim_StartStatusFeed(const char *logger, bool quiet);
