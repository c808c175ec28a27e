#include "app/tools/file_chooser.h"

#include <QFileDialog>

namespace app {

QString ChooseFileToWrite(QWidget* parent, const QString& title, const QString& suggested,
                          const QString& filter, const QString& suffix, bool confirmOverwrite) {
    QFileDialog chooser(parent, title, suggested, filter);
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setDefaultSuffix(suffix);
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setOption(QFileDialog::DontConfirmOverwrite, !confirmOverwrite);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return {};
    return chooser.selectedFiles().front();
}

}  // namespace app
