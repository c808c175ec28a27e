// The 工具 menu: what the window does beyond the old tool. The readings
// log, the trend, the fixture that stopped answering, and the calibration
// records; every window of this menu is the main window's child, closed by
// the same shutdown.
#include <QAction>
#include <QDate>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include "app/tools/calibration_result_dlg.h"
#include "app/tools/certificate_pdf.h"
#include "app/tools/file_chooser.h"
#include "app/gui_bridge.h"
#include "app/tools/link_diag_dlg.h"
#include "app/main_dlg.h"
#include "app/tools/overview_dlg.h"
#include "app/tools/record_settings_dlg.h"
#include "app/tools/records_dlg.h"
#include "app/settings.h"
#include "app/status_line.h"
#include "app/tools/trend_dlg.h"
#include "generated/version.h"
#include "platform/append_file.h"
#include "platform/trace.h"
#include "serial/serial_link.h"

namespace app {
namespace {

// A tool window is made once and shown again while it is open; it goes
// when closed.
template <class Dialog, class Make>
Dialog* ShowToolWindow(QPointer<Dialog>& window, Make make) {
    if (window.isNull()) {
        window = make();
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

}  // namespace

void CMainDlg::BuildToolsMenu() {
    m_pToolsPopup = m_menuPort->addMenu(QStringLiteral("工具"));
    m_pToolsPopup->addAction(QStringLiteral("通道总览"), this, [this] { OpenOverview(); });
    m_pToolsPopup->addAction(QStringLiteral("趋势图"), this, [this] { OpenTrend(); });
    m_actLogReadings = m_pToolsPopup->addAction(QStringLiteral("记录数据"));
    m_actLogReadings->setCheckable(true);
    connect(m_actLogReadings, &QAction::triggered, this,
            [this](bool checked) { OnLogMenuItem(checked); });
    m_pToolsPopup->addSeparator();
    m_pToolsPopup->addAction(QStringLiteral("校准验证"), this, [this] { OnVerifyCalibration(); });
    m_pToolsPopup->addAction(QStringLiteral("校准记录"), this, [this] { OpenRecords(); });
    m_pToolsPopup->addAction(QStringLiteral("记录设置"), this, [this] { OpenRecordSettings(); });
    m_pToolsPopup->addSeparator();
    m_pToolsPopup->addAction(QStringLiteral("链路诊断"), this, [this] { OpenLinkDiagnostics(); });
}

// --- Polls, as the worker reports them -----------------------------------

void CMainDlg::OnPoll(const engine::PollSample& sample) {
    m_pollHistory.Add(sample);
    m_readingsLog.Append(sample);  // queued: the file is the log's own thread's business
}

void CMainDlg::SetFixtureSilent(bool silent, std::chrono::steady_clock::time_point since) {
    PostToWindow([this, silent, since] {
        m_bFixtureSilent = silent;
        ShowWindowTitle();
        m_statusLine->SetFixtureSilent(silent, since);
    });
}

// Dialog 102's caption, and " - 无应答" while the fixture does not answer.
void CMainDlg::ShowWindowTitle() {
    setWindowTitle(m_bFixtureSilent ? m_strTitle + QStringLiteral(" - 无应答") : m_strTitle);
}

// --- 记录数据 ------------------------------------------------------------

QString CMainDlg::DefaultLogPath() const {
    QString folder = qEnvironmentVariable("XDG_DOCUMENTS_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
    return QDir(folder).filePath(
        QStringLiteral("tarvok-readings-%1.csv").arg(QDate::currentDate().toString(Qt::ISODate)));
}

bool CMainDlg::StartLogging(const QString& path, QString* error) {
    std::string reason;
    ++m_nLogGeneration;
    if (!m_readingsLog.Open(path.toStdString(), LogListener(), &reason)) {
        platform::Trace("readings log: " + path.toStdString() + " refused: " + reason + "\n");
        if (error != nullptr) *error = QString::fromStdString(reason);
        return false;
    }
    OnLogStarted(path);
    return true;
}

void CMainDlg::StartLogging(std::unique_ptr<platform::AppendFile> file, const QString& path) {
    ++m_nLogGeneration;
    m_readingsLog.Open(std::move(file), path.toStdString(), LogListener());
    OnLogStarted(path);
}

void CMainDlg::OnLogStarted(const QString& path) {
    platform::Trace("readings log: writing to " + path.toStdString() + "\n");
    m_actLogReadings->setChecked(true);
    m_statusLine->SetLogFile(path);
}

// Reports come from the worker (rows dropped) or the log's writer (a
// failed write); each names the file it is about, so that one of a file
// closed meanwhile is let go.
engine::ReadingsLog::Listener CMainDlg::LogListener() {
    return [this, generation = m_nLogGeneration](const engine::LogReport& report) {
        PostToWindow([this, generation, report] { OnLogReport(generation, report); });
    };
}

void CMainDlg::StopLogging() {
    // Never waits: a writer stuck in the file finishes, or not, by itself.
    m_readingsLog.Close();
    platform::Trace("readings log: closed, " + std::to_string(m_readingsLog.Rows()) +
                    " rows written, " + std::to_string(m_readingsLog.Dropped()) + " dropped\n");
    m_actLogReadings->setChecked(false);
    m_statusLine->SetLogFile(QString());
}

void CMainDlg::OnLogMenuItem(bool checked) {
    if (!checked) {
        StopLogging();
        return;
    }
    m_actLogReadings->setChecked(false);  // until a file is open
    // Appending to a log is what the operator wants, not a warning.
    const QString path =
        ChooseFileToWrite(this, QStringLiteral("记录数据到文件"), DefaultLogPath(),
                          QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), false);
    if (path.isEmpty() || m_closing.load()) return;
    QString error;
    if (!StartLogging(path, &error))
        AskMessageBox(this, QStringLiteral("错误: 无法打开记录文件%1!\n%2").arg(path, error),
                      QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
}

// Rows dropped are told once, as they begin: a file that stays stuck would
// otherwise never say that the log has gaps. A failed write (disk full, the
// stick pulled) has stopped the log, the file ending in a whole row.
void CMainDlg::OnLogReport(int generation, const engine::LogReport& report) {
    if (generation != m_nLogGeneration || m_closing.load()) return;
    const QString path = QString::fromStdString(m_readingsLog.Path());
    QString text;
    if (report.kind == engine::LogReport::kDropping) {
        platform::Trace("readings log: " + path.toStdString() +
                        " does not keep up, rows dropped\n");
        text =
            QStringLiteral("错误: 记录文件%1写入受阻, 新的数据行被丢弃!\n文件恢复写入后继续记录.")
                .arg(path);
    } else {
        platform::Trace("readings log: writing to " + path.toStdString() +
                        " failed: " + report.reason + "\n");
        StopLogging();
        text = QStringLiteral("错误: 写入记录文件%1失败, 记录已停止!\n%2")
                   .arg(path, QString::fromStdString(report.reason));
        if (report.dropped > 0)
            text += QStringLiteral("\n此前另有%1行因写入受阻被丢弃.").arg(report.dropped);
    }
    AskMessageBox(this, text, QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
}

// --- 通道总览 -------------------------------------------------------------

COverviewDlg* CMainDlg::OpenOverview() {
    return ShowToolWindow(m_overviewDlg, [this] {
        COverviewDlg::Actions actions;
        actions.start = [this] {
            if (serial::IsPortOpen()) {
                m_worker.RequestScan(1, 32);
                return true;
            }
            AskMessageBox(m_overviewDlg, QStringLiteral("错误: 串口未打开, 无法扫描!"),
                          QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
            return false;
        };
        actions.stop = [this] { m_worker.StopScan(); };
        actions.select = [this](int channel) { m_worker.SelectChannel(channel); };
        return new COverviewDlg(this, std::move(actions));
    });
}

void CMainDlg::OnScanRow(const engine::ScanRow& row, int done, int total) {
    PostToWindow([this, row, done, total] {
        if (m_overviewDlg) m_overviewDlg->OnRow(row, done, total);
    });
}

void CMainDlg::OnScanFinished(const engine::ScanResult& result) {
    PostToWindow([this, result] {
        if (m_overviewDlg) m_overviewDlg->OnFinished(result);
    });
}

// --- 链路诊断 -------------------------------------------------------------

CLinkDiagDlg* CMainDlg::OpenLinkDiagnostics() {
    return ShowToolWindow(m_linkDiagDlg, [this] { return new CLinkDiagDlg(this); });
}

// --- 趋势图 --------------------------------------------------------------

CTrendDlg* CMainDlg::OpenTrend() {
    return ShowToolWindow(m_trendDlg, [this] { return new CTrendDlg(this, m_pollHistory); });
}

// --- 校准验证, 校准记录, 记录设置 --------------------------------------------

void CMainDlg::OnVerifyCalibration() {
    const QString what = QStringLiteral("开始校准验证");
    if (RefusedWhileSilent(what) || RefusedWithoutSettings(what)) return;
    if (AskMessageBox(this, QStringLiteral("提示: 确定要进行校准验证吗?"), QStringLiteral("提示"),
                      BoxIcon::kExclamation, BoxButtons::kYesNo, m_closing) == IDYES &&
        !RefusedWhileSilent(what))
        m_worker.PostOperation(engine::ModeVerifyCalibration, 0, 0);
}

void CMainDlg::OnCalibrationRecord(const engine::CalibrationRecord& record) {
    PostToWindow([this, record] {
        const std::string stem = SaveCalibrationRecord(record);
        if (!stem.empty() && record.outcome == engine::RecordOutcome::kCompleted)
            ShowCalibrationResult(record, stem);
    });
}

CCalibrationResultDlg* CMainDlg::ResultDialog() const { return m_resultDlg.data(); }

void CMainDlg::ShowCalibrationResult(engine::CalibrationRecord record, const std::string& stem) {
    if (m_closing.load()) return;
    record.settings = RecordSettings();
    if (!m_resultDlg.isNull()) m_resultDlg->close();
    const QString pdf = QString::fromStdString(engine::RecordsFolder()) + QLatin1Char('/') +
                        QString::fromStdString(stem) + QStringLiteral(".pdf");
    // Not waited for: the worker is polling again, and the window's close
    // takes the box with it.
    m_resultDlg = new CCalibrationResultDlg(this, record, QString::fromStdString(stem), pdf);
    m_resultDlg->setAttribute(Qt::WA_DeleteOnClose);
    m_resultDlg->open();
}

const engine::RecordSettings& CMainDlg::RecordSettings() {
    if (!m_bRecordSettingsRead) {
        m_bRecordSettingsRead = true;
        m_recordSettings = m_bDemo ? engine::DemoRecordSettings(engine::LocalToday())
                                   : ReadRecordSettings(m_strIniPath);
    }
    return m_recordSettings;
}

void CMainDlg::SetRecordSettings(const engine::RecordSettings& settings) {
    m_bRecordSettingsRead = true;
    m_recordSettings = settings;
    // Kept for the session whether or not the file takes them.
    if (!m_bDemo && SaveRecordSettings({m_strIniPath, m_bIniInUserFolder}, settings) == 0) {
        AskMessageBox(
            this,
            QStringLiteral("错误: 无法保存记录设置到%1!").arg(QString::fromStdString(m_strIniPath)),
            QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, m_closing);
    }
}

std::string CMainDlg::SaveCalibrationRecord(engine::CalibrationRecord record) {
    record.settings = RecordSettings();
    record.softwareVersion = TARVOK_VERSION_TEXT;
    // A demo record must never pass for one of a real fixture.
    if (m_bDemo) record.port += " (模拟演示)";
    const std::string folder = engine::RecordsFolder();
    // Numbered by the name its files will have: records are saved on this
    // thread only, so the name is still free when they are written.
    record.certificateNumber = engine::FreeRecordStem(folder, record);
    CertificateOptions options;
    options.demo = m_bDemo;
    const QByteArray pdf = RenderCertificate(record, options);
    std::string stem;
    std::string error;
    if (!engine::SaveRecord(folder, record, pdf.toStdString(), &stem, &error)) {
        platform::Trace("calibration record not written: " + error + "\n");
        // Told once per run: the next calibration would only say it again,
        // and the calibration itself has gone on regardless.
        if (!m_bRecordFailureTold && !m_closing.load()) {
            m_bRecordFailureTold = true;
            auto* box =
                new QMessageBox(QMessageBox::Critical, QStringLiteral("错误"),
                                QStringLiteral("错误: 无法保存校准记录到%1!\n%2")
                                    .arg(QDir::toNativeSeparators(QString::fromStdString(folder)),
                                         QString::fromStdString(error)),
                                QMessageBox::NoButton, this);
            box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
        return {};
    }
    if (!m_recordsDlg.isNull()) m_recordsDlg->Refresh();
    if (record.kind == engine::RecordKind::kCalibration) ShowCalibrationDue(record.deviceNumber);
    return stem;
}

CRecordsDlg* CMainDlg::OpenRecords() {
    if (m_recordsDlg.isNull()) {
        m_recordsDlg = new CRecordsDlg(this, engine::RecordsFolder());
        m_recordsDlg->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        m_recordsDlg->Refresh();
    }
    m_recordsDlg->show();
    m_recordsDlg->raise();
    m_recordsDlg->activateWindow();
    return m_recordsDlg;
}

void CMainDlg::OpenRecordSettings() {
    CRecordSettingsDlg dialog(this, RecordSettings(), m_bDemo);
    if (dialog.exec() != QDialog::Accepted || m_closing.load()) return;
    SetRecordSettings(dialog.Settings());
}

}  // namespace app
