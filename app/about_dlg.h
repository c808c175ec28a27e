// The about box, dialog 100: the program's icon, name and version, and an
// OK button. OK and the close box end it.
#pragma once

#include <QDialog>

#include "app/dialog_builder.h"

namespace app {

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // Runs the box modally: IDOK for the OK button (and Enter), IDCANCEL for
    // the close box and Esc.
    int DoModal();

    const BuiltDialog& Controls() const { return m_controls; }

private:
    BuiltDialog m_controls;
};

}  // namespace app
