#include "app/tools/record_settings_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_units.h"
#include "app/settings.h"

namespace app {
namespace {

std::string Typed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

}  // namespace

CRecordSettingsDlg::CRecordSettingsDlg(QWidget* parent, const engine::RecordSettings& settings,
                                       bool demo)
    : QDialog(parent), m_settings(settings) {
    setWindowTitle(QStringLiteral("记录设置"));
    setFont(DialogFont());
    m_operator = new QLineEdit(QString::fromStdString(settings.operatorName), this);
    m_meter = new QLineEdit(QString::fromStdString(settings.referenceMeter), this);
    m_meter->setPlaceholderText(QStringLiteral("型号, 编号, 有效期至"));
    m_tolerance = new QLineEdit(
        QString::fromStdString(engine::FormatTolerance(settings.tolerancePercentOfSpan)), this);
    for (QLineEdit* e : {m_operator, m_meter}) e->setMaxLength(kMaxRecordTextLength);
    m_tolerance->setMaxLength(16);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("操作员:"), m_operator);
    form->addRow(QStringLiteral("标准表:"), m_meter);
    form->addRow(QStringLiteral("允差 (% 量程):"), m_tolerance);

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
                        : QStringLiteral("保存在com.ini的[RECORDS]一节, 每份校准记录和证书都载明."),
                   this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(m_error);
    layout->addWidget(buttons);
    setMinimumWidth(DluToPixelsX(220, BaseUnitsFor(this)));
}

QString CRecordSettingsDlg::ErrorText() const {
    return m_error->isHidden() ? QString() : m_error->text();
}

void CRecordSettingsDlg::accept() {
    double tolerance = 0.0;
    if (!engine::ParseTolerance(m_tolerance->text().toStdString(), &tolerance)) {
        m_error->setText(QStringLiteral("错误: 允差应为大于0且不超过10的数字 (% 量程)!"));
        m_error->show();
        m_tolerance->setFocus();
        m_tolerance->selectAll();
        return;
    }
    m_settings.operatorName = Typed(m_operator);
    m_settings.referenceMeter = Typed(m_meter);
    m_settings.tolerancePercentOfSpan = tolerance;
    QDialog::accept();
}

}  // namespace app
