// One logger run kept as a ".odl" data file with its ".txt" text file.
//
// Records are appended at the store's end offset, never at a handle's file
// pointer (header reads and rewrites move that). While the run is open for
// appending the store holds a one-byte lock at its end offset: readers size
// the file rather than trust the header's end-offset word, and no other
// process may move or delete the live file, nor take it for appending.
#pragma once
#include <cstdint>
#include <string>

#include "platform/os_handle.h"
#include "plugin/loggers/log_store.h"

// Whether channel records come from `server` rather than from this computer.
bool log_ChannelsRemote(const char *server);
// Channel records first..last of a block: one "CV" request a channel to a
// server that is not this computer, else the configuration area of the data
// area the block's prefix names. -1 with the thread's last error (a block
// without channels too).
int log_FetchChannels(const char *server, const LogChannelBlock &b, ChannelRecord *out);

// The file calls through which stores open a run, cut it and write it: a
// table tests replace to make one step fail. Null puts the system's back.
struct LogFileCalls {
  OsHandle (*openRun)(const char *path, uint32_t access);
  int (*setEndOfFile)(OsHandle file);
  int (*writeAt)(OsHandle file, uint64_t offset, const void *buf, uint32_t n, uint32_t *written);
};
void log_SetFileCalls(const LogFileCalls *calls);
const LogFileCalls *log_SystemFileCalls(void);

class CLogFileStore : public CLogStore {
 public:
  CLogFileStore();
  ~CLogFileStore() override;

  // Creates a new run file at `path` laid out from `h` (blocks, record size;
  // the first-record and extension offsets are filled in when 0), with each
  // block's channel records from `blockRecords[i]` when given (either may be
  // null), else from `server` when it is another computer, else from the
  // channel configuration area of the block's data area, and opens it for
  // appending. An existing file is refused (OS_ERROR_FILE_EXISTS), untouched.
  int Create(const char *path, LogFileHeader *h, ChannelRecord *const *blockRecords, const char *server = nullptr);

  int Open(const char *server, const char *path, uint32_t access) override;
  int UseforLogging(uint32_t *endOffset) override;
  void GetName(char *out, uint32_t *size) override;
  int Close() override;
  int FlushHeader(uint32_t value) override;
  int ReadHeader(LogFileHeader *h) override;
  int WriteHeader(const LogFileHeader *h, const char *text) override;
  int ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) override;
  int WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) override;
  int32_t ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *b,
                   void *c) override;
  int ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *b, void *c, void *d,
              void *e) override;
  int WriteLog(int64_t index, const LogFileHeader *h, const void *buf, uint32_t bytes) override;
  int64_t GetNoLogs(const LogFileHeader *h) override;
  int64_t CountChannelRows(const LogFileHeader *h) override;
  int ReadSectionW(const char *section, uint16_t *out, uint32_t *capacity, void *a, void *b) override;
  int ReadSection(const char *section, char *out, uint32_t *capacity, void *a, void *b) override;
  int ReadSectionLinesW(const char *section, uint16_t **lines, uint32_t *lineCount, uint16_t *buf, uint32_t *capacity,
                        void *a, void *b) override;
  int ReadSectionLines(const char *section, char **lines, uint32_t *lineCount, char *buf, uint32_t *capacity, void *a,
                       void *b) override;
  int WriteTextW(int32_t seconds, const uint16_t *text, const uint16_t *text2, const char *section) override;
  int WriteText(int32_t seconds, const char *text, const char *text2, const char *section) override;
  int WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section) override;
  int WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section) override;
  int WritePosition(int32_t seconds, int flag, float value) override;
  int WriteHeaderTextW(const uint16_t *text) override;
  int WriteHeaderText(const char *text) override;
  int WriteFormulae(const char *prefix, int number, const char *text) override;
  int WriteUnitCategory(const char *category, const char *text) override;
  int GetLastModified(int32_t *seconds) override;
  int Rename(const char *prefix) override;
  void Truncate(LogFileHeader *h, uint32_t records) override;

  // The 64-bit end offset appending resumes at (0 when not appending).
  uint64_t EndOffset() const { return end_; }
  // Names the data file anew after its owner moved it (closed runs only).
  void SetPath(const char *path);

 private:
  int Reopen();
  int ReadAt(uint64_t offset, void *buf, uint32_t n);  // exactly n bytes, reopening once
  // Reads through the server's file requests, in pieces a request can carry.
  int RemoteRead(uint64_t offset, void *buf, uint32_t n, uint32_t *got);
  // Opened where no handle could be had: reads go to the server.
  bool Remote() const { return remote_; }
  // Where text files are edited: the server in remote mode, else here.
  const char *TextServer() const { return remote_ ? server_ : nullptr; }
  void CloseHandles();
  void Report(const char *text);
  bool Text(std::string *path) const;

  char server_[LOG_CONNSTR_MAX];
  char path_[260];
  uint32_t access_ = 0;
  OsHandle data_ = nullptr;
  OsHandle header_ = nullptr;
  uint64_t end_ = 0;
  uint64_t storedEnd_ = 0;
  bool remote_ = false;
};

// A run's text file for data file `path` (the ".txt" of the same name, else
// the first ".txt" of the same prefix and start stamp). *out gets the file
// found, else the ".txt" to make; true when one is there.
bool log_FindRunText(const char *path, std::string *out);
