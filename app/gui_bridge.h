// How the worker threads reach the GUI thread. Workers never touch a
// widget: they post work to the GUI thread, and when the operator's answer
// decides what they do next, they ask for a modal message box or dialog
// that the GUI thread runs for them while they wait.
//
// The wait is in short slices on the platform clock that also watch an
// abandon flag, and the GUI thread never waits for a worker to answer, so
// nothing deadlocks when the GUI thread waits for a worker inside a modal
// loop: it sets the worker's abandon flag (or calls CloseAllWorkerBoxes) and
// the worker's box returns IDCANCEL.
//
// Everything here needs a QApplication, and the workers must have ended
// before it is destroyed.
#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <vector>

#include "app/resource.h"

class QDialog;
class QWidget;

namespace app {

// True on the thread of the QApplication.
bool IsGuiThread();

// Runs `task` on the GUI thread later, in posting order; never waits. From
// the GUI thread itself it runs later too.
void PostToGui(std::function<void()> task);

enum class BoxIcon { kNone, kError, kExclamation, kInformation };
enum class BoxButtons { kOk, kYesNo, kOkCancel };

// A modal message box owned by `owner` (null for none): caption and text as
// given, buttons "确定", "是(&Y)" / "否(&N)" or "确定" / "取消". Yes is the
// default button (Enter), No answers Esc, N and the close box; an OK box
// answers OK to Enter, Esc and the close box; an OK / Cancel box answers OK
// to Enter and Cancel to Esc and the close box. Returns IDOK, IDCANCEL,
// IDYES or IDNO, and IDCANCEL when the box was closed by
// CloseAllWorkerBoxes or `abandon` was set.
//
// From a worker, the box opens on the GUI thread (window-modal to its
// owner, application-modal without one) and the worker waits; `abandon`
// makes it return within a few milliseconds and the box then closes. On
// the GUI thread the box runs at once in its own event loop.
int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons, const std::atomic<bool>& abandon);
int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons);
// The same, abandoned by either flag: a box that the program's close and
// the close of the window it belongs to must both end.
int AskMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                  BoxButtons buttons, const std::atomic<bool>& abandon,
                  const std::atomic<bool>& abandonToo);

// Runs a modal dialog for a worker the same way. `make` runs on the GUI
// thread and returns a new dialog (parented to its owner); the bridge shows
// it, and deletes it once it has finished. `onFinished`, when given, runs on
// the GUI thread as the dialog finishes, before the worker sees the result,
// unless the worker has given up waiting by then: the place to copy what
// the dialog collected. Returns the dialog's result code (IDOK for
// accept(), IDCANCEL for reject() and the close box), or IDCANCEL when
// abandoned or closed by CloseAllWorkerBoxes.
int RunDialogForWorker(std::function<QDialog*()> make, const std::atomic<bool>& abandon,
                       std::function<void(QDialog&, int result)> onFinished = {});

// GUI thread: rejects every box and dialog still open for a worker (and
// the ones asked for but not yet shown), so that closing the window never
// waits for the operator.
void CloseAllWorkerBoxes();

// GUI thread: the boxes and dialogs open through this bridge, oldest first.
std::vector<QDialog*> OpenWorkerDialogs();

}  // namespace app
