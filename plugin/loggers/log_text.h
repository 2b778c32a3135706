// A run's text file: named sections ("[HEADER]", "[TEXT]", ...) of CR LF
// lines; "[TEXT]" holds time-stamped entries. With the events-file switch on,
// "[TEXT]" lives in "events.txt" of the run's folder instead, without a
// header line (its entries end at the first line that begins with '[').
//
// A file is 8-bit (code page 1252) or 16-bit (UTF-16LE after the mark FF FE);
// every operation keeps a file's width, except that a 16-bit text an 8-bit
// file cannot hold turns the whole file 16-bit.
//
// With a server named, the path is the server's and the file is read and
// written through its file requests (a rewrite writes the whole file anew;
// a write-back cut short keeps the whole text in a local copy and names it in
// the event log).
//
// Every rewrite goes through a copy that replaces the file in one step: a
// reader or a crash sees the old file or the new one. Writers of one file are
// serialised across processes by a lock on a companion ".lck" file (a lock on
// the text file itself would block its replacement).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/time/tm_time.h"

// Whether "[TEXT]" goes to "events.txt": always for the "Rimfold" product,
// else when "EventsTextFile" begins with "ON".
bool txt_EventsFileOn(void);

// A stamp at the start of `line`: date first "YY/MM/DD hh:mm:ss[.fff[fff]]" or
// time first "hh:mm:ss[.fff[fff]] DD/MM/YY". On success *text points past the
// stamp and its spaces and *timeFirst tells the form.
bool txt_ParseStamp(const char *line, size_t length, TimeStamp *at, size_t *textStart, bool *timeFirst);
// "YY/MM/DD hh:mm:ss<f> " or, for "events.txt", "hh:mm:ss<f> DD/MM/YY ";
// <f> is ".mmmuuu", ".mmm" or nothing.
std::string txt_FormatStamp(const TimeStamp &at, bool timeFirst);

// Reads a section: the lines (with their CR LF) up to the next '[' line, into
// `out` when given, stopping before a line that would not fit with a
// terminator. *capacity gets the length used + 1. Returns the lines copied,
// -2 when the file cannot be opened ("[TEXT]" from "events.txt": 0).
// Time-first stamps of "[TEXT]" come back date first.
int txt_ReadSection(const char *textPath, const char *section, char *out, uint32_t *capacity,
                    const char *server = nullptr);
// The same read as 16-bit text: an 8-bit file's lines widened from code page
// 1252, a 16-bit file's as they stand; *capacity counts 16-bit characters.
int txt_ReadSectionW(const char *textPath, const char *section, uint16_t *out, uint32_t *capacity,
                     const char *server = nullptr);
// Splits what txt_ReadSection gives at CR LF into lines[] (each terminated
// in place), at most *lineCount; *lineCount gets the number. 0 or -1.
int txt_ReadSectionLines(const char *textPath, const char *section, char **lines, uint32_t *lineCount, char *buf,
                         uint32_t *capacity, const char *server = nullptr);
int txt_ReadSectionLinesW(const char *textPath, const char *section, uint16_t **lines, uint32_t *lineCount,
                          uint16_t *buf, uint32_t *capacity, const char *server = nullptr);
// Puts `text` in place of the section's lines (appending the section when it
// is missing). 1, -2 when the file cannot be opened or created, -1.
int txt_ReplaceSection(const char *textPath, const char *section, const char *text, const char *server = nullptr);
int txt_ReplaceSectionW(const char *textPath, const char *section, const uint16_t *text,
                        const char *server = nullptr);
// Adds a time-stamped entry to a section ("[TEXT]" when null), in time order.
// An entry at the same time whose text begins with `text2` (or, without
// `text2`, any such entry) is replaced; an empty `text` only removes.
// 0, -2 when the file cannot be opened or created, -1.
int txt_AddEntry(const char *textPath, const char *section, const TimeStamp &at, const char *text, const char *text2,
                 const char *server = nullptr);
// The 16-bit forms take NUL-terminated 16-bit texts.
int txt_AddEntryW(const char *textPath, const char *section, const TimeStamp &at, const uint16_t *text,
                  const uint16_t *text2, const char *server = nullptr);

// A logger's own text file: "<type>_<number>.txt" in the configuration's
// "LOGGERS" folder, which is then the current directory, for this computer
// and pipe servers; "\\<server>\TSQ_CURRENT_CONFIG\LOGGERS\<type>_<number>.txt"
// on every other server. Empty for a type that is null or empty.
std::string txt_LoggerTextPath(const char *server, const char *type, int number);
// Its sections, read and replaced as txt_ReadSection and txt_ReplaceSection
// do, through the server's file requests when the path is the server's.
int txt_ReadLoggerSection(const char *server, const char *type, int number, const char *section, char *out,
                          uint32_t *capacity);
int txt_ReplaceLoggerSection(const char *server, const char *type, int number, const char *section,
                             const char *text);
