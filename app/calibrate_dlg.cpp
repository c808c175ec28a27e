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
#include <utility>

#include "app/gui_bridge.h"
#include "app/resource.h"
#include "platform/auto_reset_event.h"

namespace app {
namespace {

// How long a dialog destroyed under its running worker waits at a time.
constexpr uint32_t kReleaseWaitMs = 1000;

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
    onClick(IDC_STOP, &CCalibrateDlg::OnStop);
    onClick(IDOK, &CCalibrateDlg::OnOK);
    onClick(IDCANCEL, &CCalibrateDlg::OnCancel);
    // The focus the dialog opens with.
    if (QLineEdit* reference = Reference()) reference->setFocus();
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
        if (QLineEdit* reference = Reference()) {
            // A new current: the nominal value stands there selected, so
            // what the operator types replaces it.
            reference->setText(QString::fromStdString(*p.reference));
            reference->selectAll();
        }
    }
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
    const QLineEdit* measured = Measured();
    QLineEdit* reference = Reference();
    const bool taken =
        m_wizard->OnNext(measured != nullptr ? measured->text().toStdString() : std::string(),
                         reference != nullptr ? reference->text().toStdString() : std::string());
    if (!taken && reference != nullptr) {
        // Refused (the instruction says why): ready to be typed again.
        reference->setFocus(Qt::OtherFocusReason);
        reference->selectAll();
    }
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

void CCalibrateDlg::OnSetFocusReference(Qt::FocusReason reason) {
    m_bEditFocused = 1;
    QLineEdit* reference = Reference();
    if (reference == nullptr) return;
    switch (reason) {
        case Qt::ActiveWindowFocusReason:
        case Qt::PopupFocusReason:
            // The window or a menu coming back: what was being typed stays.
            break;
        case Qt::MouseFocusReason:
            // The click that gives the focus places the caret after this;
            // select once it has.
            QTimer::singleShot(0, reference, [reference] { reference->selectAll(); });
            break;
        default:
            reference->selectAll();
            break;
    }
}

void CCalibrateDlg::OnKillFocusReference() { m_bEditFocused = 0; }

bool CCalibrateDlg::PreTranslateMessage(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // Next, and never the hidden OK button.
        OnNext();
        return true;
    }
    if ((event->modifiers() & Qt::KeypadModifier) && key >= Qt::Key_0 && key <= Qt::Key_9 &&
        m_bEditFocused == 0) {
        TypeIntoReference(static_cast<char>('0' + (key - Qt::Key_0)));
        return true;
    }
    return false;
}

void CCalibrateDlg::TypeIntoReference(char ch) {
    QLineEdit* reference = Reference();
    if (reference == nullptr) return;
    reference->setFocus(Qt::OtherFocusReason);
    // The digit starts the new value: it replaces the whole text.
    reference->selectAll();
    reference->insert(QString(QChar::fromLatin1(ch)));
}

bool CCalibrateDlg::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
            if (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this) {
                return PreTranslateMessage(static_cast<QKeyEvent*>(event));
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
