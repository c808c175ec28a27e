// Messages that opening a port shows the operator. The window implements
// this with message boxes; the console tool prints them.
#pragma once

#include <string>

namespace serial {

enum class NoticeIcon { kNone, kWarning, kError };

struct Notice {
    std::string text;
    std::string caption;  // empty: the application's own title
    NoticeIcon icon = NoticeIcon::kNone;
};

// Never called with the link locked, so an implementation may wait for a
// user interface that is itself waiting for the link.
class Notifier {
public:
    virtual ~Notifier() = default;
    // A message of OpenPort, delivered before OpenPort returns.
    virtual void Notify(const Notice& notice) = 0;
    // The open port went away (adapter unplugged, far end closed): once per
    // loss, from the receive thread or the transaction that saw it. The link
    // already reads as closed. Must not block.
    virtual void PortLost(int /*port*/, const std::string& /*name*/) {}
};

// nullptr: messages go to the debug trace only.
void SetNotifier(Notifier* notifier);

}  // namespace serial
