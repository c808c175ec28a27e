// 趋势图: its span on the monotonic clock, the statistics of the channel in
// view, the channel labels, and the saved picture (also run with
// QT_SCALE_FACTOR=2: see CMakeLists.txt).
#include "app/tools/trend_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDateTime>
#include <cmath>
#include <filesystem>

namespace app {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

engine::PollSample Poll(std::chrono::steady_clock::time_point steady,
                        std::chrono::system_clock::time_point wall, int channel, bool ok,
                        float ma) {
    engine::PollSample s;
    s.time = wall;
    s.steady = steady;
    s.channel = channel;
    s.ok = ok;
    s.milliamps = ma;
    return s;
}

// CH05 from 200 s to 80 s ago, then CH08 for the last 40 s; the wall clock
// was set an hour back between the two. The gaps leave a test that runs
// late under load the same samples in each span.
class TrendTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto steadyNow = std::chrono::steady_clock::now();
        const auto wallNow = std::chrono::system_clock::now();
        for (int i = 200; i > 80; --i)
            history.Add(Poll(steadyNow - seconds(i), wallNow + std::chrono::hours(1) - seconds(i),
                             5, true, 4.0f + 0.001f * float(i % 3)));
        for (int i = 0; i < 40; ++i) {
            const auto ago = seconds(40) - seconds(i) - milliseconds(500);
            history.Add(Poll(steadyNow - ago, wallNow - ago, 8, i != 10,
                             i == 21 ? std::nanf("") : (i % 2 != 0 ? 18.2f : 18.0f)));
        }
    }

    engine::PollHistory history;
};

TEST_F(TrendTest, TheLastMinuteIsTheLastMinuteWhateverTheWallClockDid) {
    CTrendDlg dlg(nullptr, history);
    dlg.SetSpan(0);
    dlg.Refresh(true);
    ASSERT_EQ(dlg.View().samples.size(), 40u)
        << "the wall clock went back an hour: CH05's polls look newer by it";
    for (const engine::PollSample& s : dlg.View().samples) EXPECT_EQ(s.channel, 8);
    dlg.SetSpan(1);
    EXPECT_EQ(dlg.View().samples.size(), 160u);
}

TEST_F(TrendTest, TheStatisticsAreTheActiveChannelsSinceItBecameActive) {
    CTrendDlg dlg(nullptr, history);
    dlg.SetSpan(1);  // five minutes: both channels in view
    const engine::TrendStats s = dlg.Stats();
    EXPECT_EQ(s.channel, 8);
    EXPECT_EQ(s.count, 38u) << "a failed poll and a NaN are no readings";
    EXPECT_EQ(dlg.StatsText(),
              QStringLiteral("CH08  最小 18.000 mA  最大 18.200 mA  平均 18.100 mA  "
                             "标准差 0.1000 mA  (n=38)"));
    history.Clear();
    dlg.Refresh(true);
    EXPECT_EQ(dlg.StatsText(), QStringLiteral("无读数"));
}

TEST_F(TrendTest, ThePictureIsTwelveHundredBySixHundredWithItsTitleAndStatistics) {
    // Run once as is and once at QT_SCALE_FACTOR=2: the file is the same
    // size either way.
    const double scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble();
    EXPECT_EQ(qApp->devicePixelRatio(), scale) << "the scale asked for is in force";
    CTrendDlg dlg(nullptr, history);
    dlg.SetSpan(1);
    dlg.show();
    const fs::path png =
        fs::temp_directory_path() / ("tarvok-trend-" + std::to_string(::getpid()) + ".png");
    ASSERT_TRUE(dlg.SavePng(QString::fromStdString(png.string())));
    const QImage saved(QString::fromStdString(png.string()));
    fs::remove(png);
    ASSERT_EQ(saved.size(), QSize(1200, 600));

    const QString day =
        QDateTime::fromMSecsSinceEpoch(
            std::chrono::duration_cast<milliseconds>(dlg.View().wallEnd.time_since_epoch()).count())
            .toString(QStringLiteral("yyyy-MM-dd"));
    const QString title = dlg.PictureTitle();
    for (const QString& part : {QStringLiteral("CH08"), QStringLiteral("最近5分钟"), day})
        EXPECT_TRUE(title.contains(part)) << title.toStdString();

    // The title above the plot and the statistics below it are what the
    // picture has beyond the plot: drawn without them, it differs there and
    // only there.
    const auto differing = [&](const QImage& other) {
        std::vector<int> rows;
        const QImage a = saved.convertToFormat(QImage::Format_RGB32);
        const QImage b = other.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (a.pixel(x, y) != b.pixel(x, y)) {
                    rows.push_back(y);
                    break;
                }
        return rows;
    };
    const std::vector<int> titleRows =
        differing(RenderTrendPicture(dlg.View(), QString(), dlg.StatsText()));
    ASSERT_FALSE(titleRows.empty()) << "no title drawn";
    EXPECT_LT(titleRows.back(), 80) << "the title is a line above the plot";
    const std::vector<int> statsRows = differing(RenderTrendPicture(dlg.View(), title, QString()));
    ASSERT_FALSE(statsRows.empty()) << "no statistics drawn";
    EXPECT_GT(statsRows.front(), 520) << "the statistics are a line below the plot";
}

// The channel labels along the top of the plot.
TEST(TrendLabels, NeverOverlapAndTheChannelInViewIsAlwaysNamed) {
    const auto label = [](double line, const char* text) {
        ChannelLabel l;
        l.line = line;
        l.width = 30;
        l.text = QString::fromLatin1(text);
        return l;
    };
    const auto overlapping = [](const std::vector<ChannelLabel>& kept) {
        for (size_t i = 0; i < kept.size(); ++i)
            for (size_t j = i + 1; j < kept.size(); ++j)
                if (kept[i].left < kept[j].left + kept[j].width &&
                    kept[j].left < kept[i].left + kept[i].width)
                    return true;
        return false;
    };
    const auto names = [](const std::vector<ChannelLabel>& kept) {
        QStringList n;
        for (const ChannelLabel& l : kept) n << l.text;
        return n;
    };

    // No change in view: the channel is named at the left edge.
    auto kept = PlaceChannelLabels({}, label(0, "CH05"), 0, 500, 3);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].text, "CH05");
    EXPECT_GE(kept[0].left, 0);

    // Changes a few pixels apart: the newest is named, the rest only where
    // they have room, and none on another.
    std::vector<ChannelLabel> changes;
    for (int i = 0; i < 8; ++i)
        changes.push_back(label(100 + 6 * i, ("CH0" + std::to_string(i + 1)).c_str()));
    changes.push_back(label(300, "CH12"));
    kept = PlaceChannelLabels(changes, label(0, "CH09"), 0, 500, 3);
    EXPECT_FALSE(overlapping(kept)) << names(kept).join(' ').toStdString();
    // Newest first: CH12, the newest of the bunch, the first of it clear of
    // that, and the left edge.
    EXPECT_EQ(names(kept), (QStringList{"CH12", "CH08", "CH02", "CH09"}));

    // The newest at the right edge goes before its line, still in the plot,
    // and pushes out what it would cover.
    kept = PlaceChannelLabels({label(20, "CH02"), label(498, "CH03")}, label(0, "CH01"), 0, 500, 3);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept[0].text, "CH03");
    EXPECT_LE(kept[0].left + kept[0].width, 500);
    EXPECT_FALSE(overlapping(kept));
    kept = PlaceChannelLabels({label(10, "CH02")}, label(0, "CH01"), 0, 500, 3);
    EXPECT_EQ(names(kept), QStringList{"CH02"}) << "the opening label would sit under it";
}

}  // namespace
}  // namespace app
