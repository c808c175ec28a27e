// The main window: the loop-current and channel readouts, the channel
// menu and step buttons, the device-number list and write button, the
// calibrate button, and the menu bar with the serial ports. It never talks
// to the fixture itself: every button, menu command and arrow key posts an
// operation to the main worker (engine/main_worker.h), which writes back
// through the MainWindowView calls below.
//
// Threads: widgets belong to the GUI thread. The view calls come from the
// workers and either touch only thread-safe state (the readouts' texts,
// atomics) or are queued to the GUI thread; the boxes and dialogs a worker
// asks for run on the GUI thread while the worker waits (app/gui_bridge.h).
#pragma once

#include <QDialog>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/dialog_builder.h"
#include "app/menus.h"
#include "engine/main_window_view.h"
#include "engine/main_worker.h"
#include "engine/poll_history.h"
#include "engine/readings_log.h"
#include "serial/notifier.h"

class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QTimer;

namespace controls {
class CSegmentDisplay;
}

namespace platform {
class AppendFile;
}

namespace app {

class CLinkDiagDlg;
class COverviewDlg;
class CRecordsDlg;
class CCalibrationResultDlg;
class CStatusLine;
class CTrendDlg;

class CMainDlg : public QDialog, public engine::MainWindowView, public serial::Notifier {
    Q_OBJECT

public:
    explicit CMainDlg(QWidget* parent = nullptr, bool demo = false);
    ~CMainDlg() override;

    // The initialisation sequence: menus, port search and the remembered
    // port, readouts, and the worker started last. False when the window
    // was closed meanwhile: there is nothing left to run.
    bool OnInitDialog();
    // The folder taken for the executable's when com.ini is located; before
    // OnInitDialog (tests).
    void SetAppDirectory(std::string directory) { m_strAppDirOverride = std::move(directory); }

    // Part of the window's own commands, public for tests.
    void SearchPorts();
    int OpenConfiguredPort();
    void SetPortMenuTitle(int position, const QString& text);
    void OnSearchPorts();
    void SelectPort(int id);
    void CheckChannelItem(int n) override;
    void SelectChannel(int id);
    void OnChannelMenuButton();
    void OnChannelUp();
    void OnChannelDown();
    void OnButtonWrite();
    void OnButtonCalibrate();
    void OnSysCommand(int command);
    void BeginBusy() { SetBusy(true); }
    void EndBusy() { SetBusy(false); }

    // engine::MainWindowView
    void SetCurrentText(const std::string& text) override;
    std::string GetChannelText() override;
    void SetChannelText(const std::string& text) override;
    void SetDeviceNumberText(const std::string& text) override;
    void SetBusy(bool busy) override;
    int GetDeviceNumberSelection() override;
    int MessageBox(const std::string& text, const std::string& caption, engine::BoxIcon icon,
                   engine::BoxButtons buttons) override;
    int RunChannelPrompt(const std::string& channel, bool verification) override;
    void RunCalibrateWizard(std::shared_ptr<engine::CCalibrateWizard> wizard) override;
    int RunCalibrationSummary(const std::vector<engine::RecordPoint>& points) override;

    void OnPoll(const engine::PollSample& sample) override;
    void SetFixtureSilent(bool silent, std::chrono::steady_clock::time_point since) override;
    void SetActivity(engine::Activity activity) override;
    void SetDeviceFault(bool fault) override;
    void OnScanRow(const engine::ScanRow& row, int done, int total) override;
    void OnScanFinished(const engine::ScanResult& result) override;
    void OnCalibrationRecord(const engine::CalibrationRecord& record) override;

    // The 工具 menu (main_dlg_tools.cpp).
    QMenu* ToolsMenu() const { return m_pToolsPopup; }
    // 记录数据: every poll appended to `path` until stopped; false with the
    // reason when the file cannot be opened or is no regular file. Neither
    // waits for a write.
    bool StartLogging(const QString& path, QString* error = nullptr);
    // The same on a file already open (tests: one that blocks or fails).
    void StartLogging(std::unique_ptr<platform::AppendFile> file, const QString& path);
    void StopLogging();
    const engine::ReadingsLog& ReadingsLog() const { return m_readingsLog; }
    bool IsLogging() const { return m_readingsLog.IsOpen(); }
    QString DefaultLogPath() const;
    CTrendDlg* OpenTrend();
    CLinkDiagDlg* OpenLinkDiagnostics();
    COverviewDlg* OpenOverview();
    const engine::PollHistory& PollHistory() const { return m_pollHistory; }
    // 校准验证, 校准记录, 记录设置.
    void OnVerifyCalibration();
    CRecordsDlg* OpenRecords();
    // The result box of the last completed calibration or verification
    // while it is open.
    CCalibrationResultDlg* ResultDialog() const;
    void OpenRecordSettings();
    // The settings every record is made with: com.ini's [RECORDS], read at
    // first use; in demo mode only what was set in this session.
    const engine::RecordSettings& RecordSettings();
    void SetRecordSettings(const engine::RecordSettings& settings);
    // GUI thread: the record's files in the records folder, with the
    // settings and the certificate; an unwritable folder is told once per
    // run of the program. The stem written, empty on failure.
    void ShowCalibrationResult(engine::CalibrationRecord record, const std::string& stem);
    std::string SaveCalibrationRecord(engine::CalibrationRecord record);
    // The status line's due date of fixture `deviceNumber`, from its last
    // written calibration in the records folder (-1: none known).
    void ShowCalibrationDue(int deviceNumber);

    // serial::Notifier
    void Notify(const serial::Notice& notice) override;
    void PortLost(int port, const std::string& name) override;

    engine::CMainWorker& Worker() { return m_worker; }
    const BuiltDialog& Controls() const { return m_controls; }
    QMenuBar* MenuBar() const { return m_menuPort; }
    QMenu* PortPopup() const { return m_pPortPopup; }
    QMenu* ChannelPopup() const { return m_pChannelPopup; }
    const MenuActions& PortActions() const { return m_portActions; }
    const MenuActions& ChannelActions() const { return m_channelActions; }
    controls::CSegmentDisplay* CurrentDisplay() const { return m_displayCurrent; }
    controls::CSegmentDisplay* ChannelDisplay() const { return m_displayChannel; }
    bool IsBusy() const { return m_bMouseEnabled.load() == 0; }
    // Below dialog 102's controls (main_dlg_status.cpp).
    CStatusLine* StatusLine() const { return m_statusLine; }
    bool IsClosing() const { return m_closing.load(); }
    const std::string& IniPath() const { return m_strIniPath; }

    // The port number kept for the next start, 0 for none.
    int ConfiguredPort() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    // The keyboard and mouse filter; true when the event is consumed.
    bool PreTranslateMessage(QObject* receiver, QEvent* event);
    // Arrow keys: a release is counted once it is known not to be half of
    // an auto-repeat (X11 without detectable auto-repeat sends a release
    // and a press with one timestamp for every repeat).
    void OnArrowKeyReleased(int key, int step, quint64 timestamp);
    void OnArrowKeyPressed(int key, quint64 timestamp);
    void CommitArrowKeyRelease();
    bool IsOwnControl(QObject* object) const;
    void OnCtlColor();
    void CheckPortItem(int port);
    int OpenPortAndShow(int port);
    void OnPortLost(int port, const QString& name);
    void ShutDown();
    void DismissEverything();
    void OnWorkerEnded();
    void BuildToolsMenu();
    void OnLogMenuItem(bool checked);
    void OnLogStarted(const QString& path);
    engine::ReadingsLog::Listener LogListener();
    void OnLogReport(int generation, const engine::LogReport& report);
    void ShowWindowTitle();
    // 校准, 校准验证 and 写入 need a fixture that answers: while it does not,
    // an error box says so ("无法" + what) and the caller posts nothing.
    bool RefusedWhileSilent(const QString& what);
    // 校准 and 校准验证 need the record settings complete and the reference
    // meter within its date: else an error box names what is missing.
    bool RefusedWithoutSettings(const QString& what);
    // Runs `task` on the GUI thread unless the window is gone by then.
    void PostToWindow(std::function<void()> task);

    controls::CSegmentDisplay* m_displayChannel = nullptr;
    controls::CSegmentDisplay* m_displayCurrent = nullptr;
    QPushButton* m_btnChannelUp = nullptr;
    QPushButton* m_btnChannelDown = nullptr;
    QPushButton* m_btnChannelMenu = nullptr;
    QPushButton* m_btnWrite = nullptr;
    QPushButton* m_btnCalibrate = nullptr;
    QLabel* m_staticHint = nullptr;
    QLabel* m_staticDeviceNumber = nullptr;
    QComboBox* m_listDeviceNumber = nullptr;

    BuiltDialog m_controls;
    QMenuBar* m_menuPort = nullptr;
    QMenu* m_pPortPopup = nullptr;
    QMenu* m_pChannelPopup = nullptr;
    MenuActions m_portActions;
    MenuActions m_channelActions;
    QMenu* m_pToolsPopup = nullptr;
    CStatusLine* m_statusLine = nullptr;
    QAction* m_actLogReadings = nullptr;
    QPointer<CTrendDlg> m_trendDlg;
    QPointer<CLinkDiagDlg> m_linkDiagDlg;
    QPointer<COverviewDlg> m_overviewDlg;
    QPointer<CRecordsDlg> m_recordsDlg;
    QPointer<CCalibrationResultDlg> m_resultDlg;
    engine::RecordSettings m_recordSettings;  // GUI thread
    bool m_bRecordSettingsRead = false;
    bool m_bRecordFailureTold = false;
    int m_nDueShownFor = -2;  // the device number the due date was last looked up for
    QString m_strTitle;             // the template's caption
    bool m_bFixtureSilent = false;  // GUI thread
    int m_nPortNotices = 0;         // the link's boxes shown on the GUI thread

    engine::ReadingsLog m_readingsLog;
    int m_nLogGeneration = 0;  // counts the files opened; a report of an older one is stale
    engine::PollHistory m_pollHistory;

    bool m_bDemo = false;
    std::string m_strAppDirOverride;
    std::string m_strAppDir;
    std::string m_strIniPath;
    bool m_bIniInUserFolder = false;

    // The arrow-key release held back for its repeat check (GUI thread).
    struct HeldRelease {
        bool valid = false;
        int key = 0;
        int step = 0;
        uint32_t tick = 0;
        quint64 timestamp = 0;
    } m_heldRelease;
    QTimer* m_repeatTimer = nullptr;

    std::atomic<int32_t> m_bWaitCursor{0};
    std::atomic<int32_t> m_bMouseEnabled{1};
    std::atomic<int> m_nDeviceSelection{-1};

    // Set once the window is closing: boxes a worker asks for come back at
    // once, and the close waits for the worker.
    std::atomic<bool> m_closing{false};
    bool m_workerEnded = false;
    bool m_initialised = false;
    bool m_initStarted = false;
    // Set once in the constructor; workers copy it to post to the window.
    const QPointer<CMainDlg> m_self;

    engine::CMainWorker m_worker;
};

}  // namespace app
