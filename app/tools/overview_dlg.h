// 通道总览: a row per channel of the fixture, filled in by the channel scan
// (engine/channel_scan.h) as the main worker reads each channel: the
// transmitter that answers, the loop current, its NE 43 band as a coloured
// cell (or a grey one for a slot that holds nothing), and when it was read.
// The table keeps the row being read in view. Double-clicking a row makes
// that channel active in the main window.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <array>
#include <functional>
#include <optional>

#include "engine/channel_scan.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace app {

class COverviewDlg : public QDialog {
public:
    struct Actions {
        std::function<bool()> start;  // false when no scan could be asked for
        std::function<void()> stop;
        std::function<void(int channel)> select;
    };
    COverviewDlg(QWidget* parent, Actions actions);

    // From the worker's reports, on the GUI thread.
    void OnRow(const engine::ScanRow& row, int done, int total);
    void OnFinished(const engine::ScanResult& result);

    void StartScan();
    void StopScan();
    bool IsScanning() const { return m_scanning; }
    // The table in the console tool's `scan --csv` format, with a UTF-8 BOM
    // so that a spreadsheet reads it as UTF-8. 导出CSV asks first when rows
    // are missing.
    bool ExportCsv(const QString& path) const;
    QString CsvText() const;
    QTableWidget* Table() const { return m_table; }
    QString StatusText() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OnExport();
    void ShowScanning(bool scanning);
    // Marks the row (0-31) being read and scrolls it into view.
    void ShowReading(int row);
    int RowsDone() const;

    Actions m_actions;
    QTableWidget* m_table = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_export = nullptr;
    std::array<std::optional<engine::ScanRow>, 32> m_rows;
    bool m_scanning = false;
    QElapsedTimer m_elapsed;
};

}  // namespace app
