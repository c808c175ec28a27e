// The file a tool window writes to, chosen by the operator.
#pragma once

#include <QString>

class QWidget;

namespace app {

// Qt's own save dialog, so that the window's shutdown, which rejects every
// QDialog open, closes it too. `suffix` is added to a name typed without
// one. Empty when nothing was chosen.
QString ChooseFileToWrite(QWidget* parent, const QString& title, const QString& suggested,
                          const QString& filter, const QString& suffix,
                          bool confirmOverwrite = true);

}  // namespace app
