#include "framework/registry/ewf_guard.h"

#include <cerrno>
#include <mutex>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"

namespace {

std::mutex g_lock;
bool g_sdkLoaded;
OsModuleHandle g_sdk;
bool g_examined;
bool g_disabledHere;

const char kSdkPath[] = "c:\\WINDOWS\\EmbCtlSDK.dll";
const char kEwfKey[] = "SOFTWARE\\EWF";
const char kCommitMutex[] = "Global\\ewf_commit.mut";

// Runs a filter manager command and waits for it. True when it ran and succeeded.
bool RunEwfmgr(const char *commandLine) {
  OsHandle p = os_CreateProcess(commandLine, nullptr);
  if (!p) return false;
  os_WaitForSingleObject(p, OS_INFINITE);
  uint32_t code = 1;
  os_GetExitCodeProcess(p, &code);
  os_CloseHandle(p);
  if (code != 0) os_SetLastError(OS_ERROR_GEN_FAILURE);
  return code == 0;
}

}  // namespace

OsModuleHandle ewf_LoadSdk(void) {
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_sdkLoaded) {
    uint32_t saved = os_GetLastError();
    g_sdk = os_LoadLibrary(kSdkPath);
    g_sdkLoaded = true;
    os_SetLastError(saved);
  }
  return g_sdk;
}

void ewf_ReleaseSdk(void) {
  std::lock_guard<std::mutex> g(g_lock);
  if (g_sdk) os_FreeLibrary(g_sdk);
  g_sdk = nullptr;
  g_sdkLoaded = false;
}

int ewf_CommitAndDisable(void) {
  if (!ewf_LoadSdk()) return 1;
  std::lock_guard<std::mutex> g(g_lock);
  if (g_examined) return 1;
  // Look, commit and mark as one step across processes: two first writers of
  // a boot must not both run the command.
  OsHandle machine = os_CreateMutex(kCommitMutex, false, nullptr);
  if (!machine) return 0;
  uint32_t w = os_WaitMutex(machine, OS_INFINITE);
  if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED_0) {
    uint32_t e = os_GetLastError();
    os_CloseHandle(machine);
    os_SetLastError(e);
    return 0;
  }
  bool ok = true;
  OsHKey key = nullptr;
  if (os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kEwfKey, 0, OS_KEY_QUERY_VALUE, &key) == 0) {
    os_RegCloseKey(key);  // this boot's filter was committed already
  } else if (RunEwfmgr("ewfmgr c: -commitanddisable -live")) {
    // The mark goes in only once the command worked, so a failed commit is retried.
    uint32_t disposition = 0;
    if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, kEwfKey, OS_REG_OPTION_VOLATILE, OS_KEY_ALL_ACCESS, nullptr, &key,
                          &disposition) == 0)
      os_RegCloseKey(key);
    g_disabledHere = true;
  } else {
    ok = false;
  }
  uint32_t e = os_GetLastError();
  os_ReleaseMutex(machine);
  os_CloseHandle(machine);
  os_SetLastError(e);
  if (!ok) return 0;
  g_examined = true;
  return 1;
}

int ewf_Enable(void) {
  if (!ewf_LoadSdk()) return 1;
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_disabledHere) return 1;
  OsHandle p = os_CreateProcess("ewfmgr c: -enable", nullptr);
  if (!p) return 0;
  os_WaitForSingleObject(p, OS_INFINITE);
  os_CloseHandle(p);
  g_disabledHere = false;
  return 1;
}

int32_t reg_CreateKeyGuarded(OsHKey root, const char *sub, uint32_t options, uint32_t access,
                             const OsSecurityAttributes *sa, OsHKey *out, uint32_t *disposition) {
  if (!ewf_CommitAndDisable()) return static_cast<int32_t>(os_GetLastError());
  int32_t rc = os_RegCreateKeyEx(root, sub, options, access, sa, out, disposition);
  if (!ewf_Enable()) return static_cast<int32_t>(os_GetLastError());
  return rc;
}

int32_t reg_SetValueGuarded(OsHKey key, const char *name, uint32_t type, const void *data, uint32_t size) {
  if (!ewf_CommitAndDisable()) return static_cast<int32_t>(os_GetLastError());
  int32_t rc = os_RegSetValueEx(key, name, type, data, size);
  if (!ewf_Enable()) return static_cast<int32_t>(os_GetLastError());
  return rc;
}

int32_t reg_DeleteValueGuarded(OsHKey key, const char *name) {
  if (!ewf_CommitAndDisable()) return static_cast<int32_t>(os_GetLastError());
  int32_t rc = os_RegDeleteValue(key, name);
  if (!ewf_Enable()) return static_cast<int32_t>(os_GetLastError());
  return rc;
}

int dbg_DumpHeap(void) {
  errno = ENOSYS;
  return -1;
}
