// The plug-in's file requests to a server ("SF", "TF", "RF", "WF", "DF",
// "UF", "NF", "OF", "BF", "EF", "MF", "CV") and the whole-file fetch and push
// built on them. Paths are server-side paths, resolved by the server (a
// leading TSQ_CURRENT_CONFIG names its configuration folder). Fields that
// hold their separator or are too long fail with error 87, nothing sent.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/os_handle.h"

enum : int32_t {
  CFG_RF_MAX = 65512,        // bytes one "RF" may ask for
  CFG_WF_MAX = 32768,        // header and data of one "WF"
  CFG_FETCH_CHUNK = 32744,   // bytes of one "RF" of a fetch
  CFG_RAW_CHUNK = 32668,     // less the path's length: one chunk of records or of a push
  CFG_PATH_MAX = 260,
  CFG_DF_NAME = 256,         // one slot of a directory listing
  CFG_DF_COUNT_MAX = INT32_MAX / CFG_DF_NAME,  // names of one strict listing: their slots' size fits 32 bits
  CFG_FILE_TOO_LARGE = 223,  // the error of a size above INT32_MAX
};

// How a file is opened on the server: the platform's file-open values.
struct CfgOpen {
  uint32_t access;
  uint32_t share;
  uint32_t inherit;
  uint32_t disposition;
  uint32_t attributes;
};

// The size of a server file (opening it as asked), or -1.
int64_t srv_RemoteFileOpenSize(const char *server, const char *path, const CfgOpen *open);
// Creation, last-access and last-write times (100 ns units since 1601) of a
// local handle, or else of the server's file. 1, or 0.
int srv_RemoteFileTimes(const char *server, OsHandle local, const char *path, uint64_t times[3]);
// Reads at most CFG_RF_MAX bytes at offset (-1: where the local handle is)
// from a local handle, or else from the server's file. 1 with *got set
// (0..count), or 0.
int srv_RemoteReadFile(const char *server, OsHandle local, const char *path, void *data, int32_t count,
                       int32_t offset, uint32_t method, const CfgOpen *open, int32_t *got);
// Writes count bytes at offset; through the server, header and data at most
// CFG_WF_MAX. 1 with *written = count, or 0.
int srv_RemoteWriteFile(const char *server, OsHandle local, const char *path, const void *data, int32_t count,
                        int32_t offset, uint32_t method, const CfgOpen *open, int32_t *written);
// The names in a server folder matching pattern, from index start, each in a
// CFG_DF_NAME slot of names (cut to 255 characters), at most `capacity`.
// The number of names, or -1.
int srv_ListDirectory(const char *server, const char *folder, const char *pattern, int start, char (*names)[CFG_DF_NAME],
                      int capacity);
// Strict listings for callers that size their slots from a count: every page
// must bring as many names as its result states and the whole listing at
// most CFG_DF_COUNT_MAX names (else OS_ERROR_INVALID_DATA); a name over 255
// characters fails (OS_ERROR_FILENAME_EXCED_RANGE) instead of being cut. The
// count of all names from index 0, or -1.
int srv_CountDirectory(const char *server, const char *folder, const char *pattern);
// Like srv_ListDirectory, strict; names past capacity are checked, not kept.
int srv_ListDirectoryStrict(const char *server, const char *folder, const char *pattern, int start,
                            char (*names)[CFG_DF_NAME], int capacity);
// One-path verbs ("UF", "NF", "OF", "BF"), the two-path "EF" and "MF" (on
// result 1 its reply text after two characters goes to text). The result
// number, or -1.
int srv_RemoteRequestUF(const char *server, const char *path);
int srv_RemoteRequestNF(const char *server, const char *path);
int srv_RemoteRequestOF(const char *server, const char *path);
int srv_RemoteRequestBF(const char *server, const char *path);
int srv_RemoteRequestEF(const char *server, const char *path, const char *other);
int srv_RemoteRequestMF(const char *server, const char *path, const char *textIn, char *textOut, size_t size);
// "CV,<argument>", the reply into the caller's buffer (*size in: capacity,
// out: bytes). The result number.
int srv_RequestChannelValue(const char *server, const char *argument, char *reply, int *size);

// Copies the server file below TSQ_CURRENT_CONFIG to the local path; the
// local file is replaced only by a complete copy. 0 or -1.
int cfg_FetchConfigFile(const char *server, const char *path, const char *localPath);
// Sends a local file to TSQ_CURRENT_CONFIG\<folder>\<name> (folder may be
// empty); an empty file makes an empty server file. 0 or -1.
int cfg_PushConfigFile(const char *server, const char *folder, const char *name, const char *localPath);
