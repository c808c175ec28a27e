// 记录设置: who calibrates, with which reference meter, and the tolerance
// the points are judged against; what every record and certificate says.
#pragma once

#include <QDialog>

#include "engine/calibration_record.h"

class QLabel;
class QLineEdit;

namespace app {

class CRecordSettingsDlg : public QDialog {
public:
    // `demo`: the settings last for the session only, and the dialog says
    // so.
    CRecordSettingsDlg(QWidget* parent, const engine::RecordSettings& settings, bool demo);

    // What was typed, trimmed; meaningful after accept().
    engine::RecordSettings Settings() const { return m_settings; }

    QLineEdit* OperatorEdit() const { return m_operator; }
    QLineEdit* MeterEdit() const { return m_meter; }
    QLineEdit* ToleranceEdit() const { return m_tolerance; }
    QString ErrorText() const;

    // A tolerance that is no number above 0 up to 10 keeps the dialog
    // open and says why.
    void accept() override;

private:
    QLineEdit* m_operator = nullptr;
    QLineEdit* m_meter = nullptr;
    QLineEdit* m_tolerance = nullptr;
    QLabel* m_error = nullptr;
    engine::RecordSettings m_settings;
};

}  // namespace app
