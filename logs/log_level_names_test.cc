#include "logs/log_level_names.h"

#include <gtest/gtest.h>

namespace tamsel {
namespace {

TEST(LogLevelNames, TableAndFallback) {
  EXPECT_EQ(logLevelName(0), "info");
  EXPECT_EQ(logLevelName(1), "debug");
  EXPECT_EQ(logLevelName(2), "info");
  EXPECT_EQ(logLevelName(3), "notice");
  EXPECT_EQ(logLevelName(4), "error");
  EXPECT_EQ(logLevelName(5), "fault");
  EXPECT_EQ(logLevelName(6), "info");
  EXPECT_EQ(logLevelName(-1), "info");
}

}  // namespace
}  // namespace tamsel
