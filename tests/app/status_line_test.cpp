// The status line alone: its texts in their order, how long a silence has
// lasted on the steady clock, what it paints red, and that it repaints by
// itself only while it shows a duration.
#include "app/status_line.h"

#include <gtest/gtest.h>

#include <QImage>

namespace app {
namespace {

using namespace std::chrono_literals;
using Activity = engine::Activity;

int RedPixels(QWidget& widget) {
    const QImage image = widget.grab().toImage();
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 150 && c.green() < 90 && c.blue() < 90) ++n;
        }
    return n;
}

TEST(StatusLine, DurationsInSecondsMinutesAndHours) {
    EXPECT_EQ(DurationText(0s), QStringLiteral("0秒"));
    EXPECT_EQ(DurationText(59s), QStringLiteral("59秒"));
    EXPECT_EQ(DurationText(60s), QStringLiteral("1分0秒"));
    EXPECT_EQ(DurationText(135s), QStringLiteral("2分15秒"));
    EXPECT_EQ(DurationText(3599s), QStringLiteral("59分59秒"));
    EXPECT_EQ(DurationText(3600s), QStringLiteral("1小时0分"));
    EXPECT_EQ(DurationText(26h + 3min + 59s), QStringLiteral("26小时3分"));
    EXPECT_EQ(DurationText(-2s), QStringLiteral("0秒")) << "told before its start was seen";
}

TEST(StatusLine, EveryStateInItsPlaceAndOnlyASilenceTicks) {
    CStatusLine line(nullptr, DialogBaseUnits{6, 12});
    EXPECT_EQ(line.height(), 18);
    EXPECT_TRUE(line.Items().empty());
    line.SetDemo(true);
    line.SetActivity(Activity::kScanning);
    line.SetLogFile(QStringLiteral("/home/op/记录/readings.csv"));
    EXPECT_FALSE(line.Ticking()) << "nothing that changes by itself";

    const auto now = CStatusLine::Clock::now();
    line.SetFixtureSilent(true, now - 135s);
    line.SetDeviceFault(true);
    EXPECT_TRUE(line.Ticking());
    const auto items = line.Items(now);
    ASSERT_EQ(items.size(), 5u);
    const char* texts[] = {"夹具无应答 (2分15秒)", "设备故障", "扫描中", "记录中: readings.csv",
                           "演示模式"};
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].text, QString::fromUtf8(texts[i])) << i;
        EXPECT_EQ(items[i].alarm, i < 2) << i;
    }
    EXPECT_EQ(line.Items(now + 50s).at(0).text, QStringLiteral("夹具无应答 (3分5秒)"));

    line.SetActivity(Activity::kCalibrating);
    line.SetDeviceFault(false);
    line.SetFixtureSilent(false, now);
    line.SetLogFile(QString());
    EXPECT_FALSE(line.Ticking());
    EXPECT_EQ(line.Text(), QStringLiteral("校准中  演示模式"));
    line.SetActivity(Activity::kNone);
    EXPECT_EQ(line.Text(), QStringLiteral("演示模式"));
}

TEST(StatusLine, OnlyTheAlarmsArePaintedRed) {
    CStatusLine line(nullptr, DialogBaseUnits{6, 12});
    line.resize(344, line.height());
    line.SetDemo(true);
    line.SetActivity(Activity::kCalibrating);
    // A name far too long for the line gives way; the alarm stays.
    line.SetLogFile(QStringLiteral("/tmp/") + QString(200, QLatin1Char('x')) +
                    QStringLiteral(".csv"));
    EXPECT_EQ(RedPixels(line), 0);
    line.SetFixtureSilent(true, CStatusLine::Clock::now());
    EXPECT_GT(RedPixels(line), 20);
    line.SetFixtureSilent(false, CStatusLine::Clock::now());
    line.SetDeviceFault(true);
    EXPECT_GT(RedPixels(line), 20);
}

TEST(StatusLine, ACalibrationOverdueInRedAndOneDueSoonAfterTheAlarms) {
    CStatusLine line(nullptr, DialogBaseUnits{6, 12});
    line.resize(400, 18);
    line.SetDemo(true);
    line.SetDeviceFault(true);
    line.SetCalibrationDue(engine::DueState::kOverdue, QStringLiteral("2026-11-30"));
    auto items = line.Items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].text, QStringLiteral("校准已过期 (2026-11-30)"));
    EXPECT_TRUE(items[1].alarm);
    EXPECT_FALSE(line.Ticking());

    line.SetDeviceFault(false);
    line.SetCalibrationDue(engine::DueState::kSoon, QStringLiteral("2027-01-05"));
    EXPECT_EQ(line.Text(), QStringLiteral("校准将于2027-01-05到期  演示模式"));
    EXPECT_EQ(RedPixels(line), 0) << "due soon is no alarm";
    line.SetCalibrationDue(engine::DueState::kNone, QStringLiteral("2028-01-05"));
    EXPECT_EQ(line.Text(), QStringLiteral("演示模式"));
}

}  // namespace
}  // namespace app
