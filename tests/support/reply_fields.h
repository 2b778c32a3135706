#pragma once
// The field rule of the pump replies, written apart from the scanner's own
// code so that tests can check it: from `start`, past n commas, one comma
// skipped, up to the next comma or the end, at most 19 characters; false
// when there is no such field.
#include <cstddef>
#include <string>

namespace tnwtest {

inline bool ReplyFieldText(const std::string &text, int n, size_t start, std::string *out) {
  if (start > text.size()) return false;
  size_t p = start;
  for (int commas = 0; commas < n; ++p) {
    if (p >= text.size()) return false;
    if (text[p] == ',') ++commas;
  }
  if (p < text.size() && text[p] == ',') ++p;
  size_t end = p;
  while (end < text.size() && text[end] != ',' && end - p < 19) ++end;
  *out = text.substr(p, end - p);
  return true;
}

}  // namespace tnwtest
