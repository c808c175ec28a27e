#include "app/tools/records_dlg.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/tools/certificate_pdf.h"
#include "app/dialog_units.h"

namespace app {
namespace {

enum Column { kTime, kDevice, kKind, kVerdict, kColumns };

QString Q(const std::string& s) { return QString::fromStdString(s); }

// "2026-05-04T09:30:12+08:00" as "2026-05-04 09:30:12".
QString ShownTime(const std::string& time) {
    return Q(engine::EscapeControls(time.substr(0, 19)))
        .replace(QLatin1Char('T'), QLatin1Char(' '));
}

}  // namespace

CRecordsDlg::CRecordsDlg(QWidget* parent, std::string folder)
    : QDialog(parent),
      m_folder(std::move(folder)),
      m_opener([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setWindowTitle(QStringLiteral("校准记录"));
    setFont(DialogFont());
    const DialogBaseUnits base = BaseUnitsFor(this);

    m_list = new QTreeWidget(this);
    m_list->setColumnCount(kColumns);
    m_list->setHeaderLabels({QStringLiteral("时间"), QStringLiteral("设备号"),
                             QStringLiteral("类型"), QStringLiteral("结论")});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(m_list, &QTreeWidget::itemActivated, this, [this] { OpenCertificate(); });

    m_count = new QLabel(this);
    auto* where =
        new QLabel(QStringLiteral("文件夹: %1").arg(QDir::toNativeSeparators(Q(m_folder))), this);
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    where->setWordWrap(true);

    m_open = new QPushButton(QStringLiteral("打开证书"), this);
    auto* folderButton = new QPushButton(QStringLiteral("打开文件夹"), this);
    auto* refresh = new QPushButton(QStringLiteral("刷新"), this);
    auto* close = new QPushButton(QStringLiteral("关闭"), this);
    connect(m_open, &QPushButton::clicked, this, [this] { OpenCertificate(); });
    connect(folderButton, &QPushButton::clicked, this, [this] { OpenFolder(); });
    connect(refresh, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    for (QPushButton* b : {m_open, folderButton, refresh, close}) b->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_open);
    buttons->addWidget(folderButton);
    buttons->addWidget(refresh);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(m_count);
    layout->addWidget(where);
    layout->addLayout(buttons);
    resize(DluToPixels(QSize(300, 200), base));
    Refresh();
}

void CRecordsDlg::Refresh() {
    std::vector<std::string> problems;
    m_records = engine::ListRecords(m_folder, &problems);
    m_list->clear();
    for (const engine::RecordSummary& r : m_records) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setText(kTime, ShownTime(r.time));
        item->setText(kDevice, r.deviceNumber >= 0 ? QString::number(r.deviceNumber)
                                                   : QStringLiteral("未知"));
        item->setText(kKind, KindText(r.kind));
        item->setText(kVerdict, VerdictText(r.result));
        item->setToolTip(kTime, Q(engine::EscapeControls(r.stem)));
    }
    if (!m_records.empty()) m_list->setCurrentItem(m_list->topLevelItem(0));
    m_open->setEnabled(!m_records.empty());
    QString count = QStringLiteral("共 %1 条记录").arg(m_records.size());
    if (!problems.empty()) count += QStringLiteral(", %1 个文件无法读取").arg(problems.size());
    m_count->setText(count);
}

QString CRecordsDlg::CountText() const { return m_count->text(); }

void CRecordsDlg::Complain(const QString& text) {
    // Not modal: the list stays usable, and the window's shutdown closes it
    // with every other dialog.
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("错误"), text,
                                QMessageBox::NoButton, this);
    box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool CRecordsDlg::OpenCertificate() {
    const int row = m_list->indexOfTopLevelItem(m_list->currentItem());
    if (row < 0 || row >= static_cast<int>(m_records.size())) return false;
    const QString pdf =
        QDir(Q(m_folder))
            .filePath(Q(m_records[static_cast<size_t>(row)].stem) + QStringLiteral(".pdf"));
    if (!QFileInfo(pdf).isFile()) {
        Complain(QStringLiteral("错误: 找不到证书文件%1!").arg(QDir::toNativeSeparators(pdf)));
        return false;
    }
    if (!m_opener(QUrl::fromLocalFile(pdf))) {
        Complain(QStringLiteral("错误: 无法打开%1!").arg(QDir::toNativeSeparators(pdf)));
        return false;
    }
    return true;
}

bool CRecordsDlg::OpenFolder() {
    const QString folder = Q(m_folder);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        Complain(QStringLiteral("错误: 记录文件夹%1还不存在, 尚无校准记录!")
                     .arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    if (!m_opener(QUrl::fromLocalFile(folder))) {
        Complain(QStringLiteral("错误: 无法打开%1!").arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    return true;
}

}  // namespace app
