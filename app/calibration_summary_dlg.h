// Before a calibration's table is written: the six points as they will go
// to the fixture (nominal, reference typed, the fixture's reading, the
// error), with 确定写入 and 返回修改. Esc and the close box leave it as
// 返回修改 would not: the run is cancelled.
#pragma once

#include <QDialog>
#include <vector>

#include "engine/calibration_record.h"

class QPushButton;
class QTableWidget;

namespace app {

class CCalibrationSummaryDlg : public QDialog {
    Q_OBJECT

public:
    CCalibrationSummaryDlg(QWidget* parent, const std::vector<engine::RecordPoint>& points);

    // The dialog's result codes.
    static constexpr int kWrite = 1;   // IDOK
    static constexpr int kRevise = 7;  // IDNO

    QTableWidget* Table() const { return m_table; }
    QPushButton* WriteButton() const { return m_write; }
    QPushButton* ReviseButton() const { return m_revise; }

private:
    QTableWidget* m_table = nullptr;
    QPushButton* m_write = nullptr;
    QPushButton* m_revise = nullptr;
};

}  // namespace app
