#include "platform/os_profile.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"

namespace {

using Lines = std::vector<std::string>;

std::string Trim(const std::string &s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

bool SameName(const std::string &a, const char *b) {
  size_t n = strlen(b);
  return a.size() == n && (n == 0 || os_CompareNoCaseN(a.data(), b, n) == 0);
}

// False only when the file is there but cannot be read.
bool Load(const char *path, Lines *lines) {
  FILE *f = os_FOpen(path, "rb");
  if (f == nullptr) return os_GetLastError() == OS_ERROR_FILE_NOT_FOUND;
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines->push_back(line);
      line.clear();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty()) lines->push_back(line);
  fclose(f);
  return true;
}

bool IsSection(const std::string &line, std::string *name) {
  std::string t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  if (name) *name = Trim(t.substr(1, close - 1));
  return true;
}

// [first, end) of the section's body; first = npos when it is missing.
void FindSection(const Lines &lines, const char *section, size_t *head, size_t *end) {
  *head = std::string::npos;
  std::string name;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!IsSection(lines[i], &name)) continue;
    if (*head != std::string::npos) {
      *end = i;
      return;
    }
    if (SameName(name, section)) *head = i;
  }
  *end = lines.size();
}

bool KeyOf(const std::string &line, std::string *key, std::string *value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string t = Trim(line.substr(0, eq));
  if (!t.empty() && t[0] == ';') return false;
  *key = t;
  if (value) *value = Trim(line.substr(eq + 1));
  return true;
}

bool Store(const char *path, const Lines &lines) {
  static std::atomic<unsigned> serial{0};
  std::string tmp = std::string(path) + ".~" + std::to_string(os_GetCurrentProcessId()) + "_" +
                    std::to_string(serial.fetch_add(1));
  FILE *f = os_FOpen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = true;
  for (const std::string &l : lines)
    ok = ok && fwrite(l.data(), 1, l.size(), f) == l.size() && fwrite("\r\n", 1, 2, f) == 2;
  ok = (fclose(f) == 0) && ok;
  if (!ok || os_ReplaceFile(path, tmp.c_str()) != 0) {
    uint32_t error = ok ? os_GetLastError() : OS_ERROR_WRITE_FAULT;
    os_DeleteFile(tmp.c_str());
    os_SetLastError(error);
    return false;
  }
  return true;
}

bool BadName(const char *name) {
  return name == nullptr || strpbrk(name, "\r\n") != nullptr || strchr(name, ']') != nullptr;
}

}  // namespace

size_t os_GetProfileString(const char *section, const char *key, const char *fallback, char *out,
                           size_t size, const char *path) {
  if (out == nullptr || size == 0) return 0;
  std::string result = fallback ? fallback : "";
  Lines lines;
  if (section && key && Load(path, &lines)) {
    size_t head, end;
    FindSection(lines, section, &head, &end);
    std::string k, v;
    if (head != std::string::npos)
      for (size_t i = head + 1; i < end; ++i)
        if (KeyOf(lines[i], &k, &v) && SameName(k, key)) {
          result = v;
          break;
        }
  }
  size_t n = result.size() < size - 1 ? result.size() : size - 1;
  memcpy(out, result.data(), n);
  out[n] = '\0';
  return strlen(out);
}

int os_WriteProfileString(const char *section, const char *key, const char *value, const char *path) {
  if (BadName(section) || (key && (BadName(key) || strchr(key, '='))) ||
      (value && strpbrk(value, "\r\n"))) {
    os_SetLastError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  Lines lines;
  if (!Load(path, &lines)) return 0;
  size_t head, end;
  FindSection(lines, section, &head, &end);
  if (key == nullptr) {
    if (head != std::string::npos) lines.erase(lines.begin() + static_cast<long>(head), lines.begin() + static_cast<long>(end));
    return Store(path, lines) ? 1 : 0;
  }
  if (head == std::string::npos) {
    if (value == nullptr) return Store(path, lines) ? 1 : 0;
    lines.push_back("[" + std::string(section) + "]");
    head = lines.size() - 1;
    end = lines.size();
  }
  std::string k;
  size_t at = std::string::npos;
  for (size_t i = head + 1; i < end; ++i)
    if (KeyOf(lines[i], &k, nullptr) && SameName(k, key)) {
      at = i;
      break;
    }
  if (value == nullptr) {
    if (at != std::string::npos) lines.erase(lines.begin() + static_cast<long>(at));
  } else if (at != std::string::npos) {
    lines[at] = k + "=" + value;  // the file keeps its own spelling of the name
  } else {
    // After the section's last non-blank line, so blank separators stay below.
    size_t put = end;
    while (put > head + 1 && Trim(lines[put - 1]).empty()) --put;
    lines.insert(lines.begin() + static_cast<long>(put), std::string(key) + "=" + value);
  }
  return Store(path, lines) ? 1 : 0;
}

size_t os_GetProfileSection(const char *section, char *out, size_t size, const char *path) {
  if (out == nullptr || size < 2) return 0;
  out[0] = out[1] = '\0';
  Lines lines;
  if (section == nullptr || !Load(path, &lines)) return 0;
  size_t head, end;
  FindSection(lines, section, &head, &end);
  if (head == std::string::npos) return 0;
  size_t used = 0;
  for (size_t i = head + 1; i < end; ++i) {
    std::string t = Trim(lines[i]);
    if (t.empty() || memchr(t.data(), '\0', t.size())) continue;
    if (used + t.size() + 2 > size) break;
    memcpy(out + used, t.data(), t.size());
    used += t.size();
    out[used++] = '\0';
  }
  out[used] = '\0';
  if (used == 0) out[1] = '\0';
  return used;
}

int os_WriteProfileSection(const char *section, const char *lines, const char *path) {
  if (BadName(section) || lines == nullptr) {
    os_SetLastError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  Lines body;
  const char *p = lines;
  while (*p) {
    size_t n = strcspn(p, "\r\n");
    if (n > 0) body.emplace_back(p, n);
    p += n;
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
  }
  Lines file;
  if (!Load(path, &file)) return 0;
  size_t head, end;
  FindSection(file, section, &head, &end);
  if (head == std::string::npos) {
    file.push_back("[" + std::string(section) + "]");
    file.insert(file.end(), body.begin(), body.end());
  } else {
    file.erase(file.begin() + static_cast<long>(head + 1), file.begin() + static_cast<long>(end));
    file.insert(file.begin() + static_cast<long>(head + 1), body.begin(), body.end());
  }
  return Store(path, file) ? 1 : 0;
}
