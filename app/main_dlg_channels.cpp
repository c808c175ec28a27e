// The channel menu with its check marks, the three buttons beside the
// channel readout, the two confirmations that start the long operations,
// and the about box.
#include <QMenu>
#include <QPushButton>

#include "app/about_dlg.h"
#include "app/gui_bridge.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "controls/segment_display.h"
#include "engine/operation_mode.h"

namespace app {

void CMainDlg::CheckChannelItem(int n) {
    if (!IsGuiThread()) {
        PostToWindow([this, n] { CheckChannelItem(n); });
        return;
    }
    for (int id = ID_CHANNEL_NONE; id <= ID_CHANNEL_LAST; ++id) {
        const auto it = m_channelActions.find(id);
        if (it != m_channelActions.end()) SetMenuItemChecked(it->second, id == ID_CHANNEL_NONE + n);
    }
}

// Menu ids stop here: the worker takes channels (0 for none).
void CMainDlg::SelectChannel(int id) { m_worker.SelectChannel(id - ID_CHANNEL_NONE); }

void CMainDlg::OnChannelMenuButton() {
    // Below the button, its right edge under the button's right edge.
    const QPoint bottomRight = m_btnChannelMenu->mapToGlobal(
        QPoint(m_btnChannelMenu->width(), m_btnChannelMenu->height()));
    m_pChannelPopup->adjustSize();
    m_pChannelPopup->exec(QPoint(bottomRight.x() - m_pChannelPopup->width(), bottomRight.y()));
    // Chosen or not, the focus goes to the calibrate button.
    m_btnCalibrate->setFocus(Qt::OtherFocusReason);
}

// The step buttons step from the channel last asked for: quick clicks each
// count, although the readout catches up only as each switch ends.
void CMainDlg::OnChannelUp() {
    const int c = m_worker.ChannelLastAskedFor();
    m_worker.SelectChannel(c == 32 ? 1 : c + 1);
}

void CMainDlg::OnChannelDown() {
    const int c = m_worker.ChannelLastAskedFor();
    m_worker.SelectChannel((c == 1 || c == 0) ? 32 : c - 1);
}

// Refused while the fixture does not answer, also when it stopped while
// the question was up.
void CMainDlg::OnButtonWrite() {
    const QString what = QStringLiteral("写入设备号");
    if (RefusedWhileSilent(what)) return;
    if (AskMessageBox(this, QStringLiteral("提示: 确定要写入设备号吗?"), QStringLiteral("提示"),
                      BoxIcon::kExclamation, BoxButtons::kYesNo, m_closing) == IDYES &&
        !RefusedWhileSilent(what))
        m_worker.PostOperation(engine::ModeWriteDeviceNumber, 0, 0);
}

void CMainDlg::OnButtonCalibrate() {
    const QString what = QStringLiteral("开始校准");
    if (RefusedWhileSilent(what)) return;
    ShowCalibrationDue(m_worker.DeviceNumber());
    if (RefusedWithoutSettings(what)) return;
    if (AskMessageBox(this, QStringLiteral("提示: 确定要进行设备电流校准吗?"),
                      QStringLiteral("提示"), BoxIcon::kExclamation, BoxButtons::kYesNo,
                      m_closing) == IDYES &&
        !RefusedWhileSilent(what))
        m_worker.PostOperation(engine::ModeCalibrate, 0, 0);
}

void CMainDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) != IDM_ABOUTBOX) return;
    CAboutDlg about(this);
    about.DoModal();
}

}  // namespace app
