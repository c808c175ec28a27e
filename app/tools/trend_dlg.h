// 趋势图: the loop current against time over the last 1, 5 or 30 minutes,
// with min, max, mean and standard deviation of the span, the NE 43 bands
// shaded and the channel changes marked. It reads the polls the worker
// keeps (engine/poll_history.h) and repaints only when there is something
// new to show.
#pragma once

#include <QDialog>
#include <QWidget>
#include <chrono>
#include <vector>

#include "engine/poll_history.h"

class QComboBox;
class QLabel;
class QTimer;

namespace app {

class CTrendPlot : public QWidget {
public:
    explicit CTrendPlot(QWidget* parent = nullptr);
    // What to draw: the samples of the span ending at `end`.
    void SetData(std::vector<engine::PollSample> samples, std::chrono::system_clock::time_point end,
                 std::chrono::seconds span);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<engine::PollSample> m_samples;
    std::chrono::system_clock::time_point m_end;
    std::chrono::seconds m_span{60};
};

class CTrendDlg : public QDialog {
public:
    CTrendDlg(QWidget* parent, const engine::PollHistory& history);

    // The spans offered, in the order of the list.
    static const std::vector<std::chrono::seconds>& Spans();
    void SetSpan(int index);
    // Reads the history again and repaints when it changed.
    void Refresh(bool force = false);
    // The plot as a picture; false when it cannot be written.
    bool SavePng(const QString& path);
    engine::TrendStats Stats() const { return m_stats; }
    QString StatsText() const;
    CTrendPlot* Plot() const { return m_plot; }

private:
    void OnSavePng();

    const engine::PollHistory& m_history;
    CTrendPlot* m_plot = nullptr;
    QComboBox* m_span = nullptr;
    QLabel* m_statsLabel = nullptr;
    QTimer* m_timer = nullptr;
    engine::TrendStats m_stats;
    uint64_t m_shownVersion = ~uint64_t{0};
    std::chrono::system_clock::time_point m_shownEnd;
};

}  // namespace app
