#include "job/summary.h"

#include <gtest/gtest.h>

using namespace job;

namespace {

JobCounters Counters(int32_t found, int32_t fresh, int32_t present, bool done, int32_t seconds) {
  JobCounters c;
  c.filesFound = found;
  c.newCount = fresh;
  c.existingCount = present;
  c.done = done;
  c.elapsedSeconds = seconds;
  return c;
}

std::u16string TimeLine(int32_t seconds) {
  const std::u16string text = BuildSummaryText(Counters(1, 1, 0, true, seconds));
  const size_t start = text.find(u"Total Time: ") + 12;
  return text.substr(start, text.find(u'\n', start) - start);
}

}  // namespace

TEST(Summary, ExampleTexts) {
  EXPECT_EQ(BuildSummaryText(Counters(12, 4, 1, false, 0)),
            u"Files Scanned: 12\nJPEGs Extracted: 5 Total - 4 New");
  EXPECT_EQ(BuildSummaryText(Counters(12, 10, 2, true, 65)),
            u"Files Scanned: 12\nJPEGs Extracted: 12 Total - 10 New\nTotal Time: 1:05 min\n"
            u"Average Time per File: 6.50 sec");
  EXPECT_EQ(BuildSummaryText(Counters(40, 40, 0, true, 3726)),
            u"Files Scanned: 40\nJPEGs Extracted: 40 Total - 40 New\nTotal Time: 1:02:06\n"
            u"Average Time per File: 93.15 sec");
  EXPECT_EQ(BuildSummaryText(Counters(0, 0, 0, true, 0)),
            u"Files Scanned: 0\nJPEGs Extracted: 0 Total - 0 New\nTotal Time: 0 sec\n"
            u"Average Time per File: 0.00 sec");
}

TEST(Summary, AllPresentAveragesZeroAndCollectingShowsMinusOne) {
  EXPECT_EQ(BuildSummaryText(Counters(3, 0, 3, true, 7)),
            u"Files Scanned: 3\nJPEGs Extracted: 3 Total - 0 New\nTotal Time: 7 sec\n"
            u"Average Time per File: 0.00 sec");
  EXPECT_EQ(BuildSummaryText(JobCounters()),
            u"Files Scanned: -1\nJPEGs Extracted: 0 Total - 0 New");
}

TEST(Summary, TimeBoundaries) {
  EXPECT_EQ(TimeLine(59), u"59 sec");
  EXPECT_EQ(TimeLine(60), u"1:00 min");
  EXPECT_EQ(TimeLine(3599), u"59:59 min");
  EXPECT_EQ(TimeLine(3600), u"1:00:00");
  EXPECT_EQ(TimeLine(36000 + 61), u"10:01:01");
}

TEST(Summary, NumberFormatting) {
  std::u16string t;
  AppendInteger(t, 7, 0);
  AppendInteger(t, 7, 2);
  AppendInteger(t, -7, 3);
  AppendInteger(t, 12345, 2);
  EXPECT_EQ(t, u"707-0712345");
  t.clear();
  AppendInteger(t, INT32_MIN, 0);
  EXPECT_EQ(t, u"-2147483648");
  t.clear();
  AppendInteger(t, 1, 40);
  EXPECT_EQ(t, std::u16string(39, u'0') + u"1");

  t.clear();
  AppendFixed(t, 6.5, 2);
  AppendFixed(t, 2.0 / 3.0, 3);
  EXPECT_EQ(t, u"6.500.667");
  t.clear();
  AppendFixed(t, 1.25, 0);  // no decimals asked: "%f"
  EXPECT_EQ(t, u"1.250000");
  t.clear();
  AppendFixed(t, 1e300, 1);
  EXPECT_EQ(t.size(), 303u);
}
