// Icon 128 and bitmaps 135 to 137 from the compiled-in resources (res/).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace app {

// A bitmap resource (IDB_...); a null pixmap for an unknown id.
QPixmap LoadBitmap(int id);
// The icon resource IDR_MAINFRAME: its 16 x 16 and 32 x 32 images, and the
// larger renderings of the same picture for desktops that ask for them. A
// null icon for an unknown id.
QIcon LoadIcon(int id);

}  // namespace app
