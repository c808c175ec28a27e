#include "app/resources.h"

#include "app/resource.h"

// The resources live in a static library: naming its initialiser keeps the
// linker from dropping it. Q_INIT_RESOURCE must stand outside a namespace.
static void InitTarvokResources() { Q_INIT_RESOURCE(tarvok); }

namespace app {
namespace {

void EnsureResources() {
    static const bool done = (InitTarvokResources(), true);
    (void)done;
}

}  // namespace

QPixmap LoadBitmap(int id) {
    EnsureResources();
    switch (id) {
        case IDB_CHANNEL_MENU:
            return QPixmap(QStringLiteral(":/res/channel_menu.bmp"));
        case IDB_CHANNEL_UP:
            return QPixmap(QStringLiteral(":/res/channel_up.bmp"));
        case IDB_CHANNEL_DOWN:
            return QPixmap(QStringLiteral(":/res/channel_down.bmp"));
        default:
            return QPixmap();
    }
}

QIcon LoadIcon(int id) {
    EnsureResources();
    if (id != IDR_MAINFRAME) return QIcon();
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/tarvok_icon_16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/res/tarvok_icon_32.png"), QSize(32, 32));
    for (const int size : {48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/res/desktop/tarvok_%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace app
