// The status line below dialog 102's controls, and what the window refuses
// to start while the fixture does not answer. The worker's news reaches the
// line as tasks posted to the GUI thread; nothing here waits for it.
#include "app/gui_bridge.h"
#include "app/main_dlg.h"
#include "app/status_line.h"

namespace app {

void CMainDlg::SetActivity(engine::Activity activity) {
    PostToWindow([this, activity] { m_statusLine->SetActivity(activity); });
}

void CMainDlg::SetDeviceFault(bool fault) {
    PostToWindow([this, fault] { m_statusLine->SetDeviceFault(fault); });
}

bool CMainDlg::RefusedWhileSilent(const QString& what) {
    if (m_closing.load()) return true;  // nothing starts once closing
    if (!m_bFixtureSilent) return false;
    AskMessageBox(this, QStringLiteral("错误: 夹具无应答, 无法%1!").arg(what),
                  QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
    return true;
}

}  // namespace app
