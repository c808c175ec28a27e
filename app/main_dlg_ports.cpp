// The serial-port menu and the settings file: the search for the ports
// present, the port remembered in com.ini opened at start-up, the choice of
// another port, and a port that goes away while open.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include "app/gui_bridge.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/settings.h"
#include "engine/main_window_view.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"

namespace app {
namespace {

constexpr int kLastProbedPort = 254;
// After the probes the search waits a second with the wait cursor shown.
constexpr uint32_t kSearchPauseMs = 1000;

QString PortItemText(int port) { return QStringLiteral("   COM%1    ").arg(port); }

}  // namespace

int CMainDlg::ConfiguredPort() const {
    if (m_bDemo) return 1;
    return ReadPortSetting(m_strIniPath);
}

void CMainDlg::SearchPorts() {
    const int configured = ConfiguredPort();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ClearMenu(m_pPortPopup, &m_portActions);
    const int open = serial::CurrentPort();
    for (int n = 1; n <= kLastProbedPort; ++n) {
        // The port this program holds cannot be probed, but it is there.
        if (n != open && !serial::ProbePort(n)) continue;
        AppendMenuItem(m_pPortPopup, ID_PORT_FIRST + n, PortItemText(n), &m_portActions,
                       [this](int id) { SelectPort(id); });
    }
    // The check mark names the port that is open, or the one remembered
    // while none is.
    CheckPortItem(open != 0 ? open : configured);
    platform::Sleep(kSearchPauseMs);
    QApplication::restoreOverrideCursor();
}

void CMainDlg::CheckPortItem(int port) {
    for (const auto& [id, action] : m_portActions)
        SetMenuItemChecked(action, id == ID_PORT_FIRST + port);
}

// Opens port n and shows the outcome in the title and the check marks.
int CMainDlg::OpenPortAndShow(int n) {
    if (n >= 1 && n <= 255) {
        const int noticesBefore = m_nPortNotices;
        if (serial::OpenPort(n) == 1) {
            SetPortMenuTitle(1, m_bDemo ? QStringLiteral("当前串口: COM%1 (模拟演示)").arg(n)
                                        : QStringLiteral("当前串口: COM%1").arg(n));
            CheckPortItem(n);
            return 1;
        }
        // One box per failure: the link's own, with its reason, when it
        // told one.
        if (m_nPortNotices == noticesBefore)
            AskMessageBox(this, QStringLiteral("错误: 当前COM%1打开失败!").arg(n),
                          QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
    }
    SetPortMenuTitle(1, QStringLiteral("当前串口: 未设置"));
    CheckPortItem(serial::CurrentPort());
    return 0;
}

int CMainDlg::OpenConfiguredPort() { return OpenPortAndShow(ConfiguredPort()); }

void CMainDlg::SetPortMenuTitle(int position, const QString& text) {
    const QList<QAction*> entries = m_menuPort->actions();
    if (position < 0 || position >= entries.size()) return;
    entries[position]->setText(text);
    m_menuPort->update();
}

void CMainDlg::OnSearchPorts() { SearchPorts(); }

void CMainDlg::SelectPort(int id) {
    const int n = id - ID_PORT_FIRST;
    if (m_closing.load()) return;
    // Saved before the port is tried, so that a port that fails to open is
    // tried again at the next start.
    if (!m_bDemo && SavePortSetting({m_strIniPath, m_bIniInUserFolder}, n) == 0) {
        AskMessageBox(
            this,
            QStringLiteral("错误: 无法保存串口设置到%1!").arg(QString::fromStdString(m_strIniPath)),
            QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
    }
    // Closed while the box was up: the worker has let the port go, and
    // nothing may open it again.
    if (m_closing.load()) return;
    // The port chosen is opened, whether or not it could be saved: the
    // title and the check mark then name the port that is really open.
    if (OpenPortAndShow(n) == 0) return;
    m_worker.PostOperation(engine::ModeReadChannel, 0, 0);
}

void CMainDlg::OnPortLost(int port, const QString& name) {
    if (m_closing.load() || serial::CurrentPort() != 0) return;  // reopened meanwhile
    SetPortMenuTitle(1, QStringLiteral("当前串口: 未设置"));
    CheckPortItem(0);
    // Told once, without holding anything up: polling has stopped already.
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("错误"),
                                QStringLiteral("错误: 串口%1已断开! 请检查连接后重新选择串口.")
                                    .arg(name.isEmpty() ? QStringLiteral("COM%1").arg(port) : name),
                                QMessageBox::NoButton, this);
    box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace app
