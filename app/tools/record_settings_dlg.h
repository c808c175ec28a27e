// 记录设置: who calibrates, with which reference meter (model, serial
// number, due date, accuracy), the tolerance and the plausibility limit the
// points are judged against, and the calibration interval; what every
// record and certificate says.
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
    QLineEdit* MeterModelEdit() const { return m_model; }
    QLineEdit* MeterSerialEdit() const { return m_serial; }
    QLineEdit* MeterDueEdit() const { return m_due; }
    QLineEdit* AccuracyPercentEdit() const { return m_accuracyPercent; }
    QLineEdit* AccuracyUaEdit() const { return m_accuracyUa; }
    QLineEdit* ToleranceEdit() const { return m_tolerance; }
    QLineEdit* PlausibilityEdit() const { return m_plausibility; }
    QLineEdit* IntervalEdit() const { return m_interval; }
    QString ErrorText() const;

    // A number out of its range or a due date that is no real date keeps
    // the dialog open, says why and puts the focus on that field. Empty
    // texts are taken: 校准 names them when it refuses to start.
    void accept() override;

private:
    bool Refuse(QLineEdit* edit, const QString& text);

    QLineEdit* m_operator = nullptr;
    QLineEdit* m_meter = nullptr;
    QLineEdit* m_model = nullptr;
    QLineEdit* m_serial = nullptr;
    QLineEdit* m_due = nullptr;
    QLineEdit* m_accuracyPercent = nullptr;
    QLineEdit* m_accuracyUa = nullptr;
    QLineEdit* m_tolerance = nullptr;
    QLineEdit* m_plausibility = nullptr;
    QLineEdit* m_interval = nullptr;
    QLabel* m_error = nullptr;
    engine::RecordSettings m_settings;
};

}  // namespace app
