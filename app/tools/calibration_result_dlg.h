// The end of a calibration or a verification: its verdict, the certificate
// number, and the certificate to open or print. Shown without waiting: the
// worker has gone back to polling by then.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "engine/calibration_record.h"

class QLabel;
class QPushButton;

namespace app {

// 合格 / 不合格 for a verification and for a calibration checked after it
// was written; 已写入, 未验证 for one whose check was declined.
QString ResultVerdict(const engine::CalibrationRecord& record);

class CCalibrationResultDlg : public QDialog {
    Q_OBJECT

public:
    // `pdfPath`: the certificate written beside the record.
    CCalibrationResultDlg(QWidget* parent, const engine::CalibrationRecord& record,
                          const QString& stem, const QString& pdfPath);

    QString Verdict() const;
    QString CertificateNumber() const;
    QPushButton* OpenButton() const { return m_open; }
    QPushButton* PrintButton() const { return m_print; }
    QPushButton* CloseButton() const { return m_close; }

    // Opens the certificate with the desktop's viewer; false with the reason
    // when there is none (replaceable in tests).
    std::function<bool(const QString& path, QString* why)> openFile;

    void OnOpen();
    void OnPrint();

private:
    engine::CalibrationRecord m_record;
    QString m_pdfPath;
    QLabel* m_verdict = nullptr;
    QLabel* m_number = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_print = nullptr;
    QPushButton* m_close = nullptr;
};

}  // namespace app
