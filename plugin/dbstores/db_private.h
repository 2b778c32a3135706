// Helpers the database accessors share.
#pragma once
#include <string>

#include "platform/ado/ado.h"
#include "platform/os_handle.h"

namespace dbstores {

// Holds an accessor's lock for one operation.
class Hold {
 public:
  explicit Hold(OsCriticalSection *cs) : cs_(cs) { os_EnterCriticalSection(cs_); }
  ~Hold() { os_LeaveCriticalSection(cs_); }
  Hold(const Hold &) = delete;
  Hold &operator=(const Hold &) = delete;

 private:
  OsCriticalSection *cs_;
};

inline std::string Narrow(const char16_t *w) { return w ? ado::ado_Narrow(std::u16string(w)) : std::string(); }

}  // namespace dbstores
