// Any connection string through the archive's readers: the data source and
// catalog are trimmed values of their keys, and the key rewrite changes keys
// only (the values read back the same, a second rewrite changes nothing).
#include <cstdint>
#include <string>

#include "plugin/dbstores/db_archive.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string cs((const char *)data, size);
  const std::string ds = DataSourceOf(cs), cat = CatalogOf(cs);
  for (const std::string *v : {&ds, &cat}) {
    FUZZ_CHECK(v->size() <= cs.size());
    FUZZ_CHECK(v->empty() || (v->front() != ' ' && v->back() != ' ') || v->find(';') != std::string::npos ||
               cs.find('"') != std::string::npos || cs.find('\'') != std::string::npos);
  }
  const std::string once = arc_RewriteKeys(cs);
  FUZZ_CHECK(arc_RewriteKeys(once) == once);
  FUZZ_CHECK(DataSourceOf(once) == ds);
  FUZZ_CHECK(CatalogOf(once) == cat);
  FUZZ_CHECK(arc_IsJet(once) == arc_IsJet(cs));
  const std::string b = arc_Bracket(cs);
  FUZZ_CHECK(b.empty() || (b.front() == '[' && b.back() == ']' && b.size() >= cs.size() + 2));
  return 0;
}
