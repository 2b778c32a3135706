#include "plugin/loggers/log_file_collection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "framework/registry/reg_settings.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/tm_archive.h"
#include "plugin/dbstores/asset_countries.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "plugin/loggers/log_status_feed.h"

namespace {

constexpr size_t kPathMax = 259;

const char *NamePart(const char *path) {
  const char *slash = strrchr(path, '\\'), *fwd = strrchr(path, '/');
  if (fwd && (!slash || fwd > slash)) slash = fwd;
  return slash ? slash + 1 : path;
}

// `path` with its extension replaced by `ext`.
std::string WithExt(const std::string &path, const char *ext) {
  size_t dot = path.rfind('.'), slash = path.find_last_of("\\/");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + ext;
}

int CollectNames(const char *name, bool isDir, void *ctx) {
  if (!isDir) static_cast<std::vector<std::string> *>(ctx)->emplace_back(name);
  return 0;
}

bool WriteWhole(const char *path, const std::string &bytes) {
  FILE *f = os_FOpen(path, "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (fclose(f) == 0) && ok;
  return ok;
}

// Moves a companion to the new base name with the run's attributes.
void MoveCompanion(const std::string &from, const std::string &to, uint32_t attributes) {
  if (os_GetFileAttributes(from.c_str()) == OS_INVALID_FILE_ATTRIBUTES) return;
  if (os_CompareNoCase(from.c_str(), to.c_str()) != 0) {
    os_SetFileAttributes(from.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    if (os_MoveFile(from.c_str(), to.c_str()) != 0) return;
  }
  os_SetFileAttributes(to.c_str(), attributes);
}

}  // namespace

char CLogFileCollection::Separator(const char *folder) { return folder[0] == '/' ? '/' : '\\'; }

std::string CLogFileCollection::Join(const std::string &name) const {
  return std::string(folder_) + Separator(folder_) + name;
}

CLogFileCollection::CLogFileCollection() { folder_[0] = error_[0] = summary_[0] = 0; }

CLogFileCollection::~CLogFileCollection() = default;

void CLogFileCollection::Fail(const char *summary, const char *full) {
  // The short text is cut to its field by design.
  size_t n = strnlen(summary, sizeof summary_ - 1);
  memcpy(summary_, summary, n);
  summary_[n] = 0;
  n = strnlen(full, sizeof error_ - 1);
  memcpy(error_, full, n);
  error_[n] = 0;
}

int CLogFileCollection::Open(const char *, const char *folder, const char *logger, const char *prefix,
                             uint32_t access) {
  // A prefix the base cannot keep would leave runs made and purged under the
  // old one.
  size_t prefixLength = prefix ? strlen(prefix) : 0;
  if (prefixLength > LOG_PREFIX_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string path;
  if (folder && *folder) {
    path = folder;
    size_t n = path.size();
    // A Linux path ("/...") is taken as it is, like a drive path.
    if (n > 2 && path.compare(0, 2, "\\\\") != 0 && path[1] != ':' && path[0] != '/') {
      size_t cut = path.find('\\', 2);
      std::string name = path.substr(0, cut);
      const char *resolved = cfg_ResolveName(name.c_str());
      if (!resolved) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
      path = std::string(resolved) + (cut == std::string::npos ? "" : path.substr(cut));
    }
  } else {
    const char *base = cfg_ResolveName("TSQ_LOGGED_DATA");
    if (!base) return os_SetLastError(OS_ERROR_SUCCESS), -1;
    if (os_GetFileAttributes(base) == OS_INVALID_FILE_ATTRIBUTES && os_MakeDirectory(base) != 0) return -1;
    path = std::string(base) + Separator(base) + (logger ? logger : "");
  }
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  // The longest name a run of this prefix takes must fit the path limit;
  // refused before any file is touched, never cut.
  if (path.size() + 1 + prefixLength + LOG_CLOSED_STAMP_LEN > kPathMax)
    return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
  if (CLogCollection::Open(nullptr, nullptr, nullptr, prefix, access) != 0) return -1;
  memcpy(folder_, path.c_str(), path.size() + 1);
  remote_ = false;
  names_.clear();
  next_ = 0;
  log_StatusFeedCollection(folder_, prefix, 0, logger);
  return MakeFolder(access);
}

int CLogFileCollection::MakeFolder(uint32_t access) {
  uint32_t a = os_GetFileAttributes(folder_);
  if (a != OS_INVALID_FILE_ATTRIBUTES) return (a & OS_FILE_ATTRIBUTE_DIRECTORY) ? 0 : (os_Fail(OS_ERROR_PATH_NOT_FOUND), -1);
  std::string host, subPath;
  if (!(access & OS_GENERIC_WRITE) && RemoteParts(&host, &subPath)) {
    // Only a server that answers the listing makes the folder usable.
    if (srv_CountDirectory(host.c_str(), subPath.c_str(), "*.odl") < 0) return FailRemote(host.c_str()), -1;
    remote_ = true;
    return 0;
  }
  if (!(access & OS_GENERIC_WRITE)) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
  if (os_MakeDirectory(folder_) == 0) return 0;
  std::string path = folder_;
  size_t from = 0;
  if (path.compare(0, 2, "\\\\") == 0) {
    // Past "\\server\share".
    size_t server = path.find('\\', 2);
    from = server == std::string::npos ? path.size() : path.find('\\', server + 1);
    if (from == std::string::npos) from = path.size();
  } else {
    from = path.find('\\');
    if (from == std::string::npos) from = path.size();
  }
  // The upper levels (a country's and above, else the logged-data folder's)
  // belong to the installation and are never made here.
  long limit = asset_FolderLimit(folder_, strcmp(prod_GetProductName(), "Rimfold") == 0);
  for (size_t sep = from; sep < path.size(); sep = path.find('\\', sep + 1)) {
    size_t end = path.find('\\', sep + 1);
    std::string level = path.substr(0, end == std::string::npos ? path.size() : end);
    if (os_GetFileAttributes(level.c_str()) == OS_INVALID_FILE_ATTRIBUTES) {
      if (limit >= 0 && static_cast<long>(sep) <= limit) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
      if (os_MakeDirectory(level.c_str()) != 0 && os_GetLastError() != OS_ERROR_ALREADY_EXISTS) return -1;
    }
    if (end == std::string::npos) break;
  }
  a = os_GetFileAttributes(folder_);
  return a != OS_INVALID_FILE_ATTRIBUTES && (a & OS_FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

void CLogFileCollection::Purge(const int32_t *cutOff) {
  if (!cutOff || !folder_[0]) return;
  // One reading of each name; only the names taken are kept, by extension,
  // as the deletes keep the extensions' order.
  struct Take {
    const char *prefix;
    int32_t cutOff;
    std::vector<std::string> names[4];
  } take{prefix_, *cutOff, {}};
  auto classify = [](const char *name, bool isDir, void *ctx) {
    static const char *const kExts[] = {".odl", ".txt", ".tsq", ".zip"};
    Take *t = static_cast<Take *>(ctx);
    const char *dot = strrchr(name, '.');
    if (isDir || !dot) return 0;
    for (size_t k = 0; k < 4; ++k)
      if (os_CompareNoCase(dot, kExts[k]) == 0) {
        if (log_PurgeTakes(name, kExts[k], t->prefix, t->cutOff)) t->names[k].emplace_back(name);
        break;
      }
    return 0;
  };
  if (os_ScanDirectory(folder_, classify, &take) < 0) return;
  // Runs are made in the order of their names: deleting in that order frees
  // their inodes in order too, much faster than in the listing's hash order.
  for (std::vector<std::string> &names : take.names) std::sort(names.begin(), names.end());
  // A run its writer holds stays: the delete is refused, and its companions
  // stay with it. The companions go in one batch, in the extensions' order.
  std::vector<const char *> texts;
  for (const std::string &n : take.names[0]) texts.push_back(n.c_str());
  std::vector<uint32_t> errors(texts.size());
  // A read-only run goes too, as when made normal first.
  if (os_DeleteFilesIn(folder_, texts.data(), texts.size(), true, errors.data()) < 0) return;
  std::vector<std::string> held;
  for (size_t i = 0; i < texts.size(); ++i)
    if (errors[i] == OS_ERROR_SHARING_VIOLATION) held.push_back(take.names[0][i].substr(0, take.names[0][i].size() - 4));
  auto isHeld = [&held](const std::string &n) {
    for (const std::string &h : held)
      if (n.size() == h.size() + 4 && os_CompareNoCaseN(n.c_str(), h.c_str(), h.size()) == 0) return true;
    return false;
  };
  texts.clear();
  for (size_t k = 1; k < 4; ++k)
    for (const std::string &n : take.names[k])
      if (!isHeld(n)) texts.push_back(n.c_str());
  errors.assign(texts.size(), 0);
  os_DeleteFilesIn(folder_, texts.data(), texts.size(), true, errors.data());
}

bool CLogFileCollection::RemoteParts(std::string *host, std::string *subPath) const {
  if (strncmp(folder_, "\\\\", 2) != 0) return false;
  const char *name = folder_ + 2, *cut = strchr(name, '\\');
  if (!cut || cut == name || !cut[1]) return false;
  host->assign(name, static_cast<size_t>(cut - name));
  if (os_IsLocalHost(host->c_str())) return false;
  subPath->assign(cut + 1);
  return true;
}

void CLogFileCollection::FailRemote(const char *host) {
  uint32_t e = os_GetLastError();
  const char *why = e == OS_ERROR_FILENAME_EXCED_RANGE ? "a name over 255 characters"
                    : e == OS_ERROR_INVALID_DATA       ? "a count its names do not match"
                                                       : "no answer";
  char full[sizeof error_];
  snprintf(full, sizeof full, "Directory listing of %s from %s failed: %s (%u)", folder_, host, why, e);
  Fail("Remote listing failed", full);
  os_SetLastError(e);
}

int CLogFileCollection::FirstRemoteRun() {
  std::string host, subPath;
  if (!RemoteParts(&host, &subPath)) return 0;
  int count = srv_CountDirectory(host.c_str(), subPath.c_str(), "*.odl");
  if (count <= 0) return count < 0 ? (FailRemote(host.c_str()), 0) : 0;
  // The count is bounded, so its slots' size cannot wrap.
  std::unique_ptr<char[][CFG_DF_NAME]> slots(new (std::nothrow) char[static_cast<size_t>(count)][CFG_DF_NAME]);
  if (!slots) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), 0;
  // The folder may have shrunk since the count: only the names that arrived.
  int got = srv_ListDirectoryStrict(host.c_str(), subPath.c_str(), "*.odl", 0, slots.get(), count);
  if (got < 0) return FailRemote(host.c_str()), 0;
  names_.reserve(static_cast<size_t>(got));
  for (int i = 0; i < got; ++i) names_.emplace_back(slots[i]);
  return names_.empty() ? 0 : 1;
}

int CLogFileCollection::FirstRun(uint32_t *nameCapacity) {
  names_.clear();
  next_ = 0;
  if (!folder_[0]) return 0;
  if (remote_) {
    if (!FirstRemoteRun()) return 0;
  } else if (os_ListDirectory(folder_, &CollectNames, &names_) < 0 || names_.empty()) {
    return 0;
  }
  if (nameCapacity) *nameCapacity = 256;
  return 1;
}

int CLogFileCollection::NextRun(char *name, LogRunTime *start, LogRunTime *end) {
  while (next_ < names_.size()) {
    const std::string &n = names_[next_++];
    LogRunName run;
    if (!log_ParseRunName(n.c_str(), ".odl", &run)) continue;
    if (name) {
      memcpy(name, n.c_str(), n.size() + 1);
      name[n.size() - 1] = static_cast<char>(static_cast<unsigned char>(name[n.size() - 1]) & 0x7F);
    }
    if (start) *start = LogRunTime{static_cast<int32_t>(run.start), 0};
    if (end) *end = LogRunTime{static_cast<int32_t>(run.end), 0};
    return 1;
  }
  names_.clear();
  next_ = 0;
  os_SetLastError(OS_ERROR_SUCCESS);
  return 0;
}

namespace {

// The newest run FindRun has met so far.
struct Newest {
  const char *prefix;
  bool allRuns;
  bool byName;  // names come unsorted: of equal starts the one a sorted listing gives first wins
  bool found;
  std::string listed, name;  // as listed, and as NextRun delivers it
  LogRunTime start, end;
};

// One listed name for FindRun, read as NextRun delivers it.
void ConsiderRun(Newest *w, const char *name) {
  LogRunName run;
  if (!log_ParseRunName(name, ".odl", &run)) return;
  if (!w->allRuns && !log_RunOfPrefix(name, run, w->prefix)) return;
  const int32_t start = static_cast<int32_t>(run.start);
  if (w->found && start < w->start.seconds) return;
  if (w->found && start == w->start.seconds && (!w->byName || strcmp(name, w->listed.c_str()) >= 0)) return;
  w->listed.assign(name);
  w->name.assign(name);
  w->name.back() = static_cast<char>(static_cast<unsigned char>(w->name.back()) & 0x7F);
  w->start = LogRunTime{start, 0};
  w->end = LogRunTime{static_cast<int32_t>(run.end), 0};
  w->found = true;
}

int ConsiderListed(const char *name, bool isDir, void *ctx) {
  if (!isDir) ConsiderRun(static_cast<Newest *>(ctx), name);
  return 0;
}

}  // namespace

int CLogFileCollection::FindRun(char *name, uint32_t *capacity, LogRunTime *start, LogRunTime *end, int allRuns) {
  Newest w{prefix_, allRuns != 0, !remote_, false, {}, {}, {}, {}};
  // A local folder is read as the file system gives it: a folder of many
  // runs is neither copied nor sorted first.
  if (remote_) {
    if (!FirstRun(nullptr)) return 0;
    for (const std::string &n : names_) ConsiderRun(&w, n.c_str());
    names_.clear();
    next_ = 0;
  } else {
    names_.clear();
    next_ = 0;
    if (!folder_[0] || os_ScanDirectory(folder_, &ConsiderListed, &w) < 0) return 0;
  }
  os_SetLastError(OS_ERROR_SUCCESS);
  if (!w.found) return 0;
  size_t len = w.name.size();
  if (name && capacity) {
    if (len + 1 > *capacity) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), 0;
    memcpy(name, w.name.c_str(), len + 1);
  }
  if (capacity) *capacity = static_cast<uint32_t>(len + 1);
  if (start) *start = w.start;
  if (end) *end = w.end;
  return 1;
}

CLogStore *CLogFileCollection::CreateRun(const int32_t *start, int, void *, LogFileHeader *h, const char *headerText,
                                         int copyConfig, const char *channelSource, void *,
                                         ChannelRecord **blockRecords) {
  return Create(start, h, headerText ? std::string(headerText) : std::string(), headerText != nullptr, copyConfig,
                channelSource, blockRecords);
}

CLogStore *CLogFileCollection::CreateRunW(const int32_t *start, int, void *, LogFileHeader *h,
                                          const uint16_t *headerText, int copyConfig, const char *channelSource,
                                          void *, ChannelRecord **blockRecords) {
  std::string bytes;
  if (headerText) {
    bytes = "\xFF\xFE";
    for (const uint16_t *p = headerText; *p; ++p) {
      bytes += static_cast<char>(*p & 0xFF);
      bytes += static_cast<char>(*p >> 8);
    }
  }
  return Create(start, h, bytes, headerText != nullptr, copyConfig, channelSource, blockRecords);
}

CLogStore *CLogFileCollection::Create(const int32_t *start, LogFileHeader *h, const std::string &textBytes,
                                      bool hasText, int copyConfig, const char *channelSource,
                                      ChannelRecord **blockRecords) {
  if (!start || !h || !folder_[0]) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  char stamp[14];
  log_FormatStamp(*start, stamp);
  std::string data = Join(std::string(prefix_) + std::string(stamp, 13) + ".odl");
  if (data.size() > kPathMax) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), nullptr;
  CLogFileStore *store = new (std::nothrow) CLogFileStore();
  if (!store) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  // The data file's name is claimed first: a second run in the same second
  // is refused before it can replace the first run's companions.
  const char *server = channelSource && *channelSource ? channelSource : nullptr;
  if (store->Create(data.c_str(), h, blockRecords, server) != 0) {
    uint32_t e = os_GetLastError();
    delete store;
    return os_SetLastError(e), nullptr;
  }
  std::string text = WithExt(data, ".txt"), tsq = WithExt(data, ".tsq");
  bool madeText = false, madeTsq = false, ok = true;
  if (hasText) ok = madeText = WriteWhole(text.c_str(), textBytes);
  if (ok && copyConfig) {
    // The archive is made of the configuration folder, the parent of the
    // caller's "LOGGERS"; the caller is left in "LOGGERS".
    char cwd[1024];
    ok = os_GetCurrentDirectory(cwd, sizeof cwd) == 0;
    std::string parent = ok ? std::string(cwd) : std::string();
    size_t cut = parent.rfind('/');
    parent = cut == std::string::npos || cut == 0 ? std::string("/") : parent.substr(0, cut);
    ok = ok && os_SetCurrentDirectory(parent.c_str()) == 0;
    if (ok) {
      ok = madeTsq = tm_ArchiveConfig(tsq.c_str(), nullptr, 0) == 0;
      uint32_t e = os_GetLastError();
      os_SetCurrentDirectory((parent == "/" ? parent : parent + "/").append("LOGGERS").c_str());
      os_SetLastError(e);
    }
  }
  if (ok) return store;
  uint32_t e = os_GetLastError();
  store->Close();
  delete store;
  os_DeleteFile(data.c_str());
  if (madeText) os_DeleteFile(text.c_str());
  if (madeTsq) os_DeleteFile(tsq.c_str());
  os_SetLastError(e);
  return nullptr;
}

CLogStore *CLogFileCollection::OpenStore(const char *run, uint32_t access) {
  if (!run) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  std::string path = Join(run);
  if (path.size() > kPathMax) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), nullptr;
  CLogFileStore *store = new (std::nothrow) CLogFileStore();
  if (!store) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  if (store->Open(nullptr, path.c_str(), access) != 0) {
    uint32_t e = os_GetLastError();
    delete store;
    return os_SetLastError(e), nullptr;
  }
  return store;
}

int CLogFileCollection::UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *prefix, int text,
                                         int copyConfig) {
  char old[260];
  uint32_t size = sizeof old;
  if (!store) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  store->GetName(old, &size);
  const char *p = prefix ? prefix : "";
  const char *name = NamePart(old);
  if (name == old || os_CompareNoCaseN(name, p, strlen(p)) != 0) {
    char full[sizeof error_];
    snprintf(full, sizeof full, "Prefixes don't match, Path %s, LogPrefix %s", old, p);
    return Fail("Prefixes don't match", full), -1;
  }
  std::string oldText;
  if (text) {
    if (!log_FindRunText(old, &oldText) && oldText.empty())
      return Fail("Cant determine text file name", "Cant determine text file name"), -1;
    if (os_GetFileAttributes(oldText.c_str()) == OS_INVALID_FILE_ATTRIBUTES) {
      int err = static_cast<int>(os_GetLastError());
      char s[sizeof summary_], full[sizeof error_];
      snprintf(s, sizeof s, "Cant access text file %d", err);
      snprintf(full, sizeof full, "Cant access text file %d %s", err, oldText.c_str());
      return Fail(s, full), -1;
    }
  }
  std::string oldTsq = WithExt(old, ".tsq");
  if (copyConfig && os_GetFileAttributes(oldTsq.c_str()) == OS_INVALID_FILE_ATTRIBUTES) return -1;
  uint32_t offset = endOffset;
  if (store->UseforLogging(&offset) != 0) {
    uint32_t e = os_GetLastError();
    char full[64];
    snprintf(full, sizeof full, "UseforLogging failed %u %u", e, e);
    Fail(full, full);
    return os_SetLastError(e), -1;
  }
  char now[260];
  size = sizeof now;
  store->GetName(now, &size);
  if (text) MoveCompanion(oldText, WithExt(now, ".txt"), OS_FILE_ATTRIBUTE_NORMAL);
  if (copyConfig && strcmp(old, now) != 0) MoveCompanion(oldTsq, WithExt(now, ".tsq"), OS_FILE_ATTRIBUTE_NORMAL);
  return 0;
}

int CLogFileCollection::CloseRun(CLogStore *store, const int32_t *start, const int32_t *end, int readOnly) {
  if (!store) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  char old[260];
  uint32_t size = sizeof old;
  store->GetName(old, &size);
  store->Close();
  std::string oldText;
  bool hasText = log_FindRunText(old, &oldText);
  if (!start) {
    // Refused while another process still writes it: its companions stay too.
    if (os_DeleteFile(old) != 0) return -1;
    if (hasText) os_DeleteFile(oldText.c_str());
    for (const char *ext : {".tsq", ".zip"}) os_DeleteFile(WithExt(old, ext).c_str());
    return 0;
  }
  const char *name = NamePart(old);
  uint32_t tail = log_StampTail(name, ".odl");
  if (tail == 0) return os_Fail(OS_ERROR_INVALID_NAME), -1;
  char s[14], e[14];
  log_FormatStamp(*start, s);
  std::string renamed = std::string(old, strlen(old) - tail) + s;
  if (end) {
    log_FormatStamp(*end, e);
    renamed += std::string("_") + e;
  }
  renamed += ".odl";
  if (renamed.size() > kPathMax) return 0;
  if (strcmp(renamed.c_str(), old) != 0 && os_MoveFile(old, renamed.c_str()) != 0) return 0;
  uint32_t attributes = readOnly ? OS_FILE_ATTRIBUTE_READONLY : OS_FILE_ATTRIBUTE_NORMAL;
  os_SetFileAttributes(renamed.c_str(), attributes);
  if (CLogFileStore *fs = dynamic_cast<CLogFileStore *>(store)) fs->SetPath(renamed.c_str());
  if (!hasText) hasText = log_FindRunText(renamed.c_str(), &oldText);
  if (hasText) MoveCompanion(oldText, WithExt(renamed, ".txt"), attributes);
  for (const char *ext : {".tsq", ".zip"}) MoveCompanion(WithExt(old, ext), WithExt(renamed, ext), attributes);
  return 0;
}

void CLogFileCollection::GetStorePath(const char *run, char *out, uint32_t *length) {
  if (!run) return;
  size_t n = strlen(folder_) + strlen(run) + 2;
  if (length) {
    if (out && *length < n) return;
    *length = static_cast<uint32_t>(n);
  }
  if (out) snprintf(out, n, "%s%c%s", folder_, Separator(folder_), run);
}
