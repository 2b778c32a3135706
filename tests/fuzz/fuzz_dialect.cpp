// Any text through the statement translator of either dialect, with any
// refusals set; what comes out must be one statement that SQLite can prepare
// on a memory database (a SQL Server batch: one per part), or nothing at all.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // First byte: the dialect (bit 0) and the refusals (bits 1-6).
  const ado::Profile p = (data[0] & 1) ? ado::PROFILE_SQLSERVER : ado::PROFILE_JET;
  ado::ado_SetRefusals(p, (uint32_t)(data[0] >> 1) & 0x3F);
  const std::string in((const char *)data + 1, size - 1);
  ado::Translation tr;
  std::string why;
  ado::HRESULT hr = ado::ado_Translate(p, in, &tr, &why);
  ado::ado_SetRefusals(p, 0);
  if (hr < 0) {
    FUZZ_CHECK(tr.sql.empty());  // nothing half-translated
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  // A SQL Server batch: each part is one statement of its own.
  std::vector<const ado::Translation *> parts;
  if (tr.batch.empty()) parts.push_back(&tr);
  for (const auto &part : tr.batch) parts.push_back(&part);
  FUZZ_CHECK(tr.batch.empty() || (p == ado::PROFILE_SQLSERVER && tr.batch.size() > 1 && tr.sql.empty()));
  for (const ado::Translation *part : parts) {
    FUZZ_CHECK(!part->sql.empty());
    FUZZ_CHECK(part->batch.empty());
    bool single = true;
    std::string err;
    ado::HRESULT prepared = ado::ado_PrepareInMemory(part->sql, &single, &err);
    // Unknown tables and columns may fail; a second statement never slips through.
    FUZZ_CHECK(single);
    FUZZ_CHECK(prepared == ado::ADO_S_OK || prepared == ado::ADO_E_NOTABLE || prepared == ado::ADO_E_SYNTAX ||
               prepared == ado::ADO_E_OVERFLOW);
  }
  // Refusals only take forms away: without them the text translates alike.
  ado::Translation again;
  FUZZ_CHECK(ado::ado_Translate(p, in, &again, &why) == ado::ADO_S_OK);
  FUZZ_CHECK(again.sql == tr.sql && again.batch.size() == tr.batch.size());
  return 0;
}
