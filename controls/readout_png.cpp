// tarvok-readout-png [DIR]: writes the main window's two readouts as PNG
// files into DIR (default: the current directory), drawn by the widget
// itself on Qt's offscreen platform, so no display is needed:
//   readout-current.png  " 0.000", blue on grey, 327 x 120 (control 1000)
//   readout-channel.png  "07", the default greens, 51 x 38 (control 1003)
// The sizes are the dialog template's (218 x 80 and 34 x 25 dialog units)
// in pixels for SimSun 9 pt at 96 dpi.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

#include "controls/segment_display.h"

namespace {

bool WriteReadout(const QDir& dir, const char* fileName, controls::CSegmentDisplay& display,
                  QSize size) {
    display.resize(size);
    const QString path = dir.filePath(QString::fromLatin1(fileName));
    if (!display.grab().save(path, "PNG")) {
        std::fprintf(stderr, "tarvok-readout-png: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!dir.exists()) {
        std::fprintf(stderr, "tarvok-readout-png: no such directory: %s\n", qPrintable(dir.path()));
        return 2;
    }

    controls::CSegmentDisplay current;
    current.SetBackgroundColor(0xC0C0C0);
    current.SetSegmentColors(0xC0C0C0, 0xFF0000);
    current.SetText(" 0.000");

    controls::CSegmentDisplay channel;
    channel.SetText("07");

    const bool ok = WriteReadout(dir, "readout-current.png", current, QSize(327, 120)) &&
                    WriteReadout(dir, "readout-channel.png", channel, QSize(51, 38));
    return ok ? 0 : 1;
}
