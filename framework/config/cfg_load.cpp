// Minimal loading until the configuration files land: the binary device and
// settings files are read as they lie; channel records stay as the server
// wrote them into the configuration area.
#include "framework/config/cfg_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_file.h"

static int ReadAt(const char *path, off_t offset, void *buf, size_t n, bool mustExist) {
  int fd = os_Open(path, O_RDONLY, 0);
  if (fd < 0) {
    if (!mustExist && errno == 2) return memset(buf, 0, n), 0;
    return -1;
  }
  ssize_t got = pread(fd, buf, n, offset);
  int e = errno;
  close(fd);
  if (got < 0) return errno = e, -1;
  if (static_cast<size_t>(got) < n) memset(static_cast<uint8_t *>(buf) + got, 0, n - static_cast<size_t>(got));
  return 0;
}

int cfg_LoadDeviceConfig(void *buffer, uint32_t size) { return ReadAt("config", 1, buffer, size, true); }

int sav_LoadSettings(uint8_t *saveOutputs, uint8_t *saveByTag, uint32_t *saveRate) {
  uint8_t raw[6];
  if (ReadAt("saveconfig", 0, raw, sizeof raw, true) != 0) return -1;
  if (saveOutputs) *saveOutputs = raw[0];
  if (saveByTag) *saveByTag = raw[1];
  if (saveRate) memcpy(saveRate, raw + 2, 4);
  return 0;
}

int32_t cfg_ReloadChannelTable(int ioType, ChannelAreaHeader *header) {
  struct stat st;
  if (os_Stat(chan_KindShortName(ioType), &st) != 0) return -1;
  struct tm utc;
  time_t t = st.st_mtim.tv_sec;
  gmtime_r(&t, &utc);
  TmCalendar cal{static_cast<uint16_t>(utc.tm_year + 1900), static_cast<uint16_t>(utc.tm_mon + 1),
                 static_cast<uint16_t>(utc.tm_wday), static_cast<uint16_t>(utc.tm_mday),
                 static_cast<uint16_t>(utc.tm_hour), static_cast<uint16_t>(utc.tm_min),
                 static_cast<uint16_t>(utc.tm_sec), static_cast<uint16_t>(st.st_mtim.tv_nsec / 1000000)};
  TimeStamp stamp;
  tm_FromSystemTime(&cal, &stamp);
  if (stamp.seconds == header->changed.seconds && stamp.ms == header->changed.ms) return 0;
  header->changed = stamp;
  char code[3] = {header->code[0], header->code[1], 0};
  if (void *conf = shm_OpenConfArea(code)) shm_NotifyChange(conf, 0);
  return static_cast<int32_t>(header->count) * CHAN_RECORD_SIZE;
}

void *fw_Allocate(size_t size) { return malloc(size ? size : 1); }
void fw_Free(void *p) { free(p); }
