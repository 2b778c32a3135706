#include "framework/eventlog/sts_report.h"
#include "framework/tables/tbl_text.h"

void sts_ReleaseTextTable(void) { tbl_Close(); }
