// The runs of one logger kept as ".odl" files in one folder.
//
// Every listing decides through the run-name rule (log_run_name.h): a
// logger sharing its folder with others sees, finds and purges only runs
// whose start stamp follows its own prefix. A run its writer holds open is
// never moved or deleted (the platform refuses to move a locked file).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/loggers/log_store.h"

class CLogFileStore;

class CLogFileCollection : public CLogCollection {
 public:
  CLogFileCollection();
  ~CLogFileCollection() override;

  int Open(const char *connection, const char *folder, const char *logger, const char *prefix,
           uint32_t access) override;
  void Purge(const int32_t *cutOff) override;
  int FirstRun(uint32_t *nameCapacity) override;
  int NextRun(char *name, LogRunTime *start, LogRunTime *end) override;
  int FindRun(char *name, uint32_t *capacity, LogRunTime *start, LogRunTime *end, int allRuns) override;
  CLogStore *CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                        const uint16_t *headerText, int copyConfig, const char *channelSource, void *unused2,
                        ChannelRecord **blockRecords) override;
  CLogStore *CreateRun(const int32_t *start, int freshName, void *unused1, LogFileHeader *h, const char *headerText,
                       int copyConfig, const char *channelSource, void *unused2,
                       ChannelRecord **blockRecords) override;
  CLogStore *OpenStore(const char *run, uint32_t access) override;
  int UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *prefix, int text, int copyConfig) override;
  int CloseRun(CLogStore *store, const int32_t *start, const int32_t *end, int readOnly) override;
  const char *GetErrorText() override { return error_; }
  const char *GetErrorSummary() override { return summary_; }
  void GetStorePath(const char *run, char *out, uint32_t *length) override;

  const char *Folder() const { return folder_; }

 private:
  // The header text as the bytes of its file (8-bit as given, 16-bit with
  // its byte-order mark).
  CLogStore *Create(const int32_t *start, LogFileHeader *h, const std::string &textBytes, bool hasText,
                    int copyConfig, const char *channelSource, ChannelRecord **blockRecords);
  int MakeFolder(uint32_t access);
  void Fail(const char *summary, const char *full);
  // Folders given in Linux form ("/...") keep Linux separators.
  static char Separator(const char *folder);
  std::string Join(const std::string &name) const;
  // A folder of another computer reached only through its server: the host
  // and the path after it; false for any other folder.
  bool RemoteParts(std::string *host, std::string *subPath) const;
  int FirstRemoteRun();
  void FailRemote(const char *host);

  char folder_[260];
  std::vector<std::string> names_;  // the listing in progress
  size_t next_ = 0;
  bool remote_ = false;  // listed through the server's "DF" request
  char error_[1000];
  char summary_[32];
};
