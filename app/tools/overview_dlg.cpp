#include "app/tools/overview_dlg.h"

#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QTime>
#include <QVBoxLayout>

#include "app/dialog_units.h"
#include "app/tools/file_chooser.h"
#include "app/gui_bridge.h"
#include "engine/ne43.h"

namespace app {
namespace {

enum Column { kChannel, kTransmitter, kCurrent, kBand, kTime, kColumns };

// The band as the operator reads it, and its cell's colour.
std::pair<QString, QColor> BandCell(engine::Ne43Band band) {
    switch (band) {
        case engine::Ne43Band::kOk:
            return {QStringLiteral("正常"), QColor(198, 239, 206)};
        case engine::Ne43Band::kUnder:
            return {QStringLiteral("偏低"), QColor(255, 235, 156)};
        case engine::Ne43Band::kOver:
            return {QStringLiteral("偏高"), QColor(255, 235, 156)};
        case engine::Ne43Band::kFault:
            break;
    }
    return {QStringLiteral("故障"), QColor(255, 199, 206)};
}

QTableWidgetItem* Cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

}  // namespace

COverviewDlg::COverviewDlg(QWidget* parent, Actions actions)
    : QDialog(parent), m_actions(std::move(actions)) {
    setWindowTitle(QStringLiteral("通道总览"));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);
    m_table = new QTableWidget(32, kColumns, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("通道"), QStringLiteral("变送器"),
                                        QStringLiteral("回路电流 (mA)"), QStringLiteral("NE 43"),
                                        QStringLiteral("读取时间")});
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int ch = 1; ch <= 32; ++ch) {
        m_table->setItem(ch - 1, kChannel, Cell(QStringLiteral("CH%1").arg(ch)));
        for (int c = kTransmitter; c < kColumns; ++c) m_table->setItem(ch - 1, c, Cell({}));
    }
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setMinimumSize(DluToPixels(QSize(300, 220), BaseUnitsFor(parent)));
    layout->addWidget(m_table, 1);

    auto* progressRow = new QHBoxLayout;
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 32);
    m_progress->setValue(0);
    progressRow->addWidget(m_progress, 1);
    m_status = new QLabel(this);
    progressRow->addWidget(m_status);
    layout->addLayout(progressRow);

    auto* buttons = new QHBoxLayout;
    m_start = new QPushButton(QStringLiteral("开始扫描"), this);
    m_stop = new QPushButton(QStringLiteral("停止"), this);
    m_export = new QPushButton(QStringLiteral("导出CSV"), this);
    for (QPushButton* b : {m_start, m_stop, m_export}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    layout->addLayout(buttons);
    // Keys for the two commands an operator repeats.
    m_start->setToolTip(QStringLiteral("F5"));
    m_export->setToolTip(QStringLiteral("Ctrl+S"));
    connect(new QShortcut(QKeySequence(Qt::Key_F5), this), &QShortcut::activated, this,
            [this] { StartScan(); });
    connect(new QShortcut(QKeySequence::Save, this), &QShortcut::activated, this,
            [this] { OnExport(); });
    connect(m_start, &QPushButton::clicked, this, [this] { StartScan(); });
    connect(m_stop, &QPushButton::clicked, this, [this] { StopScan(); });
    connect(m_export, &QPushButton::clicked, this, [this] { OnExport(); });
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        if (m_actions.select) m_actions.select(row + 1);
    });
    ShowScanning(false);
}

void COverviewDlg::ShowScanning(bool scanning) {
    m_scanning = scanning;
    m_start->setEnabled(!scanning);
    m_stop->setEnabled(scanning);
}

void COverviewDlg::StartScan() {
    if (m_scanning || !m_actions.start || !m_actions.start()) return;
    for (int ch = 1; ch <= 32; ++ch)
        for (int c = kTransmitter; c < kColumns; ++c) {
            m_table->item(ch - 1, c)->setText({});
            m_table->item(ch - 1, c)->setBackground(QBrush());
        }
    m_rows.fill(std::nullopt);
    m_progress->setValue(0);
    m_status->setText(QStringLiteral("扫描中..."));
    m_elapsed.start();
    ShowScanning(true);
}

void COverviewDlg::StopScan() {
    if (!m_scanning) return;
    if (m_actions.stop) m_actions.stop();
    m_status->setText(QStringLiteral("正在停止..."));
}

void COverviewDlg::OnRow(const engine::ScanRow& row, int done, int total) {
    if (row.channel < 1 || row.channel > 32) return;
    m_rows[static_cast<size_t>(row.channel - 1)] = row;
    const int r = row.channel - 1;
    m_table->item(r, kTransmitter)
        ->setText(row.transmitter ? QString::fromStdString(row.transmitter->Tag()) : QString());
    if (row.loopCurrentMa) {
        m_table->item(r, kCurrent)
            ->setText(QString::fromStdString(engine::FormatReadingMa(*row.loopCurrentMa)));
        const auto [text, colour] = BandCell(engine::Ne43BandOf(*row.loopCurrentMa));
        m_table->item(r, kBand)->setText(text);
        m_table->item(r, kBand)->setBackground(colour);
    } else {
        m_table->item(r, kCurrent)->setText(QStringLiteral("读取失败"));
    }
    m_table->item(r, kTime)->setText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
    m_progress->setRange(0, total);
    m_progress->setValue(done);
    // The rest takes about as long a channel as the channels so far did.
    const qint64 left = done > 0 ? m_elapsed.elapsed() * (total - done) / done / 1000 : 0;
    m_status->setText(QStringLiteral("%1/%2, 剩余约 %3 秒").arg(done).arg(total).arg(left));
}

void COverviewDlg::OnFinished(const engine::ScanResult& result) {
    ShowScanning(false);
    if (!result.Ok()) {
        m_status->setText(QStringLiteral("扫描失败: %1 (%2)")
                              .arg(QString::fromStdString(engine::DescribeScanStep(
                                  result.failedStep, result.failedChannel)))
                              .arg(QString::fromStdString(result.failure.Describe())));
    } else if (result.stopped) {
        m_status->setText(QStringLiteral("扫描已停止"));
    } else {
        int present = 0;
        for (const auto& row : result.rows) present += row.transmitter ? 1 : 0;
        m_status->setText(QStringLiteral("扫描完成, %1 个变送器").arg(present));
        m_progress->setValue(m_progress->maximum());
    }
}

QString COverviewDlg::StatusText() const { return m_status->text(); }

QString COverviewDlg::CsvText() const {
    QString text = QString::fromStdString(engine::ScanCsvHeader()) + QLatin1Char('\n');
    for (const auto& row : m_rows)
        if (row) text += QString::fromStdString(engine::ScanCsvRow(*row)) + QLatin1Char('\n');
    return text;
}

bool COverviewDlg::ExportCsv(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = QByteArray("\xEF\xBB\xBF") + CsvText().toUtf8();
    return file.write(bytes) == bytes.size() && file.flush();
}

void COverviewDlg::OnExport() {
    const QString path =
        ChooseFileToWrite(this, QStringLiteral("导出CSV"), QStringLiteral("tarvok-scan.csv"),
                          QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"));
    if (path.isEmpty()) return;
    if (!ExportCsv(path))
        AskMessageBox(this, QStringLiteral("错误: 无法写入%1!").arg(path), QStringLiteral("错误"),
                      BoxIcon::kError, BoxButtons::kOk);
}

// A scan belongs to its window: closing the window ends it.
void COverviewDlg::closeEvent(QCloseEvent* event) {
    StopScan();
    QDialog::closeEvent(event);
}

}  // namespace app
