#include "app/signal_notifier.h"

namespace app {

// A window program on Windows gets no SIGTERM: the close box and the end of
// the session reach it as close messages.
SignalNotifier::SignalNotifier(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), m_onSignal(std::move(onSignal)) {}

SignalNotifier::~SignalNotifier() = default;

}  // namespace app
