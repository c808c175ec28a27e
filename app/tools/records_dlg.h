// 校准记录: the calibration and verification records in the records
// folder, newest first (time, fixture, kind, verdict). A record's PDF
// certificate opens in the desktop's viewer; so does the folder.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>
#include <string>
#include <vector>

#include "engine/calibration_record.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace app {

class CRecordsDlg : public QDialog {
public:
    CRecordsDlg(QWidget* parent, std::string folder);

    // Reads the folder again.
    void Refresh();
    QTreeWidget* List() const { return m_list; }
    const std::vector<engine::RecordSummary>& Records() const { return m_records; }
    QString CountText() const;

    // The selected record's certificate, and the folder; false (after a box)
    // when there is nothing to open or the desktop could not open it.
    bool OpenCertificate();
    bool OpenFolder();

    // How a file or folder is opened: QDesktopServices::openUrl unless a
    // test says otherwise.
    using UrlOpener = std::function<bool(const QUrl&)>;
    void SetUrlOpener(UrlOpener opener) { m_opener = std::move(opener); }

private:
    void Complain(const QString& text);

    const std::string m_folder;
    std::vector<engine::RecordSummary> m_records;
    QTreeWidget* m_list = nullptr;
    QLabel* m_count = nullptr;
    QPushButton* m_open = nullptr;
    UrlOpener m_opener;
};

}  // namespace app
