// The current-calibration wizard, dialog 131: the face of
// engine::CCalibrateWizard. The wizard's worker fixes the transmitter's
// current and reads the fixture; this dialog shows what it is told, hands
// the operator's Next, stop and close to the wizard, and closes itself once
// the worker has ended.
//
// The dialog never ends while the worker runs (it may be inside a
// transaction): a close asked for meanwhile stops the wizard, dismisses its
// error box, and the dialog ends when the worker's end comes through its
// timer.
#pragma once

#include <QDialog>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/dialog_builder.h"
#include "engine/calibrate_wizard.h"

class QKeyEvent;
class QLineEdit;
class QPlainTextEdit;
class QShowEvent;
class QTimerEvent;

namespace platform {
class AutoResetEvent;
}

namespace app {

class CCalibrateDlg : public QDialog, public engine::CalibrateWizardView {
    Q_OBJECT

public:
    // `closing` turns true when the program closes: the error box then
    // answers at once. It must outlive the wizard's worker, which the flow
    // joins before it goes on.
    CCalibrateDlg(QWidget* parent, std::shared_ptr<engine::CCalibrateWizard> wizard,
                  const std::atomic<bool>& closing);
    // Destroyed early (with its owner), it stops the worker and waits for it
    // to leave this object alone: at most the end of one transaction.
    ~CCalibrateDlg() override;

    const BuiltDialog& Controls() const { return m_controls; }
    int32_t EditFocused() const { return m_bEditFocused; }

    // engine::CalibrateWizardView, called on the wizard's worker thread:
    // the widgets change later, on the dialog's thread.
    void SetInstructionText(const std::string& text) override;
    void SetMeasuredText(const std::string& text) override;
    void SetReferenceText(const std::string& text) override;
    void SetReferencePlaceholder(const std::string& text) override;
    // "确定" tries the same current again, "取消" stops the wizard.
    int ErrorBox(const std::string& text) override;
    void WorkerEnded() override;

    // Handlers, on the dialog's thread.
    // A reference the wizard refuses stays in the edit, selected; one far
    // from the fixture's reading is taken only when the operator says so.
    void OnNext();
    // 上一步: the previous point is fixed and read again.
    void OnPrevious();
    void OnHelp();
    void OnStop();
    void OnOK();
    void OnCancel();
    void OnTimer(int nIDEvent);  // Qt's id of the timer
    void OnSetFocusReference(Qt::FocusReason reason);
    void OnKillFocusReference();
    // The keyboard filter: true when the key press is consumed. Enter is
    // Next (when the text passes); digits, the point and Backspace go to
    // the reference edit wherever the focus is.
    bool PreTranslateMessage(QObject* watched, QKeyEvent* event);
    // 下一步 and 上一步 enabled as the text, the reading and the point allow.
    void UpdateButtons();

    // Every way to end the dialog: accept() (the hidden OK) reaches OnOK;
    // reject() (Esc, the close box, the bridge) reaches OnCancel; so does a
    // done() from outside.
    void accept() override;
    void reject() override;
    void done(int result) override;

    // The timer set when the worker has ended.
    static constexpr int kWorkerEndedTimerMs = 10;

protected:
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Q_INVOKABLE void ApplyPending();

    bool OnInitDialog();
    // Ends the dialog now if the worker is not running, else once it has.
    void EndDialog(int result);
    // Worker thread: changes what is pending and makes sure a call to
    // apply it is on its way.
    template <class Change>
    void Post(Change change);

    QLineEdit* Reference() const;
    QLineEdit* Measured() const;
    QPlainTextEdit* Prompt() const;

    BuiltDialog m_controls;
    std::shared_ptr<engine::CCalibrateWizard> m_wizard;
    const std::atomic<bool>& m_closing;

    // Dialog thread only.
    int32_t m_bEditFocused = 0;
    bool m_bStarted = false;
    bool m_bEnded = false;
    int m_nTimerId = 0;  // Qt's id of the worker-ended timer, 0 for none
    bool m_bAsking = false;  // the plausibility question is open

    // Set when the dialog is closing: the worker's error box gives up.
    std::atomic<bool> m_bAbandonBox{false};

    // What the worker has asked for and the dialog's thread has not shown
    // yet; one posted call applies it all.
    struct Pending {
        std::optional<std::string> instruction;
        std::optional<std::string> measured;
        std::optional<std::string> reference;
        std::optional<std::string> placeholder;
        bool workerEnded = false;
        bool posted = false;
    };
    std::mutex m_pendingMutex;
    Pending m_pending;

    // Set by the worker as it last touches this object; shared so that the
    // worker's Set never reaches an event destroyed with the dialog.
    std::shared_ptr<platform::AutoResetEvent> m_released;
};

}  // namespace app
