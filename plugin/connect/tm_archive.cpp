#include "plugin/connect/tm_archive.h"


#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/config/cfg_path.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_path.h"
#include "platform/os_spawn.h"
#include "plugin/connect/tm_utils.h"

namespace {

enum { kPathMax = 1024 };

std::string Unquoted(const char *s) {
  std::string t = s ? s : "";
  if (!t.empty() && t.front() == '"') t.erase(0, 1);
  if (!t.empty() && t.back() == '"') t.pop_back();
  return t;
}

std::string Linux(const std::string &windowsPath) {
  char out[kPathMax];
  if (os_TranslatePath(windowsPath.c_str(), out, sizeof out) != 0) return std::string();
  return out;
}

bool IsFolder(const std::string &path) {
  uint32_t attributes = os_GetFileAttributes(path.c_str());
  return attributes != OS_INVALID_FILE_ATTRIBUTES && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY);
}

bool StartsWithNoCase(const char *s, const char *prefix) { return os_CompareNoCaseN(s, prefix, strlen(prefix)) == 0; }

// The extra folder names: "ExtraSaveDirs" when set, else REPLAY_OPTIONS and
// the folders of the installed edition.
std::vector<std::string> ExtraFolders() {
  char value[kPathMax];
  uint32_t type = 0, size = sizeof value - 1;
  std::string list;
  if (reg_AccessValue(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 1, "ExtraSaveDirs", &type, value,
                      &size) == 0 && type == OS_REG_SZ) {
    value[size < sizeof value ? size : sizeof value - 1] = '\0';
    list = value;
  } else {
    const char *product = prod_GetProductName();
    bool rimfold = StartsWithNoCase(product, "RIMFOLD");
    bool vornMirka = StartsWithNoCase(product, "VORN") || StartsWithNoCase(product, "MIRKA");
    list = "REPLAY_OPTIONS";
    if (rimfold || vornMirka) list += ";CMONITORS;TRENDS";
    if (rimfold) list += ";MONITORS;AMONITORS";
    if (vornMirka) list += ";MONPICLIB;DATA_IMP";
    if (rimfold) list += ";WEBHMI";
  }
  std::vector<std::string> names;
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    if (end > at) names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// Each neighbour folder that exists, once.
void AddNeighbour(std::vector<std::string> &out, const std::string &path) {
  if (!IsFolder(path)) return;
  for (const std::string &p : out)
    if (os_CompareNoCase(p.c_str(), path.c_str()) == 0) return;
  out.push_back(path);
}

int Run(const std::vector<std::string> &args, OsProgramRun *run) {
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return os_RunProgram(argv.data(), run);
}

int Fail(uint32_t code) {
  os_Fail(code);
  return -1;
}

// tar of "." and the neighbours into tarFile (a Linux path). Anything on its
// standard error is a failure: the tar file goes. The neighbours keep their
// "../" (-P), as they are restored beside the configuration folder; GNU tar
// would otherwise strip it with a warning.
int RunTar(const std::string &tarFile, const std::vector<std::string> &neighbours) {
  std::vector<std::string> args = {"tar", "-P", "-cf", tarFile, "."};
  args.insert(args.end(), neighbours.begin(), neighbours.end());
  OsProgramRun run;
  if (Run(args, &run) != 0) return -1;
  if (run.err.empty() && run.exitCode == 0) return 0;
  os_DeleteFile(tarFile.c_str());
  return Fail(run.exitCode ? run.exitCode : OS_ERROR_WRITE_FAULT);
}

// The compress program: the one beside the binaries first, as Windows looks
// in the application's folder before the path.
std::string CompressProgram() {
  const char *bin = cfg_GetFolder("TSQ_BIN");
  if (bin) {
    std::string own = Linux(cfg_JoinPath(bin, "compress"));
    if (!own.empty() && os_CheckAccess(own.c_str(), OS_GENERIC_EXECUTE) == 0) return own;
  }
  return "compress";
}

}  // namespace

int tm_ArchiveConfig(const char *archiveText, const char *, int includeExtra) {
  std::string archive = Unquoted(archiveText);
  if (archive.size() < 4) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string archiveLinux = Linux(archive);
  if (archiveLinux.empty()) return -1;
  const char *ext = archive.c_str() + archive.size() - 4;
  bool tsq = os_CompareNoCase(ext, ".tsq") == 0, tar = os_CompareNoCase(ext, ".tar") == 0;

  std::vector<std::string> extras = includeExtra ? ExtraFolders() : std::vector<std::string>();
  if (tsq || tar) {
    std::vector<std::string> neighbours;
    AddNeighbour(neighbours, "../SAVED_VALUES");
    AddNeighbour(neighbours, "../REPLAY_OPTIONS");
    for (const std::string &name : extras) AddNeighbour(neighbours, "../" + name);
    if (tar) return RunTar(archiveLinux, neighbours);

    const char *savedFolder = cfg_GetFolder("TSQ_SAVED_CONFIG");
    if (!savedFolder) return -1;
    std::string saved = savedFolder;  // the next folder lookup reuses the buffer
    std::string base = archive.substr(archive.find_last_of("\\/") == std::string::npos ? 0 : archive.find_last_of("\\/") + 1);
    base = base.substr(0, base.size() - 4);
    std::string tarFile = Linux(cfg_JoinPath(saved, (base + ".tar").c_str()));
    if (tarFile.empty()) return -1;
    if (RunTar(tarFile, neighbours) != 0) return -1;
    OsProgramRun run;
    int rc = Run({CompressProgram(), tarFile, archiveLinux}, &run);
    uint32_t err = os_GetLastError();
    os_DeleteFile(tarFile.c_str());
    if (rc != 0) return Fail(err);
    // Success is the program's word and the archive there, not a word in its output.
    if (run.exitCode != 0) return Fail(run.exitCode);
    if (os_GetFileAttributes(archiveLinux.c_str()) == OS_INVALID_FILE_ATTRIBUTES) return Fail(OS_ERROR_FILE_NOT_FOUND);
    return 0;
  }

  const char *bin = cfg_GetFolder("TSQ_BIN");
  if (!bin) return -1;
  std::string tool = Linux(cfg_JoinPath(bin, "qfzip"));
  char here[kPathMax];
  if (tool.empty() || os_GetCurrentDirectory(here, sizeof here) != 0) return -1;
  std::string parent = here;
  parent = parent.substr(0, parent.find_last_of('/'));
  std::vector<std::string> folders;
  AddNeighbour(folders, parent + "/SAVED_VALUES");
  AddNeighbour(folders, parent + "/REPLAY_OPTIONS");
  for (const std::string &name : extras) AddNeighbour(folders, parent + "/" + name);
  std::vector<std::string> args = {tool, "-a", "-r", archiveLinux, here};
  args.insert(args.end(), folders.begin(), folders.end());
  OsProgramRun run;
  if (Run(args, &run) != 0) return -1;
  return run.exitCode == 0 ? 0 : Fail(run.exitCode);
}
