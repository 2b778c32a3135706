// Text of any bytes as a database value gives it (a column of a run's file, a
// copied table's row): the UTF-8 reading is stable once written back, a date
// read from text writes a text that reads as the same date, and a text
// converted to each column type either fails as conversion or overflow or
// gives a value whose text converts to the same text again.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ado/ado.h"
#include "tests/fuzz/fuzz_check.h"

using namespace ado;

namespace {

// The value of `text` as `vt` written back as text; false when `text` has no
// such value.
bool Through(const std::u16string &text, uint16_t vt, std::u16string *back) {
  Variant in = var_Str(text), value, written;
  HRESULT hr = var_ChangeType(&value, in, vt);
  FUZZ_CHECK(hr == ADO_S_OK || hr == ADO_E_CONVERSION || hr == ADO_E_OVERFLOW);
  if (hr != ADO_S_OK) return false;
  FUZZ_CHECK(value.vt == vt);
  FUZZ_CHECK(var_ChangeType(&written, value, VT_BSTR) == ADO_S_OK);
  *back = written.bstr;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  const std::string narrow = ado_Narrow(ado_Wide(bytes));
  FUZZ_CHECK(ado_Narrow(ado_Wide(narrow)) == narrow);

  double date = 0;
  if (date_FromText(bytes.c_str(), &date)) {
    const std::string text = date_ToText(date);
    double again = 0;
    if (text.empty() || !date_FromText(text.c_str(), &again) || date_ToText(again) != text) {
      fprintf(stderr, "date %.17g from the input writes \"%s\", which reads as %.17g\n", date, text.c_str(), again);
      FUZZ_CHECK(false);
    }
  }

  const std::u16string wide = ado_Wide(narrow);
  for (uint16_t vt : {VT_I2, VT_I4, VT_R8, VT_DATE, VT_BOOL}) {
    std::u16string first, second;
    if (!Through(wide, vt, &first)) continue;
    if (!Through(first, vt, &second) || second != first) {
      fprintf(stderr, "type %u: \"%s\" writes \"%s\", which writes \"%s\"\n", vt, narrow.c_str(),
              ado_Narrow(first).c_str(), ado_Narrow(second).c_str());
      FUZZ_CHECK(false);
    }
  }
  std::u16string single;
  Through(wide, VT_R4, &single);
  return 0;
}
