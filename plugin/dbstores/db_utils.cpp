#include "plugin/dbstores/db_utils.h"

TmSplit tm_SplitMilliseconds(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  TmSplit s;
  int64_t minutes = milliseconds / 60000;
  s.minutes = static_cast<uint8_t>(minutes > 99 ? 99 : minutes);
  s.seconds = static_cast<uint8_t>(milliseconds / 1000 % 60);
  s.milliseconds = static_cast<uint16_t>(milliseconds % 1000);
  return s;
}
