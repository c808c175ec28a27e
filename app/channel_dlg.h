// The channel prompt, dialog 130: before a calibration it tells the
// operator which channel to plug the transmitter into. 确定 (also Enter)
// goes on; 取消, Esc and the close box give up; 帮助 does nothing.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "app/dialog_builder.h"

class QShowEvent;

namespace app {

class CChannelDlg : public QDialog {
    Q_OBJECT

public:
    // `channel` is the channel readout's text ("05", "00" for none).
    explicit CChannelDlg(QWidget* parent = nullptr, const QString& channel = {});
    CChannelDlg(QWidget* parent, const std::string& channel);

    // Runs the prompt modally on the GUI thread: IDOK or IDCANCEL.
    int DoModal();

    const BuiltDialog& Controls() const { return m_controls; }

    // Before a verification: the prompt says it only checks, and 帮助 (which
    // has nothing to add) is gone. Set before the dialog is shown.
    void SetVerification(bool verification) { m_bVerification = verification; }

    // Shown in the prompt; may be changed until the dialog is shown.
    QString m_strChannel;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool OnInitDialog();

    BuiltDialog m_controls;
    bool m_bInitialised = false;
    bool m_bVerification = false;
};

}  // namespace app
