#include "app/main_dlg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/calibrate_dlg.h"
#include "app/calibration_summary_dlg.h"
#include "app/channel_dlg.h"
#include "app/gui_bridge.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/settings.h"
#include "app/status_line.h"
#include "controls/segment_display.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/serial_link.h"

namespace app {
namespace {

using controls::MakeColorRef;

constexpr controls::COLORREF kBackground = MakeColorRef(220, 220, 220);
constexpr controls::COLORREF kReadoutBackground = MakeColorRef(192, 192, 192);
constexpr controls::COLORREF kReadoutDigits = MakeColorRef(0, 0, 255);
// How long an arrow-key release waits for the press that would make it an
// auto-repeat: the X server sends the two together.
constexpr int kRepeatPairMs = 40;
// How long a close waits for the worker before it ends the program anyway:
// the worker's transaction has been cut short and its boxes dismissed, so
// it normally ends in milliseconds.
constexpr int kShutdownGraceMs = 5000;

QString Q(const std::string& text) { return QString::fromStdString(text); }

bool IsEnterKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

BoxIcon ToBoxIcon(engine::BoxIcon icon) {
    switch (icon) {
        case engine::BoxIcon::kError:
            return BoxIcon::kError;
        case engine::BoxIcon::kExclamation:
            return BoxIcon::kExclamation;
        case engine::BoxIcon::kNone:
            break;
    }
    return BoxIcon::kNone;
}

// The hint's font: 13 pixels high at 96 dpi, normal weight, a Swiss face,
// SimSun first like the dialog font.
QFont HintFont(const QWidget* widget) {
    QFont font = DialogFont();
    const DialogBaseUnits base = BaseUnitsFor(widget);
    font.setPixelSize(MulDiv(13, base.y, kDesignBaseUnits.y));
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace

CMainDlg::CMainDlg(QWidget* parent, bool demo)
    : QDialog(parent), m_bDemo(demo), m_self(this), m_worker(*this) {
    setWindowIcon(LoadIcon(IDR_MAINFRAME));
    m_repeatTimer = new QTimer(this);
    m_repeatTimer->setSingleShot(true);
    connect(m_repeatTimer, &QTimer::timeout, this, [this] { CommitArrowKeyRelease(); });
    // The slot starts at mode 5 (read the channel); the cache of the
    // channels' transmitters starts empty.
    m_worker.PostOperation(engine::ModeReadChannel, 0, 0);
    hart::g_channelAddressCache.Clear();
    m_bWaitCursor.store(0);
    m_bMouseEnabled.store(1);
}

CMainDlg::~CMainDlg() {
    qApp->removeEventFilter(this);
    // Normally the worker has ended before the window goes; a window that
    // is destroyed without a close still must not leave it running.
    m_closing.store(true);
    serial::RaiseAbort();
    m_worker.RequestStop(true);
    if (m_worker.WasStarted())
        m_worker.WaitForEnd(60000);
    else if (m_initStarted)
        serial::ClosePort();  // start-up opened it; no worker will
    serial::LowerAbort();
    if (hart::g_pMainDlg == &m_worker) hart::g_pMainDlg = nullptr;
    serial::SetNotifier(nullptr);
}

bool CMainDlg::OnInitDialog() {
    m_initStarted = true;
    // 1. Controls of dialog 102, the readouts made as segment displays.
    m_controls = BuildDialog(MainDialogTemplate(), this,
                             [](const ControlTemplate& c, QWidget* p) -> QWidget* {
                                 if (c.id == IDC_DISPLAY_CURRENT || c.id == IDC_DISPLAY_CHANNEL)
                                     return new controls::CSegmentDisplay(p);
                                 return nullptr;
                             });
    m_strTitle = windowTitle();
    m_displayCurrent = m_controls.Get<controls::CSegmentDisplay>(IDC_DISPLAY_CURRENT);
    m_displayChannel = m_controls.Get<controls::CSegmentDisplay>(IDC_DISPLAY_CHANNEL);
    m_btnChannelUp = m_controls.Get<QPushButton>(IDC_CHANNEL_UP);
    m_btnChannelDown = m_controls.Get<QPushButton>(IDC_CHANNEL_DOWN);
    m_btnChannelMenu = m_controls.Get<QPushButton>(IDC_CHANNEL_MENU);
    m_btnWrite = m_controls.Get<QPushButton>(IDC_BUTTON_WRITE);
    m_btnCalibrate = m_controls.Get<QPushButton>(IDC_BUTTON_CALIBRATE);
    m_staticHint = m_controls.Get<QLabel>(IDC_STATIC_HINT);
    m_staticDeviceNumber = m_controls.Get<QLabel>(IDC_DEVICE_NUMBER);
    m_listDeviceNumber = m_controls.Get<QComboBox>(IDC_DEVICE_LIST);
    // Enter never presses a button of this window (its release is dropped
    // by the filter and there is no default button).
    for (QWidget* w : m_controls.ordered)
        if (auto* b = qobject_cast<QPushButton*>(w)) b->setAutoDefault(false);
    connect(m_btnChannelUp, &QPushButton::clicked, this, [this] { OnChannelUp(); });
    connect(m_btnChannelDown, &QPushButton::clicked, this, [this] { OnChannelDown(); });
    connect(m_btnChannelMenu, &QPushButton::clicked, this, [this] { OnChannelMenuButton(); });
    connect(m_btnWrite, &QPushButton::clicked, this, [this] { OnButtonWrite(); });
    connect(m_btnCalibrate, &QPushButton::clicked, this, [this] { OnButtonCalibrate(); });
    connect(m_listDeviceNumber, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_nDeviceSelection.store(index); });

    // 3. The icon (the constructor loaded it). 4. The transactions' window.
    hart::g_pMainDlg = &m_worker;
    serial::SetNotifier(this);

    // 5. Where the port number is kept: beside the program, or in the
    // user's folder for an installed copy.
    m_strAppDir = m_strAppDirOverride.empty() ? GetAppDirectory() : m_strAppDirOverride;
    if (!m_bDemo) {
        const SettingsLocation settings = LocateSettings(m_strAppDir);
        m_strIniPath = settings.path;
        m_bIniInUserFolder = settings.userFolder;
    }

    // 6. The channel menu, shown as a popup, never on the menu bar.
    const auto onCommand = [this](int id) {
        if (id >= ID_CHANNEL_NONE && id <= ID_CHANNEL_LAST) {
            SelectChannel(id);
        } else if (id == ID_SEARCH_PORTS) {
            OnSearchPorts();
        } else if (id >= ID_PORT_FIRST && id <= ID_PORT_FIRST + 254) {
            SelectPort(id);
        } else if (id == IDM_ABOUTBOX) {
            OnSysCommand(id);
        }
    };
    m_pChannelPopup =
        BuildPopupMenu(ChannelMenuTemplate().popups.at(0), this, &m_channelActions, onCommand);

    // 7. Menu 133 becomes the menu bar; popup 1 lists the ports. 2. The
    // window manager owns the system menu here, so the about item has a
    // menu of its own at the end of the bar, after the two of menu 133.
    m_menuPort = BuildMenuBar(PortMenuTemplate(), this, &m_portActions, onCommand);
    m_pPortPopup = m_menuPort->actions().at(1)->menu();
    BuildToolsMenu();
    if (const QString about = LoadString(IDS_ABOUTBOX); !about.isEmpty()) {
        QMenu* help = m_menuPort->addMenu(QStringLiteral("帮助"));
        help->addAction(about, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }
    AttachMenuBar(this, m_menuPort);
    // The status line goes below the template's controls, which keep their
    // places: the window grows by its height as it does by the menu bar's.
    m_statusLine = new CStatusLine(this, m_controls.base);
    m_statusLine->SetDemo(m_bDemo);
    AttachStatusLine(this, m_statusLine);

    // 8. The ports present, then the remembered one (may show boxes). A
    // close meanwhile (a signal while a box was up) ends start-up here.
    SearchPorts();
    if (!m_closing.load()) OpenConfiguredPort();
    if (m_closing.load()) return false;

    // 9.-12. Colours, readouts, the hint's font.
    OnCtlColor();
    m_displayCurrent->SetBackgroundColor(kReadoutBackground);
    m_displayCurrent->SetSegmentColors(kReadoutBackground, kReadoutDigits);
    m_displayCurrent->SetText(" 0.000");
    m_displayChannel->SetText("00");
    m_staticHint->setFont(HintFont(this));

    // 13.-15. No channel checked, "设备1 #" chosen, the channel read first.
    CheckChannelItem(engine::kUncheckAll);
    m_listDeviceNumber->setCurrentIndex(0);
    m_worker.PostOperation(engine::ModeReadChannel, 0, 0);

    // 16. The bitmaps are on their buttons by the template. 17. The worker,
    // last; it tells the window when it has ended.
    qApp->installEventFilter(this);
    if (m_closing.load()) return false;
    m_worker.Start([this] { PostToWindow([this] { OnWorkerEnded(); }); });
    m_initialised = true;
    return true;
}

// Colours: the dialog, its statics, buttons and list on RGB(220,220,220);
// the readouts paint their own background.
void CMainDlg::OnCtlColor() {
    QPalette p = palette();
    p.setColor(QPalette::Window, controls::ToQColor(kBackground));
    p.setColor(QPalette::Button, controls::ToQColor(kBackground));
    setPalette(p);
    setAutoFillBackground(true);
}

// --- What the workers see ---------------------------------------------

// Under --trace the readouts' texts go with the frames: what the operator
// saw, next to what the line carried.
void CMainDlg::SetCurrentText(const std::string& text) {
    if (platform::TraceEnabled()) platform::Trace("current readout: '" + text + "'\n");
    m_displayCurrent->SetText(text.c_str());
}

std::string CMainDlg::GetChannelText() { return m_displayChannel->GetText(); }

void CMainDlg::SetChannelText(const std::string& text) {
    if (platform::TraceEnabled()) platform::Trace("channel readout: '" + text + "'\n");
    m_displayChannel->SetText(text.c_str());
}

void CMainDlg::SetDeviceNumberText(const std::string& text) {
    if (platform::TraceEnabled()) platform::Trace("device number: '" + text + "'\n");
    PostToWindow([this, t = Q(text)] {
        m_staticDeviceNumber->setText(t);
        // Once per fixture identified: the records are read from disk.
        const int number = m_worker.DeviceNumber();
        if (number != m_nDueShownFor) ShowCalibrationDue(number);
    });
}

void CMainDlg::SetBusy(bool busy) {
    m_bMouseEnabled.store(busy ? 0 : 1);
    m_bWaitCursor.store(busy ? 1 : 0);
    // The cursor over this window only: boxes shown while busy keep theirs.
    PostToWindow([this] {
        if (m_bWaitCursor.load())
            setCursor(Qt::WaitCursor);
        else
            unsetCursor();
    });
}

int CMainDlg::GetDeviceNumberSelection() { return m_nDeviceSelection.load(); }

int CMainDlg::MessageBox(const std::string& text, const std::string& caption, engine::BoxIcon icon,
                         engine::BoxButtons buttons) {
    if (m_closing.load()) return engine::kBoxAbandoned;
    const int r = AskMessageBox(
        this, Q(text), Q(caption), ToBoxIcon(icon),
        buttons == engine::BoxButtons::kYesNo ? BoxButtons::kYesNo : BoxButtons::kOk, m_closing);
    return m_closing.load() ? engine::kBoxAbandoned : r;
}

int CMainDlg::RunChannelPrompt(const std::string& channel, bool verification) {
    if (m_closing.load()) return engine::kBoxAbandoned;
    const QString text = Q(channel);
    const int r = RunDialogForWorker(
        [this, text, verification] {
            auto* prompt = new CChannelDlg(this, text);
            prompt->SetVerification(verification);
            return prompt;
        },
        m_closing);
    return m_closing.load() ? engine::kBoxAbandoned : r;
}

void CMainDlg::RunCalibrateWizard(std::shared_ptr<engine::CCalibrateWizard> wizard) {
    if (m_closing.load()) return;
    RunDialogForWorker(
        [this, wizard] {
            // The window's settings are read on its own thread, before the
            // wizard's worker starts.
            wizard->SetPlausibility(RecordSettings().plausibilityPercentOfSpan);
            return new CCalibrateDlg(this, wizard, m_closing);
        },
        m_closing);
}

int CMainDlg::RunCalibrationSummary(const std::vector<engine::RecordPoint>& points) {
    if (m_closing.load()) return engine::kBoxAbandoned;
    const int r = RunDialogForWorker(
        [this, points] { return new CCalibrationSummaryDlg(this, points); }, m_closing);
    return m_closing.load() ? engine::kBoxAbandoned : r;
}

// --- The link's messages --------------------------------------------

void CMainDlg::Notify(const serial::Notice& notice) {
    const QString caption = Q(notice.caption.empty() ? engine::kApplicationTitle : notice.caption);
    auto show = [this, text = Q(notice.text), caption] {
        if (!m_closing.load())
            AskMessageBox(this, text, caption, BoxIcon::kNone, BoxButtons::kOk, m_closing);
    };
    // On the GUI thread (a port chosen from the menu) the box comes before
    // the caller goes on, as a modal box would.
    if (IsGuiThread()) {
        ++m_nPortNotices;
        show();
    } else
        PostToWindow(show);
}

void CMainDlg::PortLost(int port, const std::string& name) {
    PostToWindow([this, port, n = Q(name)] { OnPortLost(port, n); });
}

// Not through a functor queued to Qt: that one is made on the worker and
// run on the GUI thread behind Qt's own lock, which the thread sanitizer
// cannot see, so every capture it reads would look like a race.
void CMainDlg::PostToWindow(std::function<void()> task) {
    PostToGui([self = m_self, task = std::move(task)] {
        if (self) task();
    });
}

// --- Keyboard and mouse ------------------------------------------------

bool CMainDlg::IsOwnControl(QObject* object) const {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr || widget->window() != this) return false;
    // The menu bar stays usable while the window is busy.
    for (QWidget* w = widget; w != nullptr && w != this; w = w->parentWidget())
        if (qobject_cast<QMenuBar*>(w) != nullptr) return false;
    return true;
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
    if (PreTranslateMessage(watched, event)) return true;
    return QDialog::eventFilter(watched, event);
}

bool CMainDlg::PreTranslateMessage(QObject* receiver, QEvent* event) {
    const QEvent::Type type = event->type();
    const bool mouseButton = type == QEvent::MouseButtonPress ||
                             type == QEvent::MouseButtonRelease ||
                             type == QEvent::MouseButtonDblClick;
    if (!mouseButton && type != QEvent::KeyRelease && type != QEvent::KeyPress) return false;
    // The menu bar keeps the keyboard focus after a menu was used from the
    // keyboard; while it is not navigating, the keys are the window's.
    const bool idleMenuBar =
        !mouseButton && receiver == m_menuPort && m_menuPort->activeAction() == nullptr;
    if (!idleMenuBar && !IsOwnControl(receiver)) return false;

    if (mouseButton) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const Qt::MouseButton b = mouse->button();
        const bool counted = b == Qt::LeftButton || b == Qt::RightButton || b == Qt::MiddleButton;
        return counted && m_bMouseEnabled.load() == 0;
    }

    auto* key = static_cast<QKeyEvent*>(event);
    const bool release = type == QEvent::KeyRelease;
    // One step per physical release: auto-repeat releases are not the
    // operator letting go.
    if (release && key->isAutoRepeat()) return false;
    if (release && IsEnterKey(key->key())) return true;
    // A key the focus widget does not take is offered to its parents too;
    // only its first receiver counts.
    QWidget* first = QApplication::focusWidget();
    if (first == nullptr || first->window() != this) first = this;
    if (receiver != first) return false;
    int step = 0;
    switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Up:
            step = 1;
            break;
        case Qt::Key_Right:
        case Qt::Key_Down:
            step = -1;
            break;
        default:
            return false;
    }
    // A list or drop-down with the focus moves its own selection.
    if (qobject_cast<QComboBox*>(first) != nullptr ||
        qobject_cast<QAbstractItemView*>(first) != nullptr)
        return false;
    if (release)
        OnArrowKeyReleased(key->key(), step, key->timestamp());
    else
        OnArrowKeyPressed(key->key(), key->timestamp());
    return false;
}

void CMainDlg::OnArrowKeyReleased(int key, int step, quint64 timestamp) {
    CommitArrowKeyRelease();
    m_heldRelease = {true, key, step, platform::Tick(), timestamp};
    // Without a timestamp no press can be matched to it.
    if (timestamp == 0) {
        CommitArrowKeyRelease();
        return;
    }
    m_repeatTimer->start(kRepeatPairMs);
}

void CMainDlg::OnArrowKeyPressed(int key, quint64 timestamp) {
    if (!m_heldRelease.valid) return;
    if (m_heldRelease.key == key && m_heldRelease.timestamp == timestamp) {
        // The release was half of a repeat: the key is still held.
        m_heldRelease.valid = false;
        m_repeatTimer->stop();
        return;
    }
    CommitArrowKeyRelease();
}

// The step counts from the release itself, so the 500 ms quiet time is
// unchanged by the wait for a repeat's press.
void CMainDlg::CommitArrowKeyRelease() {
    if (!m_heldRelease.valid) return;
    m_heldRelease.valid = false;
    m_repeatTimer->stop();
    m_worker.OnStepKeyReleased(m_heldRelease.step, m_heldRelease.tick);
}

// Enter and Esc do not close the window: only its close box (or a signal)
// does, through the shutdown below.
void CMainDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CMainDlg::reject() {
    // QDialog routes Esc and its close to reject(); the window ends only
    // once its worker has.
    if (m_workerEnded || !m_initialised) {
        QDialog::reject();
        return;
    }
    ShutDown();
}

// --- Shutdown -------------------------------------------------------------

void CMainDlg::closeEvent(QCloseEvent* event) {
    if (m_workerEnded || !m_initialised) {
        // Closed before the worker ran (a signal during start-up): nothing
        // to wait for, but a box start-up is showing must go, and start-up
        // must stop where it is.
        DismissEverything();
        event->accept();
        QDialog::reject();
        return;
    }
    event->ignore();
    ShutDown();
}

// The close: the worker stops after its pass and closes the port; the
// transaction it is in is cut short and whatever it waits in (a box, a
// dialog) is dismissed, so the window never waits on the operator or the
// line. The window ends when the worker says it has.
void CMainDlg::ShutDown() {
    if (m_closing.load()) return;
    platform::Trace("closing: stopping the worker\n");
    m_worker.RequestStop(true);
    DismissEverything();
    QTimer::singleShot(kShutdownGraceMs, this, [this] {
        if (m_workerEnded) return;
        platform::Trace("closing: the worker did not end; leaving without it\n");
        serial::ClosePort();
        std::_Exit(0);
    });
}

// From here on no box opens: every one the window or a worker asks for
// comes back at once.
void CMainDlg::DismissEverything() {
    if (m_closing.exchange(true)) return;
    serial::RaiseAbort();  // for good: nothing is sent any more
    m_heldRelease.valid = false;
    CloseAllWorkerBoxes();
    // Boxes, dialogs and menus the window opened itself.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w == this || !w->isVisible()) continue;
        if (auto* menu = qobject_cast<QMenu*>(w))
            menu->close();
        else if (auto* dialog = qobject_cast<QDialog*>(w))
            dialog->reject();
    }
}

void CMainDlg::OnWorkerEnded() {
    m_workerEnded = true;
    m_worker.WaitForEnd(1000);  // joins: it has ended
    if (m_closing.load()) {
        done(QDialog::Rejected);
    }
}

}  // namespace app
