#include "recording/date_pattern.h"

#include <gtest/gtest.h>

namespace tessaline {
namespace {

const LocalDateTime kT{2024, 3, 9, 21, 5, 7, 42};

TEST(DatePattern, FileNamePatterns) {
    EXPECT_EQ(FormatDateTimePattern("\"D\"YYMMDDHHNNSS", kT), "D240309210507");
    EXPECT_EQ(FormatDateTimePattern("YYMMDDHHNNSS", kT), "240309210507");
    EXPECT_EQ(FormatDateTimePattern("YYYYMMDD", kT), "20240309");
    EXPECT_EQ(FormatDateTimePattern("yyyy-mm-dd_hh.nn.ss", kT), "2024-03-09_21.05.07");
    EXPECT_EQ(FormatDateTimePattern("YYYY/MM/DD HH:NN:SS", kT), "2024/03/09 21:05:07");
    EXPECT_EQ(FormatDateTimePattern("M D H N S Z ZZZ", kT), "3 9 21 5 7 42 042");
    EXPECT_EQ(FormatDateTimePattern("'News' YY", kT), "News 24");
    EXPECT_EQ(FormatDateTimePattern("\"MM\"MM", kT), "MM03");  // quoted letters are text
}

TEST(DatePattern, UnusablePatternsAreRejected) {
    EXPECT_FALSE(FormatDateTimePattern("", kT));
    EXPECT_FALSE(FormatDateTimePattern("\"D", kT));
    EXPECT_FALSE(FormatDateTimePattern("YY'MM", kT));
}

}  // namespace
}  // namespace tessaline
