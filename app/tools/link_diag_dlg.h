// 链路诊断: the link's statistics, live and resettable, and a live frame
// trace whose lines are those of --trace. The trace lines come from a
// listener on the transaction thread; they are queued and shown by the GUI
// thread a few times a second, so the link never waits for the window.
#pragma once

#include <QDialog>
#include <deque>
#include <mutex>
#include <string>

#include "hart/link_stats.h"

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace app {

class CLinkDiagDlg : public QDialog {
public:
    explicit CLinkDiagDlg(QWidget* parent);
    ~CLinkDiagDlg() override;

    // Shows the counters and the lines queued since the last refresh.
    void Refresh();
    void ResetStatistics();
    QString StatisticsText() const;
    QString TraceText() const;

    // Lines the trace keeps; older ones scroll away.
    static constexpr int kTraceLines = 2000;

private:
    void OnTraceLine(std::string_view line);

    QLabel* m_stats = nullptr;
    QPlainTextEdit* m_trace = nullptr;
    QTimer* m_timer = nullptr;
    int m_listener = -1;

    std::mutex m_mutex;  // the lines queued by the listener
    std::deque<std::string> m_pending;
};

// The statistics as the window shows them, in Chinese, one item a line.
QString DescribeLinkStats(const hart::LinkStatsSnapshot& s);

}  // namespace app
