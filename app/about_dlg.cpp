#include "app/about_dlg.h"

#include <QPushButton>

#include "app/resource.h"

namespace app {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    m_controls = BuildDialog(AboutDialogTemplate(), this);
    if (auto* ok = m_controls.Get<QPushButton>(IDOK)) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
}

int CAboutDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

}  // namespace app
