// The texts of the data information page and the status bar, from statistics set by hand.
#include <gtest/gtest.h>

#include "recording/clock.h"
#include "recording/data_info.h"
#include "recording/file_names.h"
#include "recording/recording_control.h"
#include "recording/span_text.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

TEST(SpanText, FieldsAndSign) {
    EXPECT_EQ(SpanText(1h + 2min + 3s + 4ms), "01:02:03.004");
    EXPECT_EQ(SpanText(-(1h + 2min + 3s + 4ms)), "01:02:03.004");
    EXPECT_EQ(SpanText(100h), "100:00:00.000");  // hours are not reduced
    EXPECT_EQ(SpanText(0ms), "00:00:00.000");
    EXPECT_EQ(SpanText(59s + 999ms), "00:00:59.999");
}

TEST(SpanText, TimeStampsInWholeMilliseconds) {
    EXPECT_EQ(PtsTimeText(900200), "00:00:10.002");
    EXPECT_EQ(PtsTimeText(1170950), "00:00:13.010");
    EXPECT_EQ(PtsSpanText(900200, 1170950), "00:00:03.008");
    EXPECT_EQ(PtsSpanText(1170950, 900200), "00:00:03.008");
    // 2^33 - 1 counts: the largest stamp, 26 h 30 min.
    EXPECT_EQ(PtsTimeText((uint64_t{1} << 33) - 1), "26:30:43.717");
    // Exactly one second must not lose a millisecond to floating point.
    EXPECT_EQ(PtsTimeText(90000 * 3), "00:00:03.000");
}

TEST(NumberText, FourDecimalsAtMost) {
    EXPECT_EQ(NumberText(29.97002997), "29.97");
    EXPECT_EQ(NumberText(25.0), "25");
    EXPECT_EQ(NumberText(9.8), "9.8");
    EXPECT_EQ(NumberText(0.00004), "0");
    EXPECT_EQ(NumberText(1.23456), "1.2346");
    EXPECT_EQ(NumberText(15000000 / 1000000.0), "15");
}

TStreamStatistics VideoHeader() {
    TStreamStatistics s;
    s.VideoWidth = 720;
    s.VideoHeight = 480;
    s.VideoAspect = 177;
    s.VideoFrameRate = 30000.0 / 1001.0;
    s.VideoBitRate = 15000000;
    s.VideoValid = -1;
    return s;
}

TEST(DataInfo, VideoPanels) {
    TStreamStatistics s = VideoHeader();
    DataInfoUpdate u = RefreshDataInfo(s, false);
    EXPECT_EQ(u.pnlVSize, "720 x 480");
    EXPECT_EQ(u.pnlVAspect, "16:9");
    EXPECT_EQ(u.pnlVFrameRate, "29.97 fps");
    EXPECT_EQ(u.pnlVBitRate, "15 Mbps");
    // No time stamp yet: the three PTS panels keep what they show.
    EXPECT_FALSE(u.pnlVPTS);
    EXPECT_FALSE(u.pnlEVPTS);
    EXPECT_FALSE(u.pnlDeltaVPTS);

    s.FirstVideoPts = 900200;
    s.LastVideoPts = 1170950;
    u = RefreshDataInfo(s, false);
    EXPECT_EQ(u.pnlVPTS, "00:00:10.002");
    EXPECT_EQ(u.pnlEVPTS, "00:00:13.010");
    EXPECT_EQ(u.pnlDeltaVPTS, "00:00:03.008");

    for (uint32_t aspect : {0u, 5u, 134u}) {
        s.VideoAspect = aspect;
        EXPECT_EQ(RefreshDataInfo(s, false).pnlVAspect, "Reserved") << aspect;
    }
    EXPECT_EQ(AspectText(100), "1:1");
    EXPECT_EQ(AspectText(133), "4:3");
    EXPECT_EQ(AspectText(221), "2.21:1");
}

TEST(DataInfo, NoSequenceHeaderEmptiesTheVideoColumnEvenWithTimeStamps) {
    TStreamStatistics s = VideoHeader();
    s.VideoValid = 0;
    s.FirstVideoPts = 900200;
    s.LastVideoPts = 1170950;
    const DataInfoUpdate u = RefreshDataInfo(s, false);
    for (const auto* panel : {&u.pnlVSize, &u.pnlVAspect, &u.pnlVFrameRate, &u.pnlVBitRate,
                              &u.pnlVPTS, &u.pnlEVPTS, &u.pnlDeltaVPTS}) {
        EXPECT_EQ(*panel, std::string());
    }
}

TEST(DataInfo, AudioPanelsDelayAndSuffix) {
    TStreamStatistics s = VideoHeader();
    s.AudioLayer = 2;
    s.AudioBitRate = 384000;
    s.AudioFrequency = 48000;
    s.AudioValid = -1;
    DataInfoUpdate u = RefreshDataInfo(s, true);
    EXPECT_EQ(u.pnlALayer, "2");
    EXPECT_EQ(u.pnlABitRate, "384 kbps");
    EXPECT_EQ(u.pnlAFrequency, "48000 Hz");
    // Audio known, no audio stamp yet: stamps, delay and suffix stay as they were.
    EXPECT_FALSE(u.pnlAPTS);
    EXPECT_FALSE(u.pnlDelay);
    EXPECT_FALSE(u.DelaySuffix);

    s.FirstVideoPts = 900200 + 3003;
    s.FirstAudioPts = 900200;
    s.LastAudioPts = 900200 + 90000;
    u = RefreshDataInfo(s, true);
    EXPECT_EQ(u.pnlDelay, "-33.37 ms");
    EXPECT_EQ(u.DelaySuffix, " Delay -33.37ms");
    EXPECT_EQ(u.pnlDeltaAPTS, "00:00:01.000");
    EXPECT_EQ(RefreshDataInfo(s, false).DelaySuffix, std::string());

    // The delay is taken even before the first video stamp (audio after video is positive).
    s.FirstVideoPts = 0;
    EXPECT_EQ(RefreshDataInfo(s, false).pnlDelay, "10002.22 ms");

    // Audio no longer valid (a new recording): the column and the suffix are emptied.
    s.AudioValid = 0;
    u = RefreshDataInfo(s, true);
    EXPECT_EQ(u.pnlDelay, std::string());
    EXPECT_EQ(u.DelaySuffix, std::string());
    EXPECT_EQ(u.pnlALayer, std::string());
}

TEST(DataInfo, ClosingFiguresResetTheStamps) {
    TStreamStatistics s = VideoHeader();
    s.FirstVideoPts = 900200;
    s.LastVideoPts = 1170950;
    const DataInfoUpdate u = ClosingFigures(s);
    EXPECT_EQ(u.pnlEVPTS, "00:00:13.010");
    EXPECT_EQ(u.pnlDeltaVPTS, "00:00:03.008");
    EXPECT_FALSE(u.pnlEAPTS);  // no audio stamp: its panels are left alone
    EXPECT_EQ(s.FirstVideoPts.load(), 0u);
    EXPECT_EQ(s.LastVideoPts.load(), 0u);
}

TEST(Clock, LocalDateTimeRoundTrip) {
    const LocalDateTime t{2024, 2, 29, 23, 59, 59, 999};
    const DateTime d = ToDateTime(t);
    const LocalDateTime back = ToLocalDateTime(d + 1ms);
    EXPECT_EQ(back.year, 2024);
    EXPECT_EQ(back.month, 3);
    EXPECT_EQ(back.day, 1);
    EXPECT_EQ(back.hour, 0);
    EXPECT_EQ(back.millisecond, 0);
    ManualClock clock(d);
    clock.Sleep(3s);
    EXPECT_EQ(clock.Now(), d + 3s);
}

TEST(FileNames, ExtensionsAndDurations) {
    EXPECT_EQ(DottedExtension("mpg"), ".mpg");
    EXPECT_EQ(DottedExtension(".ts"), ".ts");
    EXPECT_EQ(DottedExtension(""), "");
    EXPECT_EQ(WithoutExtension("show.ts"), "show");
    EXPECT_EQ(WithoutExtension("show"), "show");
    EXPECT_EQ(WithoutExtension("a.b/show"), "a.b/show");
    EXPECT_EQ(WithoutExtension("my.show.ts"), "my.show");
    EXPECT_EQ(DurationMinutes("30"), 30);
    EXPECT_EQ(DurationMinutes("0"), 0);
    EXPECT_EQ(DurationMinutes("x1"), 0);
    EXPECT_EQ(DurationMinutes(""), 0);
    EXPECT_EQ(DurationMinutes("999"), 999);
}

}  // namespace
}  // namespace tessaline
