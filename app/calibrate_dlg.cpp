#include "app/calibrate_dlg.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QTimerEvent>
#include <cstdlib>
#include <utility>

#include "app/gui_bridge.h"
#include "app/resource.h"
#include "platform/auto_reset_event.h"

namespace app {
namespace {

// How long a dialog destroyed under its running worker waits at a time.
constexpr uint32_t kReleaseWaitMs = 1000;
// A reading with three decimals and some slack; a longer text is no reading.
constexpr int kReferenceMaxLength = 16;

// The keys that type a reference: they reach the edit wherever the focus is.
bool IsTypingKey(const QKeyEvent* event) {
    const int key = event->key();
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    return (key >= Qt::Key_0 && key <= Qt::Key_9) || key == Qt::Key_Period ||
           key == Qt::Key_Backspace;
}

}  // namespace

CCalibrateDlg::CCalibrateDlg(QWidget* parent, std::shared_ptr<engine::CCalibrateWizard> wizard,
                             const std::atomic<bool>& closing)
    : QDialog(parent),
      m_wizard(std::move(wizard)),
      m_closing(closing),
      m_released(std::make_shared<platform::AutoResetEvent>()) {
    m_controls = BuildDialog(CalibrateDialogTemplate(), this);
    // The same wizard checks a calibration without writing one.
    if (m_wizard->Reading() == engine::WizardReading::kLoopCurrent)
        setWindowTitle(QStringLiteral("校准验证"));
    const auto onClick = [this](int id, void (CCalibrateDlg::*handler)()) {
        if (auto* button = m_controls.Get<QPushButton>(id)) {
            connect(button, &QPushButton::clicked, this, handler);
        }
    };
    onClick(IDC_NEXT, &CCalibrateDlg::OnNext);
    onClick(IDC_PREVIOUS, &CCalibrateDlg::OnPrevious);
    onClick(IDC_HELP_BUTTON, &CCalibrateDlg::OnHelp);
    onClick(IDC_STOP, &CCalibrateDlg::OnStop);
    onClick(IDOK, &CCalibrateDlg::OnOK);
    onClick(IDCANCEL, &CCalibrateDlg::OnCancel);
    // The focus the dialog opens with.
    if (QLineEdit* reference = Reference()) {
        reference->setFocus();
        reference->setMaxLength(kReferenceMaxLength);
        connect(reference, &QLineEdit::textEdited, this, [this](const QString& text) {
            m_wizard->CheckReference(text.toStdString(), false);
            UpdateButtons();
        });
    }
    // The keyboard filter sees a key before the focused control does; the
    // reference edit's focus changes are watched on the way.
    QCoreApplication::instance()->installEventFilter(this);
}

CCalibrateDlg::~CCalibrateDlg() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
    if (!m_bStarted) return;
    // Normally the worker has long ended; deleted with its owner it may
    // still be in a transaction, and it calls this object until it ends.
    if (!m_wizard->WorkerEnded()) m_wizard->OnStop();
    m_bAbandonBox.store(true);
    while (!m_released->Wait(kReleaseWaitMs)) {
    }
}

QLineEdit* CCalibrateDlg::Reference() const { return m_controls.Get<QLineEdit>(IDC_REFERENCE); }
QLineEdit* CCalibrateDlg::Measured() const { return m_controls.Get<QLineEdit>(IDC_MEASURED); }
QPlainTextEdit* CCalibrateDlg::Prompt() const { return m_controls.Get<QPlainTextEdit>(IDC_PROMPT); }

void CCalibrateDlg::showEvent(QShowEvent* event) {
    if (!m_bStarted && !event->spontaneous()) OnInitDialog();
    QDialog::showEvent(event);
}

bool CCalibrateDlg::OnInitDialog() {
    m_bStarted = true;
    m_wizard->Start(*this);
    if (QLineEdit* reference = Reference()) reference->setFocus();
    return true;
}

// The worker's side.

template <class Change>
void CCalibrateDlg::Post(Change change) {
    bool post = false;
    {
        const std::lock_guard<std::mutex> lock(m_pendingMutex);
        change(m_pending);
        post = !m_pending.posted;
        m_pending.posted = true;
    }
    // Queued by name: the event is made and freed inside Qt.
    if (post) QMetaObject::invokeMethod(this, "ApplyPending", Qt::QueuedConnection);
}

void CCalibrateDlg::SetInstructionText(const std::string& text) {
    Post([&text](Pending& p) { p.instruction = text; });
}

void CCalibrateDlg::SetMeasuredText(const std::string& text) {
    Post([&text](Pending& p) { p.measured = text; });
}

void CCalibrateDlg::SetReferenceText(const std::string& text) {
    Post([&text](Pending& p) { p.reference = text; });
}

void CCalibrateDlg::SetReferencePlaceholder(const std::string& text) {
    Post([&text](Pending& p) { p.placeholder = text; });
}

int CCalibrateDlg::ErrorBox(const std::string& text) {
    // Closing, the box would only be dismissed again.
    if (m_closing.load() || m_bAbandonBox.load()) return IDCANCEL;
    return AskMessageBox(this, QString::fromStdString(text), QStringLiteral("错误"),
                         BoxIcon::kError, BoxButtons::kOkCancel, m_closing, m_bAbandonBox);
}

void CCalibrateDlg::WorkerEnded() {
    Post([](Pending& p) { p.workerEnded = true; });
    // The worker's last touch of this object: the copy keeps the event
    // alive through Set even if the dialog goes the moment it is set.
    const std::shared_ptr<platform::AutoResetEvent> released = m_released;
    released->Set();
}

// The dialog's side.

void CCalibrateDlg::ApplyPending() {
    Pending p;
    {
        const std::lock_guard<std::mutex> lock(m_pendingMutex);
        p = std::move(m_pending);
        m_pending = Pending{};
    }
    if (p.instruction) {
        // The worker's line breaks are "\r\n"; the edit wants one character.
        if (QPlainTextEdit* prompt = Prompt()) {
            prompt->setPlainText(QString::fromStdString(*p.instruction)
                                     .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        }
    }
    if (p.measured) {
        if (QLineEdit* measured = Measured())
            measured->setText(QString::fromStdString(*p.measured));
    }
    if (p.reference) {
        if (QLineEdit* reference = Reference()) reference->setText(QString::fromStdString(*p.reference));
    }
    if (p.placeholder) {
        // A new point: its nominal current is a grey hint, never a value.
        if (QLineEdit* reference = Reference())
            reference->setPlaceholderText(QString::fromStdString(*p.placeholder));
    }
    UpdateButtons();
    if (p.workerEnded && !m_bEnded && m_nTimerId == 0) {
        m_nTimerId = startTimer(kWorkerEndedTimerMs);
    }
}

void CCalibrateDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_nTimerId) {
        OnTimer(event->timerId());
        return;
    }
    QDialog::timerEvent(event);
}

void CCalibrateDlg::OnTimer(int nIDEvent) {
    killTimer(nIDEvent);
    if (nIDEvent == m_nTimerId) m_nTimerId = 0;
    m_wizard->OnTimer();
    OnCancel();  // the close that the timer sends
}

void CCalibrateDlg::OnNext() {
    QLineEdit* reference = Reference();
    const QLineEdit* measured = Measured();
    if (reference == nullptr || measured == nullptr || m_bAsking || m_bEnded) return;
    const std::string typed = reference->text().toStdString();
    const std::string reading = measured->text().toStdString();
    const auto retype = [reference] {
        reference->setFocus(Qt::OtherFocusReason);
        reference->selectAll();
    };
    // The same check that enables the button: a refused text says why.
    const std::optional<float> value = m_wizard->CheckReference(typed, true);
    if (!value || reading.empty()) {
        retype();
        return;
    }
    const std::string question =
        engine::ImplausibilityQuestion(*value, std::atof(reading.c_str()), m_wizard->Plausibility());
    if (!question.empty()) {
        m_bAsking = true;
        const int answer =
            AskMessageBox(this, QString::fromStdString(question), QStringLiteral("提示"),
                          BoxIcon::kExclamation, BoxButtons::kYesNo, m_closing, m_bAbandonBox);
        m_bAsking = false;
        if (!m_bEnded) activateWindow();  // the box gave the keyboard back
        if (answer != IDYES || m_bEnded || m_closing.load()) {
            if (!m_bEnded) retype();
            return;
        }
    }
    if (!m_wizard->OnNext(reading, typed)) retype();
    UpdateButtons();
}

void CCalibrateDlg::OnPrevious() {
    if (m_bAsking || m_bEnded) return;
    m_wizard->OnPrevious();
    UpdateButtons();
}

void CCalibrateDlg::OnHelp() {
    const bool verify = m_wizard->Reading() == engine::WizardReading::kLoopCurrent;
    AskMessageBox(this,
                  QStringLiteral("变送器依次固定在4, 8, 12, 16, 20 mA. 在每个点读取参考电流表的"
                                 "显示值, 输入到\"实际电流值\"后按\"下一步\"或回车; 与夹具读数"
                                 "相差过大时会再确认一次.\n\"上一步\"返回重做上一个点, \"取消\""
                                 "放弃本次%1.")
                      .arg(verify ? QStringLiteral("验证") : QStringLiteral("校准")),
                  QStringLiteral("帮助"), BoxIcon::kInformation, BoxButtons::kOk, m_closing,
                  m_bAbandonBox);
    if (QLineEdit* reference = Reference()) reference->setFocus(Qt::OtherFocusReason);
}

void CCalibrateDlg::UpdateButtons() {
    const QLineEdit* reference = Reference();
    const QLineEdit* measured = Measured();
    const int nominal = m_wizard->Nominal();
    if (auto* next = m_controls.Get<QPushButton>(IDC_NEXT)) {
        next->setEnabled(reference != nullptr && measured != nullptr && nominal != 0 &&
                         !measured->text().isEmpty() &&
                         engine::ParseReference(reference->text().toStdString(), nominal, nullptr)
                             .has_value());
    }
    if (auto* previous = m_controls.Get<QPushButton>(IDC_PREVIOUS)) previous->setEnabled(nominal > 4);
}

void CCalibrateDlg::OnStop() { m_wizard->OnStop(); }

void CCalibrateDlg::OnOK() {
    m_wizard->OnOK();
    EndDialog(IDOK);
}

void CCalibrateDlg::OnCancel() {
    m_wizard->OnCancel();
    EndDialog(IDCANCEL);
}

void CCalibrateDlg::accept() { OnOK(); }

void CCalibrateDlg::reject() { OnCancel(); }

void CCalibrateDlg::done(int result) {
    if (result == QDialog::Accepted) {
        OnOK();
    } else {
        OnCancel();
    }
}

void CCalibrateDlg::EndDialog(int result) {
    if (m_bEnded) return;
    if (m_bStarted && !m_wizard->WorkerEnded()) {
        // The stop is set: the worker ends after its transaction (its error
        // box goes too) and its timer closes the dialog then.
        m_bAbandonBox.store(true);
        return;
    }
    m_bEnded = true;
    if (m_nTimerId != 0) {
        killTimer(m_nTimerId);
        m_nTimerId = 0;
    }
    QDialog::done(result);
}

void CCalibrateDlg::OnSetFocusReference(Qt::FocusReason /*reason*/) {
    // What is being typed stays as it is: the focus comes back to the edit
    // after every click, and the next key goes on typing.
    m_bEditFocused = 1;
}

void CCalibrateDlg::OnKillFocusReference() { m_bEditFocused = 0; }

bool CCalibrateDlg::PreTranslateMessage(QObject* watched, QKeyEvent* event) {
    const int key = event->key();
    QLineEdit* reference = Reference();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // Next when the text passes, else the reason; never the hidden OK.
        OnNext();
        return true;
    }
    if (reference == nullptr || watched == reference || !IsTypingKey(event)) return false;
    reference->setFocus(Qt::OtherFocusReason);
    QKeyEvent copy(event->type(), key, event->modifiers(), event->text(), event->isAutoRepeat(),
                   static_cast<ushort>(event->count()));
    QCoreApplication::sendEvent(reference, &copy);
    return true;
}

bool CCalibrateDlg::eventFilter(QObject* watched, QEvent* event) {
    const bool ours =
        watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this;
    switch (event->type()) {
        case QEvent::KeyPress:
            if (ours) return PreTranslateMessage(watched, static_cast<QKeyEvent*>(event));
            break;
        case QEvent::MouseButtonRelease:
            // After any click in the wizard the keyboard types the reference
            // again; later, so that the click's own handler has run.
            if (ours) {
                QTimer::singleShot(0, this, [this] {
                    QLineEdit* reference = Reference();
                    if (reference != nullptr && !m_bEnded && isActiveWindow())
                        reference->setFocus(Qt::OtherFocusReason);
                });
            }
            break;
        case QEvent::FocusIn:
            if (watched == Reference()) {
                OnSetFocusReference(static_cast<QFocusEvent*>(event)->reason());
            }
            break;
        case QEvent::FocusOut:
            if (watched == Reference()) OnKillFocusReference();
            break;
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace app
