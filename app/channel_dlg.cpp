#include "app/channel_dlg.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>

#include "app/resource.h"

namespace app {

CChannelDlg::CChannelDlg(QWidget* parent, const QString& channel)
    : QDialog(parent), m_strChannel(channel) {
    m_controls = BuildDialog(ChannelDialogTemplate(), this);
    if (auto* ok = m_controls.Get<QPushButton>(IDOK)) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
    if (auto* cancel = m_controls.Get<QPushButton>(IDCANCEL)) {
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    }
}

CChannelDlg::CChannelDlg(QWidget* parent, const std::string& channel)
    : CChannelDlg(parent, QString::fromStdString(channel)) {}

int CChannelDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CChannelDlg::showEvent(QShowEvent* event) {
    // The dialog's initialisation runs once, as it is first shown, so that
    // the caller may still set m_strChannel after construction.
    if (!m_bInitialised && !event->spontaneous()) {
        m_bInitialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool CChannelDlg::OnInitDialog() {
    if (auto* prompt = m_controls.Get<QPlainTextEdit>(IDC_PROMPT)) {
        prompt->setPlainText(
            QStringLiteral("提示: 请将变送器接入通道CH") + m_strChannel +
            (m_bVerification
                 ? QStringLiteral(".   校准验证只检查设备的电流读数, 不修改设备; 请按电流表的读数输入!")
                 : QStringLiteral(".   该功能将校准设备电流, 如果需要更高精度，请使用电流表!")));
    }
    if (m_bVerification) {
        if (auto* help = m_controls.Get<QPushButton>(IDC_HELP_BUTTON)) help->hide();
    }
    return true;
}

}  // namespace app
