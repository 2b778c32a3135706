// Paths and plain file access of the configuration files. A directory is a
// Windows path, a Linux path, or relative to the working folder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/time/tm_time.h"

// The directory as an absolute path: absolute Windows and Linux paths stay as
// they are, relative ones (".", "x\y") are resolved against the working
// folder. Trailing separators are dropped.
std::string cfg_AbsoluteDir(const char *directory);
// dir, a separator ('/' after a Linux path, '\' otherwise) and name.
std::string cfg_JoinPath(const std::string &dir, const char *name);
std::string cfg_LastComponent(const std::string &dir);
// "" when the path has no separator.
std::string cfg_ParentDir(const std::string &dir);
// The driver name of a directory: its last component cut at the last '_'.
std::string cfg_DriverOf(const std::string &dir);
// Whether the directory is the current configuration folder (TSQ_CURRENT_CONFIG),
// compared without case.
bool cfg_IsCurrentConfigFolder(const std::string &dir);
bool cfg_FileExists(const std::string &path);
// The file's last-write time as a local time stamp. 0 / -1.
int cfg_FileStamp(const std::string &path, TimeStamp *stamp);

// n bytes at offset: 0, or -1 with the Windows error (2 for a missing file,
// 38 for a file that ends before n bytes).
int cfg_ReadFileAt(const std::string &path, uint64_t offset, void *buf, size_t n);
// Writes n bytes at offset into the file, created when missing. 0 / -1.
int cfg_WriteFileAt(const std::string &path, uint64_t offset, const void *buf, size_t n);

// The pending XML error goes to the error reporter (context "."), the C error
// and the last error become 1465. Returns -1.
int cfg_FailXml(void);
// An XML failure with the given text, reported as above. Returns -1.
int cfg_FailXmlText(const char *text);
