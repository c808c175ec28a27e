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

bool CMainDlg::RefusedWithoutSettings(const QString& what) {
    if (m_closing.load()) return true;
    const std::string problem =
        engine::RecordSettingsProblem(RecordSettings(), engine::LocalToday());
    if (problem.empty()) return false;
    AskMessageBox(this,
                  QStringLiteral("错误: %1, 无法%2!\n请检查 工具 > 记录设置.")
                      .arg(QString::fromStdString(problem), what),
                  QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
    return true;
}

void CMainDlg::ShowCalibrationDue(int deviceNumber) {
    m_nDueShownFor = deviceNumber;
    engine::RecordSummary last;
    if (!engine::LastWrittenCalibration(engine::RecordsFolder(), deviceNumber, &last)) {
        m_statusLine->SetCalibrationDue(engine::DueState::kNone, QString());
        return;
    }
    m_statusLine->SetCalibrationDue(
        engine::CalibrationDueState(last.dueDate, engine::LocalToday()),
        QString::fromStdString(last.dueDate));
}

}  // namespace app
