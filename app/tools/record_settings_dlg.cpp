#include "app/tools/record_settings_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_units.h"
#include "app/settings.h"

namespace app {
namespace {

std::string Typed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

QString Number(double v) { return QString::fromStdString(engine::FormatTolerance(v)); }

}  // namespace

CRecordSettingsDlg::CRecordSettingsDlg(QWidget* parent, const engine::RecordSettings& settings,
                                       bool demo)
    : QDialog(parent), m_settings(settings) {
    setWindowTitle(QStringLiteral("记录设置"));
    setFont(DialogFont());
    const auto edit = [this](const std::string& text, int maxLength) {
        auto* e = new QLineEdit(QString::fromStdString(text), this);
        e->setMaxLength(maxLength);
        return e;
    };
    m_operator = edit(settings.operatorName, kMaxRecordTextLength);
    m_model = edit(settings.meterModel, kMaxRecordTextLength);
    m_serial = edit(settings.meterSerial, kMaxRecordTextLength);
    m_due = edit(settings.meterDue, 10);
    m_due->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    m_meter = edit(settings.referenceMeter, kMaxRecordTextLength);
    m_meter->setPlaceholderText(QStringLiteral("(可选)"));
    // Zero is how a missing accuracy reads: shown empty, not as "0".
    m_accuracyPercent = edit(settings.meterAccuracyPercent > 0.0
                                 ? Number(settings.meterAccuracyPercent).toStdString()
                                 : std::string(),
                             16);
    m_accuracyUa = edit(
        settings.meterAccuracyUa > 0.0 ? Number(settings.meterAccuracyUa).toStdString() : "", 16);
    m_tolerance = edit(Number(settings.tolerancePercentOfSpan).toStdString(), 16);
    m_plausibility = edit(Number(settings.plausibilityPercentOfSpan).toStdString(), 16);
    m_interval = edit(std::to_string(settings.intervalMonths), 3);

    auto* accuracy = new QHBoxLayout;
    accuracy->addWidget(new QLabel(QStringLiteral("±"), this));
    accuracy->addWidget(m_accuracyPercent);
    accuracy->addWidget(new QLabel(QStringLiteral("% 读数 +"), this));
    accuracy->addWidget(m_accuracyUa);
    accuracy->addWidget(new QLabel(QStringLiteral("µA"), this));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("操作员:"), m_operator);
    form->addRow(QStringLiteral("标准表型号:"), m_model);
    form->addRow(QStringLiteral("标准表编号:"), m_serial);
    form->addRow(QStringLiteral("有效期至:"), m_due);
    form->addRow(QStringLiteral("准确度:"), accuracy);
    form->addRow(QStringLiteral("标准表说明:"), m_meter);
    form->addRow(QStringLiteral("允差 (% 量程):"), m_tolerance);
    form->addRow(QStringLiteral("合理性界限 (% 量程):"), m_plausibility);
    form->addRow(QStringLiteral("校准周期 (月):"), m_interval);

    m_error = new QLabel(this);
    m_error->setStyleSheet(QStringLiteral("color: #c00000"));
    m_error->setWordWrap(true);
    m_error->hide();

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    auto* note =
        new QLabel(demo ? QStringLiteral("模拟演示: 设置只保留到程序结束, 不写入com.ini.")
                        : QStringLiteral("保存在com.ini的[RECORDS]一节, 每份校准记录和证书都载明. "
                                         "未填写完整或标准表过期时, 校准和校准验证不能开始."),
                   this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(m_error);
    layout->addWidget(buttons);
    setMinimumWidth(DluToPixelsX(260, BaseUnitsFor(this)));
}

QString CRecordSettingsDlg::ErrorText() const {
    return m_error->isHidden() ? QString() : m_error->text();
}

bool CRecordSettingsDlg::Refuse(QLineEdit* edit, const QString& text) {
    m_error->setText(text);
    m_error->show();
    edit->setFocus();
    edit->selectAll();
    return false;
}

void CRecordSettingsDlg::accept() {
    engine::RecordSettings s = m_settings;
    if (!engine::ParseTolerance(m_tolerance->text().toStdString(), &s.tolerancePercentOfSpan)) {
        Refuse(m_tolerance, QStringLiteral("错误: 允差应为大于0且不超过10的数字 (% 量程)!"));
        return;
    }
    const std::string due = Typed(m_due);
    std::chrono::year_month_day date{};
    if (!due.empty() && !engine::ParseDate(due, &date)) {
        Refuse(m_due, QStringLiteral("错误: 有效期应为日期, 格式YYYY-MM-DD (如2027-03-31)!"));
        return;
    }
    s.meterAccuracyPercent = 0.0;
    if (!Typed(m_accuracyPercent).empty() &&
        !engine::ParseAccuracyPercent(Typed(m_accuracyPercent), &s.meterAccuracyPercent)) {
        Refuse(m_accuracyPercent, QStringLiteral("错误: 准确度 (% 读数) 应为0到10的数字!"));
        return;
    }
    s.meterAccuracyUa = 0.0;
    if (!Typed(m_accuracyUa).empty() &&
        !engine::ParseAccuracyUa(Typed(m_accuracyUa), &s.meterAccuracyUa)) {
        Refuse(m_accuracyUa, QStringLiteral("错误: 准确度 (µA) 应为0到1000的数字!"));
        return;
    }
    if (!engine::ParsePlausibility(Typed(m_plausibility), &s.plausibilityPercentOfSpan)) {
        Refuse(m_plausibility,
               QStringLiteral("错误: 合理性界限应为大于0且不超过100的数字 (% 量程)!"));
        return;
    }
    if (!engine::ParseIntervalMonths(Typed(m_interval), &s.intervalMonths)) {
        Refuse(m_interval, QStringLiteral("错误: 校准周期应为1到120的整数 (月)!"));
        return;
    }
    s.operatorName = Typed(m_operator);
    s.referenceMeter = Typed(m_meter);
    s.meterModel = Typed(m_model);
    s.meterSerial = Typed(m_serial);
    s.meterDue = due.empty() ? std::string() : engine::FormatDate(date);
    m_settings = s;
    QDialog::accept();
}

}  // namespace app
