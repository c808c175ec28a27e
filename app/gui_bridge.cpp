#include "app/gui_bridge.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <future>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "platform/trace.h"

namespace app {
namespace {

// How often a waiting worker looks at its abandon flag, and a GUI-thread box
// at its own.
constexpr uint32_t kWaitSliceMs = 10;
constexpr int kAbandonPollMs = 20;

// Tasks cross to the GUI thread through this queue under a std::mutex
// rather than inside Qt's event: the hand-over is then one that the
// thread sanitizer can see. The Qt event only wakes the GUI thread up.
struct GuiQueue {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
};

GuiQueue& Queue() {
    static GuiQueue queue;
    return queue;
}

void DrainQueue() {
    for (;;) {
        std::function<void()> task;
        {
            const std::lock_guard<std::mutex> lock(Queue().mutex);
            if (Queue().tasks.empty()) return;
            task = std::move(Queue().tasks.front());
            Queue().tasks.pop_front();
        }
        task();
    }
}

// Wakes the GUI thread to drain the queue. The call is queued by method
// name, so the event is made and freed inside Qt; a functor queued from here
// would be allocated by the worker and freed by the GUI thread behind Qt's
// lock, which the thread sanitizer cannot see.
class GuiWaker : public QObject {
    Q_OBJECT

public:
    Q_INVOKABLE void Drain() { DrainQueue(); }
};

// Made on first use and moved to the GUI thread; it lives as long as the
// process, so a worker can never post to a waker that is gone.
GuiWaker* Waker(QCoreApplication* app) {
    static GuiWaker* const waker = [app] {
        auto* w = new GuiWaker;
        w->moveToThread(app->thread());
        return w;
    }();
    return waker;
}

// Bumped by CloseAllWorkerBoxes: a request older than the last close is
// answered IDCANCEL instead of being shown.
std::atomic<uint64_t> g_closeGeneration{0};

// GUI thread only: what CloseAllWorkerBoxes closes. The raw pointer is
// only compared, never followed, unless the guard says the dialog is still
// there: a widget announces its destruction when it is no dialog any more.
struct OpenDialog {
    QDialog* dialog;
    QPointer<QObject> alive;
};

std::vector<OpenDialog>& OpenDialogs() {
    static std::vector<OpenDialog> open;
    return open;
}

void Register(QDialog* dialog) { OpenDialogs().push_back({dialog, QPointer<QObject>(dialog)}); }

void Unregister(QDialog* dialog) {
    auto& open = OpenDialogs();
    open.erase(std::remove_if(open.begin(), open.end(),
                              [dialog](const OpenDialog& d) {
                                  return d.alive.isNull() || d.dialog == dialog;
                              }),
               open.end());
}

// One box or dialog asked for by a worker.
struct Request {
    std::promise<int> promise;
    uint64_t generation = 0;
    std::function<void(QDialog&, int)> onFinished;

    std::mutex mutex;  // guards abandoned, and onFinished while it runs
    bool abandoned = false;

    // GUI thread only.
    QPointer<QDialog> dialog;
    bool settled = false;

    bool Abandoned() {
        const std::lock_guard<std::mutex> lock(mutex);
        return abandoned;
    }
};

// GUI thread: answers the worker once. `dialog` is null when there is no
// dialog left to read from.
void Settle(const std::shared_ptr<Request>& request, QDialog* dialog, int result) {
    if (request->settled) return;
    request->settled = true;
    {
        // A worker that has given up may have left the variables that
        // onFinished writes; the lock makes the two exclude each other.
        const std::lock_guard<std::mutex> lock(request->mutex);
        if (!request->abandoned && dialog != nullptr && request->onFinished) {
            request->onFinished(*dialog, result);
        }
    }
    request->promise.set_value(result);
}

// What gives up a wait: one flag, or either of two.
struct Abandon {
    const std::atomic<bool>& flag;
    const std::atomic<bool>& flagToo;
    bool Set() const { return flag.load() || flagToo.load(); }
};

int WaitForAnswer(const std::shared_ptr<Request>& request, const Abandon& abandon) {
    std::future<int> answer = request->promise.get_future();
    for (;;) {
        if (answer.wait_for(platform::RealDuration(kWaitSliceMs)) == std::future_status::ready) {
            return answer.get();
        }
        if (abandon.Set()) {
            {
                const std::lock_guard<std::mutex> lock(request->mutex);
                request->abandoned = true;
            }
            // Close what nobody waits for any more.
            PostToGui([request] {
                if (request->dialog) request->dialog->reject();
            });
            return IDCANCEL;
        }
    }
}

int DialogResult(int qtResult) { return qtResult == QDialog::Rejected ? IDCANCEL : qtResult; }

int BoxResult(QMessageBox* box) {
    switch (box->standardButton(box->clickedButton())) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        case QMessageBox::Cancel:
            return IDCANCEL;
        default:
            return IDCANCEL;  // closed by the program, not answered
    }
}

QMessageBox* MakeMessageBox(QWidget* owner, const QString& text, const QString& caption,
                            BoxIcon icon, BoxButtons buttons) {
    // Under --trace what the operator was told goes with the frames.
    if (platform::TraceEnabled())
        platform::Trace("box: " + caption.toStdString() + ": " +
                        QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')).toStdString() +
                        "\n");
    auto* box = new QMessageBox(owner);
    box->setWindowTitle(caption);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    switch (icon) {
        case BoxIcon::kNone:
            box->setIcon(QMessageBox::NoIcon);
            break;
        case BoxIcon::kError:
            box->setIcon(QMessageBox::Critical);
            break;
        case BoxIcon::kExclamation:
            box->setIcon(QMessageBox::Warning);
            break;
        case BoxIcon::kInformation:
            box->setIcon(QMessageBox::Information);
            break;
    }
    // The first button is the default (Enter), the last answers Esc. The
    // mnemonics make Y and N answer without Alt, as on Windows.
    using Row = std::initializer_list<std::pair<QMessageBox::StandardButton, const char*>>;
    static const Row kYesNo{{QMessageBox::Yes, "是(&Y)"}, {QMessageBox::No, "否(&N)"}};
    static const Row kOkCancel{{QMessageBox::Ok, "确定"}, {QMessageBox::Cancel, "取消"}};
    static const Row kOk{{QMessageBox::Ok, "确定"}};
    const Row& row = buttons == BoxButtons::kYesNo      ? kYesNo
                     : buttons == BoxButtons::kOkCancel ? kOkCancel
                                                        : kOk;
    QPushButton* last = nullptr;
    for (const auto& [kind, label] : row) {
        last = box->addButton(kind);
        last->setText(QString::fromUtf8(label));
        if (box->defaultButton() == nullptr) box->setDefaultButton(last);
    }
    box->setEscapeButton(last);
    return box;
}

// GUI thread: shows a dialog for a waiting worker without blocking.
void OpenForWorker(const std::shared_ptr<Request>& request, QDialog* dialog, bool hasOwner,
                   const std::function<int(QDialog*, int)>& result) {
    if (dialog == nullptr) {
        Settle(request, nullptr, IDCANCEL);
        return;
    }
    request->dialog = dialog;
    Register(dialog);
    QObject::connect(dialog, &QDialog::finished, dialog, [request, dialog, result](int code) {
        Unregister(dialog);
        Settle(request, dialog, result(dialog, code));
        dialog->deleteLater();
    });
    // Deleted with its owner before it finished.
    QObject::connect(dialog, &QObject::destroyed, [request, dialog] {
        Unregister(dialog);
        Settle(request, nullptr, IDCANCEL);
    });
    if (hasOwner) {
        dialog->open();  // window-modal to the owner
    } else {
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->show();
    }
}

bool Outdated(const std::shared_ptr<Request>& request) {
    return request->generation != g_closeGeneration.load() || request->Abandoned();
}

// GUI thread: runs a dialog in its own event loop; `abandon` and
// CloseAllWorkerBoxes end it as they would a worker's.
int ExecOnGuiThread(QDialog* dialog, const Abandon& abandon,
                    const std::function<int(QDialog*, int)>& result,
                    const std::function<void(QDialog&, int)>& onFinished) {
    if (dialog == nullptr) return IDCANCEL;
    if (abandon.Set()) {
        // Asked for once the program is closing: never shown.
        delete dialog;
        return IDCANCEL;
    }
    const QPointer<QDialog> guard(dialog);
    Register(dialog);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, dialog, [&abandon, guard] {
        if (abandon.Set() && guard) guard->reject();
    });
    watch.start(kAbandonPollMs);
    const int code = dialog->exec();
    watch.stop();
    if (!guard) return IDCANCEL;  // deleted with its owner
    Unregister(dialog);
    const bool abandoned = abandon.Set();
    const int answer = abandoned ? IDCANCEL : result(dialog, code);
    if (onFinished && !abandoned) onFinished(*dialog, answer);
    delete dialog;
    return answer;
}

const std::atomic<bool> kNeverAbandoned{false};

}  // namespace

bool IsGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void PostToGui(std::function<void()> task) {
    {
        const std::lock_guard<std::mutex> lock(Queue().mutex);
        Queue().tasks.push_back(std::move(task));
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(Waker(app), "Drain", Qt::QueuedConnection);
    }
}

int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons, const std::atomic<bool>& abandon) {
    return AskMessageBox(owner, text, caption, icon, buttons, abandon, abandon);
}

int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons, const std::atomic<bool>& abandon,
                  const std::atomic<bool>& abandonToo) {
    const Abandon either{abandon, abandonToo};
    const auto boxResult = [](QDialog* d, int) { return BoxResult(static_cast<QMessageBox*>(d)); };
    if (IsGuiThread()) {
        return ExecOnGuiThread(MakeMessageBox(owner, text, caption, icon, buttons), either,
                               boxResult, {});
    }
    auto request = std::make_shared<Request>();
    request->generation = g_closeGeneration.load();
    PostToGui([request, owner = QPointer<QWidget>(owner), hasOwner = owner != nullptr, text,
               caption, icon, buttons, boxResult] {
        if (Outdated(request) || (hasOwner && owner.isNull())) {
            Settle(request, nullptr, IDCANCEL);
            return;
        }
        OpenForWorker(request, MakeMessageBox(owner, text, caption, icon, buttons), hasOwner,
                      boxResult);
    });
    return WaitForAnswer(request, either);
}

int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons) {
    return AskMessageBox(owner, text, caption, icon, buttons, kNeverAbandoned);
}

int RunDialogForWorker(std::function<QDialog*()> make, const std::atomic<bool>& abandon,
                       std::function<void(QDialog&, int)> onFinished) {
    const auto dialogResult = [](QDialog*, int code) { return DialogResult(code); };
    if (IsGuiThread()) {
        return ExecOnGuiThread(make(), Abandon{abandon, abandon}, dialogResult, onFinished);
    }
    auto request = std::make_shared<Request>();
    request->generation = g_closeGeneration.load();
    request->onFinished = std::move(onFinished);
    PostToGui([request, make = std::move(make), dialogResult] {
        if (Outdated(request)) {
            Settle(request, nullptr, IDCANCEL);
            return;
        }
        QDialog* dialog = make();
        OpenForWorker(request, dialog, dialog != nullptr && dialog->parentWidget() != nullptr,
                      dialogResult);
    });
    return WaitForAnswer(request, Abandon{abandon, abandon});
}

void CloseAllWorkerBoxes() {
    g_closeGeneration.fetch_add(1);
    const std::vector<OpenDialog> open = OpenDialogs();
    for (const OpenDialog& d : open) {
        if (!d.alive.isNull()) d.dialog->reject();
    }
}

std::vector<QDialog*> OpenWorkerDialogs() {
    std::vector<QDialog*> dialogs;
    for (const OpenDialog& d : OpenDialogs()) {
        if (!d.alive.isNull()) dialogs.push_back(d.dialog);
    }
    return dialogs;
}

}  // namespace app

#include "gui_bridge.moc"
