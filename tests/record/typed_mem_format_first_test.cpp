// A formatted text counts as a first use of typed memory. Its own program:
// accounting can only be switched on before anything has been allocated.
#include <gtest/gtest.h>

#include <cerrno>

#include "record/record.h"

namespace {

struct Early {
  char *text = nullptr;
  int len;
  int enable;
  int err;
  Early() {
    len = typed_mem_FormatText("early", &text, "%s-%d", "first", 1);
    errno = 0;
    enable = typed_mem_Enable();
    err = errno;
  }
};

// Before main, so nothing else has touched typed memory yet.
Early g_early;

TEST(RecordTypedMemFormatFirst, FormattedTextRulesOutAccounting) {
  ASSERT_EQ(g_early.len, 7);
  EXPECT_STREQ(g_early.text, "first-1");
  ASSERT_EQ(g_early.enable, -1) << "switching on now would leave the text unknown to the accounting";
  EXPECT_EQ(g_early.err, EBUSY);
  typed_mem_Release("early", g_early.text);
  g_early.text = nullptr;
}

}  // namespace
