// 趋势图: the loop current against time over the last 1, 5 or 30 minutes,
// with min, max, mean and standard deviation of the active channel's
// readings, the NE 43 bands shaded and the channel changes marked. It reads
// the polls the worker keeps (engine/poll_history.h) once a second. Spans
// are measured on the monotonic clock; the wall clock only labels the axis.
#pragma once

#include <QDialog>
#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>
#include <chrono>
#include <vector>

#include "engine/poll_history.h"

class QComboBox;
class QLabel;
class QTimer;

namespace app {

// What the plot shows, in the window and in the saved picture alike.
struct TrendView {
    std::vector<engine::PollSample> samples;        // the span's, oldest first
    std::chrono::steady_clock::time_point end;      // the right edge
    std::chrono::system_clock::time_point wallEnd;  // the wall clock at `end`
    std::chrono::seconds span{60};
};

// Paints the plot, its scales and its channel labels into `bounds`.
void PaintTrend(QPainter& p, const QRectF& bounds, const QFont& font, const TrendView& view);

// "CH05", "无" for none, "未知" when the readout said nothing usable.
QString ChannelName(int channel);

// A channel's label along the top of the plot.
struct ChannelLabel {
    double line = 0.0;   // x of the change it names
    double width = 0.0;  // of its text
    QString text;
    double left = 0.0;  // where it is drawn, once placed
};

// Which labels are drawn, and where: beside their change's line (before it
// at the right edge), never two overlapping, one that would is left out.
// The newest change is always named, since it names the channel in view;
// `opening` names the channel at the left edge whenever it has room, so
// with no change in view the channel is named there. `changes` oldest
// first; `gap` is the room kept around each label.
std::vector<ChannelLabel> PlaceChannelLabels(const std::vector<ChannelLabel>& changes,
                                             ChannelLabel opening, double left, double right,
                                             double gap);

// The saved picture's size in pixels, whatever the screen and its scale.
inline constexpr QSize kTrendPictureSize(1200, 600);

// The saved picture: `title` above the plot, `stats` below it.
QImage RenderTrendPicture(const TrendView& view, const QString& title, const QString& stats);

class CTrendPlot : public QWidget {
public:
    explicit CTrendPlot(QWidget* parent = nullptr);
    void SetView(TrendView view);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TrendView m_view;
};

class CTrendDlg : public QDialog {
public:
    CTrendDlg(QWidget* parent, const engine::PollHistory& history);

    // The spans offered, in the order of the list.
    static const std::vector<std::chrono::seconds>& Spans();
    void SetSpan(int index);
    // Reads the history again and repaints.
    void Refresh(bool force = false);
    // The picture (kTrendPictureSize) as a PNG; false when it cannot be
    // written.
    bool SavePng(const QString& path);
    engine::TrendStats Stats() const { return m_stats; }
    // "CH05  最小 4.001 mA  ...  (n=78)": the line under the plot.
    QString StatsText() const;
    // The saved picture's title: the channel, the span and its date.
    QString PictureTitle() const;
    const TrendView& View() const { return m_view; }
    CTrendPlot* Plot() const { return m_plot; }

private:
    void OnSavePng();

    const engine::PollHistory& m_history;
    CTrendPlot* m_plot = nullptr;
    QComboBox* m_span = nullptr;
    QLabel* m_statsLabel = nullptr;
    QTimer* m_timer = nullptr;
    TrendView m_view;
    engine::TrendStats m_stats;
};

}  // namespace app
