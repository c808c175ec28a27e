#include "app/tools/overview_dlg.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "app/dialog_units.h"
#include "app/gui_bridge.h"
#include "app/tools/file_chooser.h"
#include "engine/ne43.h"

namespace app {
namespace {

enum Column { kChannel, kTransmitter, kCurrent, kBand, kTime, kColumns };
constexpr int kRows = 32;

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

// A slot that holds nothing is no failure: it is set apart in grey.
std::pair<QString, QColor> EmptyCell() { return {QStringLiteral("空"), QColor(217, 217, 217)}; }

// Shown while its channel is being read.
QString ReadingText() { return QStringLiteral("读取中..."); }

// A table that asks for the height of all its rows, so that the window
// opens with every channel in view where the screen has the room.
class ScanTable : public QTableWidget {
public:
    using QTableWidget::QTableWidget;
    QSize sizeHint() const override {
        const QHeaderView* header = horizontalHeader();
        const int headerHeight = std::max(header->minimumHeight(), header->sizeHint().height());
        return {
            QTableWidget::sizeHint().width(),
            headerHeight + rowCount() * verticalHeader()->defaultSectionSize() + 2 * frameWidth()};
    }
};

// The room a window has on the screen of `near`: the screen's free area
// less the frame the window manager puts around the main window.
QSize RoomFor(const QWidget* near) {
    const QScreen* screen = near != nullptr ? near->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    QSize room = screen->availableGeometry().size();
    if (near != nullptr && near->isVisible())
        room -= near->window()->frameGeometry().size() - near->window()->size();
    return room;
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
    m_table = new ScanTable(0, kColumns, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("通道"), QStringLiteral("变送器"),
                                        QStringLiteral("回路电流 (mA)"), QStringLiteral("NE 43"),
                                        QStringLiteral("读取时间")});
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Compact rows, one line of text each, so that all 32 fit on a usual
    // screen; set before the rows are made, which take the default.
    const int rowHeight = m_table->fontMetrics().height() + 2;
    m_table->verticalHeader()->setMinimumSectionSize(rowHeight);
    m_table->verticalHeader()->setDefaultSectionSize(rowHeight);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->setRowCount(kRows);
    for (int ch = 1; ch <= kRows; ++ch) {
        m_table->setItem(ch - 1, kChannel, Cell(QStringLiteral("CH%1").arg(ch)));
        for (int c = kTransmitter; c < kColumns; ++c) m_table->setItem(ch - 1, c, Cell({}));
    }
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setMinimumSize(DluToPixels(QSize(300, 120), BaseUnitsFor(parent)));
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
    // Every row where the screen has the room; where it has not (a small
    // screen, a large scale), the table follows the row being read.
    resize(sizeHint().boundedTo(RoomFor(parent)));
}

void COverviewDlg::ShowReading(int row) {
    if (row < 0 || row >= kRows) return;
    m_table->item(row, kTime)->setText(ReadingText());
    // The row done just before stays in view with it.
    if (row > 0) m_table->scrollToItem(m_table->item(row - 1, kChannel));
    m_table->scrollToItem(m_table->item(row, kChannel));
}

int COverviewDlg::RowsDone() const {
    int done = 0;
    for (const auto& row : m_rows) done += row ? 1 : 0;
    return done;
}

void COverviewDlg::ShowScanning(bool scanning) {
    m_scanning = scanning;
    m_start->setEnabled(!scanning);
    m_stop->setEnabled(scanning);
}

void COverviewDlg::StartScan() {
    if (m_scanning || !m_actions.start || !m_actions.start()) return;
    for (int ch = 1; ch <= kRows; ++ch)
        for (int c = kTransmitter; c < kColumns; ++c) {
            m_table->item(ch - 1, c)->setText({});
            m_table->item(ch - 1, c)->setBackground(QBrush());
        }
    m_rows.fill(std::nullopt);
    m_progress->setValue(0);
    m_status->setText(QStringLiteral("扫描中..."));
    m_elapsed.start();
    ShowScanning(true);
    ShowReading(0);
}

void COverviewDlg::StopScan() {
    if (!m_scanning) return;
    if (m_actions.stop) m_actions.stop();
    m_status->setText(QStringLiteral("正在停止..."));
}

void COverviewDlg::OnRow(const engine::ScanRow& row, int done, int total) {
    if (row.channel < 1 || row.channel > kRows) return;
    m_rows[static_cast<size_t>(row.channel - 1)] = row;
    const int r = row.channel - 1;
    m_table->item(r, kTransmitter)
        ->setText(row.transmitter ? QString::fromStdString(row.transmitter->Tag()) : QString());
    if (row.loopCurrentMa) {
        m_table->item(r, kCurrent)
            ->setText(QString::fromStdString(engine::FormatReadingMa(*row.loopCurrentMa)));
        const auto [text, colour] = engine::IsEmptySlot(row)
                                        ? EmptyCell()
                                        : BandCell(engine::Ne43BandOf(*row.loopCurrentMa));
        m_table->item(r, kBand)->setText(text);
        m_table->item(r, kBand)->setBackground(colour);
    } else {
        m_table->item(r, kCurrent)->setText(QStringLiteral("读取失败"));
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(row.time.time_since_epoch());
    m_table->item(r, kTime)->setText(
        QDateTime::fromMSecsSinceEpoch(ms.count()).toString(QStringLiteral("HH:mm:ss")));
    if (done < total) ShowReading(r + 1);
    m_progress->setRange(0, total);
    m_progress->setValue(done);
    // The rest takes about as long a channel as the channels so far did.
    const qint64 left = done > 0 ? m_elapsed.elapsed() * (total - done) / done / 1000 : 0;
    m_status->setText(QStringLiteral("%1/%2, 剩余约 %3 秒").arg(done).arg(total).arg(left));
}

void COverviewDlg::OnFinished(const engine::ScanResult& result) {
    ShowScanning(false);
    for (int r = 0; r < kRows; ++r)
        if (m_table->item(r, kTime)->text() == ReadingText()) m_table->item(r, kTime)->setText({});
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
    std::vector<engine::ScanRow> rows;
    for (const auto& row : m_rows)
        if (row) rows.push_back(*row);
    return QString::fromStdString(engine::ScanCsvText(rows));
}

bool COverviewDlg::ExportCsv(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = QByteArray("\xEF\xBB\xBF") + CsvText().toUtf8();
    return file.write(bytes) == bytes.size() && file.flush();
}

void COverviewDlg::OnExport() {
    // A partial table passes for a whole one once it is a file.
    const int done = RowsDone();
    if (done < kRows &&
        AskMessageBox(this,
                      QStringLiteral("提示: 扫描未完成 (已扫描 %1/%2 个通道), 确定要导出吗?")
                          .arg(done)
                          .arg(kRows),
                      QStringLiteral("提示"), BoxIcon::kExclamation, BoxButtons::kYesNo) != IDYES)
        return;
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
