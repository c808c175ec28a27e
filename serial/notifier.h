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

class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void Notify(const Notice& notice) = 0;
};

// nullptr: messages go to the debug trace only.
void SetNotifier(Notifier* notifier);

}  // namespace serial
