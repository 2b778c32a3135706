// Variants, dates and the SQLite-to-HRESULT table.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ado/ado.h"
#include "platform/os_codepage.h"

namespace ado {

Variant var_Null() { Variant v; v.vt = VT_NULL; return v; }
Variant var_I2(int16_t x) { Variant v; v.vt = VT_I2; v.iVal = x; return v; }
Variant var_I4(int32_t x) { Variant v; v.vt = VT_I4; v.lVal = x; return v; }
Variant var_R4(float x) { Variant v; v.vt = VT_R4; v.fltVal = x; return v; }
Variant var_R8(double x) { Variant v; v.vt = VT_R8; v.dblVal = x; return v; }
Variant var_Date(double x) { Variant v; v.vt = VT_DATE; v.date = x; return v; }
Variant var_Bool(bool x) { Variant v; v.vt = VT_BOOL; v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; return v; }
Variant var_Str(const std::u16string &x) { Variant v; v.vt = VT_BSTR; v.bstr = x; return v; }
Variant var_Utf8(const std::string &x) { return var_Str(ado_Wide(x)); }
Variant var_Error(int32_t x) { Variant v; v.vt = VT_ERROR; v.scode = x; return v; }
Variant var_Missing() { return var_Error(ADO_E_PARAMNOTFOUND); }
Variant var_Array(uint16_t elemVt, std::vector<Variant> items) {
  Variant v;
  v.vt = (uint16_t)(VT_ARRAY | elemVt);
  v.items = std::move(items);
  return v;
}

std::u16string ado_Wide(const std::string &s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    uint32_t ch = 0;
    i += os_Utf8Decode(s.data() + i, s.size() - i, &ch);
    if (ch >= 0x10000) {
      ch -= 0x10000;
      out.push_back((char16_t)(0xD800 + (ch >> 10)));
      out.push_back((char16_t)(0xDC00 + (ch & 0x3FF)));
    } else {
      out.push_back((char16_t)ch);
    }
  }
  return out;
}

std::string ado_Narrow(const std::u16string &w) {
  size_t n = os_Utf16ToUtf8(w.data(), w.size(), nullptr, 0);
  std::string out(n + 1, '\0');
  os_Utf16ToUtf8(w.data(), w.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

// ---- dates ------------------------------------------------------------------
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (int64_t)doe - 719468;
}

static void CivilFromDays(int64_t z, int *y, int *m, int *d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = (int)(doy - (153 * mp + 2) / 5 + 1);
  *m = (int)(mp < 10 ? mp + 3 : mp - 9);
  *y = (int)(yoe + era * 400 + (*m <= 2));
}

static const int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);

double date_FromParts(int y, int mo, int d, int h, int mi, int s, int ms) {
  double days = (double)(DaysFromCivil(y, (unsigned)mo, (unsigned)d) - kOleEpoch);
  double frac = (h * 3600.0 + mi * 60.0 + s + ms / 1000.0) / 86400.0;
  return days >= 0 ? days + frac : days - frac;
}

static bool DateInRange(double v) {
  // 100-01-01 .. 9999-12-31 23:59:59.999, the range of the type.
  return std::isfinite(v) && v >= -657434.0 && v < 2958466.0;
}

bool date_ToParts(double v, int *y, int *mo, int *d, int *h, int *mi, int *s, int *ms) {
  if (!DateInRange(v)) return false;
  double whole = std::trunc(v);
  double frac = std::fabs(v - whole);
  int64_t days = (int64_t)whole;
  int64_t msDay = std::llround(frac * 86400000.0);
  if (msDay >= 86400000) { msDay -= 86400000; days += v >= 0 ? 1 : -1; }
  CivilFromDays(days + kOleEpoch, y, mo, d);
  *h = (int)(msDay / 3600000);
  *mi = (int)(msDay / 60000 % 60);
  *s = (int)(msDay / 1000 % 60);
  *ms = (int)(msDay % 1000);
  return true;
}

std::string date_ToText(double v) {
  int y, mo, d, h, mi, s, ms;
  if (!date_ToParts(v, &y, &mo, &d, &h, &mi, &s, &ms)) return std::string();
  char buf[40];
  if (ms)
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, mo, d, h, mi, s, ms);
  else
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return buf;
}

// Reads up to `max` digits; -1 when there is none.
static int Digits(const char *&p, int max, int *count) {
  int v = 0, n = 0;
  while (n < max && *p >= '0' && *p <= '9') { v = v * 10 + (*p - '0'); ++p; ++n; }
  if (count) *count = n;
  return n ? v : -1;
}

bool date_FromText(const char *text, double *out) {
  const char *p = text;
  while (*p == ' ') ++p;
  int n1, n2, n3;
  int a = Digits(p, 4, &n1);
  if (a < 0 || (*p != '-' && *p != '/')) return false;
  char sep = *p++;
  int b = Digits(p, 2, &n2);
  if (b < 0 || *p++ != sep) return false;
  int c = Digits(p, 4, &n3);
  if (c < 0) return false;
  int y, mo, d;
  if (n1 == 4) { y = a; mo = b; d = c; if (n3 > 2) return false; }
  else if (sep == '/' && n3 == 4) { mo = a; d = b; y = c; }
  else return false;
  int h = 0, mi = 0, s = 0, ms = 0;
  if (*p == ' ' || *p == 'T') {
    while (*p == ' ' || *p == 'T') ++p;
    if (*p) {
      if ((h = Digits(p, 2, nullptr)) < 0 || *p++ != ':') return false;
      if ((mi = Digits(p, 2, nullptr)) < 0) return false;
      if (*p == ':') {
        ++p;
        if ((s = Digits(p, 2, nullptr)) < 0) return false;
        if (*p == '.') {
          ++p;
          int nd = 0;
          int f = Digits(p, 3, &nd);
          if (f < 0) return false;
          while (nd++ < 3) f *= 10;
          ms = f;
          while (*p >= '0' && *p <= '9') ++p;
        }
      }
    }
  }
  while (*p == ' ') ++p;
  if (*p) return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap))
    return false;
  if (h > 23 || mi > 59 || s > 59) return false;
  *out = date_FromParts(y, mo, d, h, mi, s, ms);
  return true;
}

// ---- conversions ------------------------------------------------------------
static bool TextToNumber(const std::u16string &w, double *out) {
  std::string s = ado_Narrow(w);
  const char *p = s.c_str();
  while (*p == ' ') ++p;
  if (!*p) return false;
  char *end = nullptr;
  double v = strtod(p, &end);
  while (*end == ' ') ++end;
  if (*end || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

static HRESULT ToNumber(const Variant &in, double *out) {
  switch (in.vt) {
    case VT_EMPTY: *out = 0; return ADO_S_OK;
    case VT_I2: *out = in.iVal; return ADO_S_OK;
    case VT_I4: *out = in.lVal; return ADO_S_OK;
    case VT_R4: *out = in.fltVal; return ADO_S_OK;
    case VT_R8: *out = in.dblVal; return ADO_S_OK;
    case VT_DATE: *out = in.date; return ADO_S_OK;
    case VT_BOOL: *out = in.boolVal ? -1 : 0; return ADO_S_OK;
    case VT_BSTR: {
      if (TextToNumber(in.bstr, out)) return ADO_S_OK;
      double d;
      if (date_FromText(ado_Narrow(in.bstr).c_str(), &d)) { *out = d; return ADO_S_OK; }
      return ADO_E_CONVERSION;
    }
    default: return ADO_E_CONVERSION;
  }
}

static std::string NumberText(double v) {
  char buf[40];
  snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

HRESULT var_ChangeType(Variant *out, const Variant &in, uint16_t vt) {
  if (in.vt == vt) { *out = in; return ADO_S_OK; }
  if ((in.vt & VT_ARRAY) || (vt & VT_ARRAY) || in.vt == VT_ERROR) return ADO_E_CONVERSION;
  Variant r;
  r.vt = vt;
  if (vt == VT_EMPTY || vt == VT_NULL) { *out = r; return ADO_S_OK; }
  if (in.vt == VT_NULL) return ADO_E_CONVERSION;
  double d = 0;
  switch (vt) {
    case VT_I2:
    case VT_I4: {
      if (in.vt == VT_BSTR) {
        // An integer column takes whole numbers only, as the engines do.
        if (!TextToNumber(in.bstr, &d)) return ADO_E_CONVERSION;
      } else if (HRESULT hr = ToNumber(in, &d); hr < 0) {
        return hr;
      }
      d = std::nearbyint(d);
      double lo = vt == VT_I2 ? -32768.0 : -2147483648.0, hi = vt == VT_I2 ? 32767.0 : 2147483647.0;
      if (d < lo || d > hi) return ADO_E_OVERFLOW;
      if (vt == VT_I2) r.iVal = (int16_t)d; else r.lVal = (int32_t)d;
      break;
    }
    case VT_R4:
    case VT_R8:
      if (in.vt == VT_BSTR) {
        if (!TextToNumber(in.bstr, &d)) return ADO_E_CONVERSION;
      } else if (HRESULT hr = ToNumber(in, &d); hr < 0) {
        return hr;
      }
      if (vt == VT_R4) {
        if (std::fabs(d) > 3.4028234663852886e38) return ADO_E_OVERFLOW;
        r.fltVal = (float)d;
      } else {
        r.dblVal = d;
      }
      break;
    case VT_DATE:
      if (in.vt == VT_BSTR) {
        if (!date_FromText(ado_Narrow(in.bstr).c_str(), &d)) return ADO_E_CONVERSION;
      } else if (HRESULT hr = ToNumber(in, &d); hr < 0) {
        return hr;
      }
      if (!DateInRange(d)) return ADO_E_OVERFLOW;
      r.date = d;
      break;
    case VT_BOOL:
      if (in.vt == VT_BSTR) {
        std::string s = ado_Narrow(in.bstr);
        if (strcasecmp(s.c_str(), "true") == 0) d = 1;
        else if (strcasecmp(s.c_str(), "false") == 0) d = 0;
        else if (!TextToNumber(in.bstr, &d)) return ADO_E_CONVERSION;
      } else if (HRESULT hr = ToNumber(in, &d); hr < 0) {
        return hr;
      }
      r.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_BSTR:
      switch (in.vt) {
        case VT_EMPTY: break;
        case VT_DATE: r.bstr = ado_Wide(date_ToText(in.date)); break;
        case VT_BOOL: r.bstr = in.boolVal ? u"True" : u"False"; break;
        case VT_I2: r.bstr = ado_Wide(std::to_string(in.iVal)); break;
        case VT_I4: r.bstr = ado_Wide(std::to_string(in.lVal)); break;
        case VT_R4: {
          char buf[32];
          snprintf(buf, sizeof buf, "%.7g", (double)in.fltVal);
          r.bstr = ado_Wide(buf);
          break;
        }
        case VT_R8: r.bstr = ado_Wide(NumberText(in.dblVal)); break;
        default: return ADO_E_CONVERSION;
      }
      break;
    default:
      return ADO_E_CONVERSION;
  }
  *out = std::move(r);
  return ADO_S_OK;
}

static std::u16string TrimRight(const std::u16string &s) {
  size_t n = s.size();
  while (n && s[n - 1] == u' ') --n;
  return s.substr(0, n);
}

bool var_Equal(const Variant &a, const Variant &b) {
  if (a.vt == VT_NULL || b.vt == VT_NULL) return false;
  Variant c;
  if (var_ChangeType(&c, b, a.vt) < 0) return false;
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_I2: return a.iVal == c.iVal;
    case VT_I4: return a.lVal == c.lVal;
    case VT_R4: return a.fltVal == c.fltVal;
    case VT_R8: return a.dblVal == c.dblVal;
    case VT_DATE: return std::fabs(a.date - c.date) < 0.5 / 86400000.0;
    case VT_BOOL: return (a.boolVal != 0) == (c.boolVal != 0);
    case VT_BSTR: return TrimRight(a.bstr) == TrimRight(c.bstr);
    default: return false;
  }
}

std::string var_ToUtf8(const Variant &v) {
  if (v.vt == VT_NULL) return "NULL";
  if (v.vt == VT_ERROR) return "ERROR";
  if (v.vt & VT_ARRAY) return "ARRAY";
  Variant s;
  if (var_ChangeType(&s, v, VT_BSTR) < 0) return "?";
  return ado_Narrow(s.bstr);
}

// ---- errors -----------------------------------------------------------------
HRESULT ado_FromSqlite(int rc, const char *message) {
  const char *m = message ? message : "";
  switch (rc & 0xff) {
    case SQLITE_OK: case SQLITE_ROW: case SQLITE_DONE: return ADO_S_OK;
    case SQLITE_ERROR:
      if (strstr(m, "no such table")) return ADO_E_NOTABLE;
      return ADO_E_SYNTAX;
    case SQLITE_MISMATCH: return ADO_E_CONVERSION;
    case SQLITE_BUSY: case SQLITE_LOCKED: return ADO_E_TIMEOUT;
    case SQLITE_CONSTRAINT: return ADO_E_INTEGRITY;
    case SQLITE_TOOBIG: case SQLITE_RANGE: return ADO_E_OVERFLOW;
    case SQLITE_READONLY: case SQLITE_PERM: case SQLITE_AUTH: return ADO_E_PERMISSION;
    default: return ADO_E_FAIL;
  }
}

}  // namespace ado
