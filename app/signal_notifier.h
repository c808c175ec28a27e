// SIGINT and SIGTERM end the program the way the close box does. The
// handler only writes a byte to a socket pair; a QSocketNotifier reads it on
// the GUI thread and runs the callback there (Qt's own recipe for signals).
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace app {

class SignalNotifier : public QObject {
public:
    // Installs the handlers; `onSignal` runs on the GUI thread, once per
    // signal delivered.
    explicit SignalNotifier(std::function<void()> onSignal, QObject* parent = nullptr);
    ~SignalNotifier() override;
    bool Installed() const { return m_installed; }

private:
    std::function<void()> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
    bool m_installed = false;
};

}  // namespace app
