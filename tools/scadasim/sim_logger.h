// `scadasim logger --runs FOLDER [--area CODE]...`: a logger process that
// keeps a run in FOLDER. Each logger code it receives appends one record of
// the areas' status words and values; a code with events adds a text entry.
// A restarted logger continues the newest open run of the folder.
#pragma once

int sim_LoggerRunsCommand(int argc, char **argv);
// `scadasim logger --store CS [--logger NAME] [--area CODE]...`: the same
// logger keeping a new run in the database CS ("PROVIDER=...").
int sim_LoggerStoreCommand(int argc, char **argv);
