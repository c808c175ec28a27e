// 通道总览 fed by hand, as the worker's reports reach it: the bands of its
// rows, the row being read kept in view, and the export of a table the
// scan left unfinished.
#include "app/tools/overview_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

namespace app {
namespace {

namespace fs = std::filesystem;

enum Column { kTransmitter = 1, kCurrent = 2, kBand = 3, kTime = 4 };

engine::ScanRow Row(int channel, std::optional<float> ma, bool transmitter = false) {
    engine::ScanRow row;
    row.channel = channel;
    row.loopCurrentMa = ma;
    if (transmitter) row.transmitter = hart::DeviceIdentity{};
    row.time = std::chrono::system_clock::now();
    return row;
}

class OverviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        COverviewDlg::Actions actions;
        actions.start = [] { return true; };
        dlg = std::make_unique<COverviewDlg>(nullptr, std::move(actions));
        dir = fs::temp_directory_path() / ("tarvok-overview-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        dlg.reset();
        fs::remove_all(dir);
    }
    QTableWidget* Table() { return dlg->Table(); }
    // The cell's whole rectangle lies within the table's viewport.
    bool InView(int row) {
        const QRect cell = Table()->visualItemRect(Table()->item(row, 0));
        return Table()->viewport()->rect().contains(cell);
    }

    std::unique_ptr<COverviewDlg> dlg;
    fs::path dir;
};

TEST_F(OverviewTest, AnEmptySlotIsGreyNotAFault) {
    dlg->StartScan();
    dlg->OnRow(Row(1, 12.037f, true), 1, 4);
    dlg->OnRow(Row(2, 0.013f), 2, 4);
    dlg->OnRow(Row(3, 0.5f, true), 3, 4);  // a transmitter that answers
    dlg->OnRow(Row(4, 2.017f), 4, 4);      // a loop without HART
    EXPECT_EQ(Table()->item(0, kBand)->text(), QStringLiteral("正常"));
    EXPECT_EQ(Table()->item(1, kBand)->text(), QStringLiteral("空"));
    EXPECT_EQ(Table()->item(1, kCurrent)->text(), QStringLiteral("0.013"));
    const QColor grey = Table()->item(1, kBand)->background().color();
    EXPECT_TRUE(grey.red() == grey.green() && grey.green() == grey.blue() && grey.red() < 255)
        << grey.name().toStdString();
    EXPECT_EQ(Table()->item(2, kBand)->text(), QStringLiteral("故障"));
    EXPECT_EQ(Table()->item(3, kBand)->text(), QStringLiteral("故障"));
    EXPECT_NE(Table()->item(3, kBand)->background().color(), grey);
}

TEST_F(OverviewTest, TheTableFollowsTheRowBeingRead) {
    dlg->resize(dlg->width(), 240);  // a small screen, or a large scale
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    dlg->StartScan();
    EXPECT_TRUE(InView(0));
    EXPECT_EQ(Table()->item(0, kTime)->text(), QStringLiteral("读取中..."));
    for (int ch = 1; ch <= 32; ++ch) {
        dlg->OnRow(Row(ch, 0.013f), ch, 32);
        if (ch < 32) {
            EXPECT_TRUE(InView(ch)) << "CH" << ch + 1 << " being read";
            EXPECT_EQ(Table()->item(ch, kTime)->text(), QStringLiteral("读取中..."));
        }
        EXPECT_TRUE(InView(ch - 1)) << "CH" << ch << " just read";
    }
    EXPECT_GT(Table()->verticalScrollBar()->value(), 0);
    EXPECT_FALSE(InView(0)) << "the window is too small for all rows";
    engine::ScanResult done;
    dlg->OnFinished(done);
    // A stopped scan leaves no row marked as being read.
    dlg->StartScan();
    EXPECT_TRUE(InView(0)) << "back to the top";
    dlg->OnRow(Row(1, 0.013f), 1, 32);
    done.stopped = true;
    dlg->OnFinished(done);
    for (int r = 0; r < 32; ++r)
        EXPECT_NE(Table()->item(r, kTime)->text(), QStringLiteral("读取中...")) << r;
}

// Answers the boxes and file dialogs that open in the export's nested
// event loops: the question with `answer`, the file dialog with `path`.
class ExportAnswerer {
public:
    ExportAnswerer(QMessageBox::StandardButton answer, QString path)
        : m_answer(answer), m_path(std::move(path)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Answer(); });
        m_timer.start(20);
    }
    std::vector<QString> questions;
    std::vector<QString> captions;
    bool exclamation = true;
    bool yesNo = true;
    int fileDialogs = 0;

private:
    void Answer() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            questions.push_back(box->text());
            captions.push_back(box->windowTitle());
            exclamation = exclamation && box->icon() == QMessageBox::Warning;
            yesNo = yesNo && box->button(QMessageBox::Yes) && box->button(QMessageBox::No);
            box->button(m_answer)->click();
        } else if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
            // The name is the operator's while its field has the focus.
            if (QWidget* focus = chooser->focusWidget()) focus->clearFocus();
            chooser->selectFile(m_path);
            if (chooser->selectedFiles().value(0) != m_path) return;
            ++fileDialogs;
            static_cast<QDialog*>(chooser)->accept();  // as its 保存 button does
        }
    }
    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
    QString m_path;
};

TEST_F(OverviewTest, AStoppedScanAsksBeforeItsPartialTableIsExported) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    dlg->StartScan();
    for (int ch = 1; ch <= 18; ++ch) dlg->OnRow(Row(ch, ch <= 8 ? 12.0f : 0.013f, ch <= 8), ch, 32);
    engine::ScanResult stopped;
    stopped.stopped = true;
    dlg->OnFinished(stopped);
    QPushButton* exportButton = nullptr;
    for (QPushButton* b : dlg->findChildren<QPushButton*>())
        if (b->text() == QStringLiteral("导出CSV")) exportButton = b;
    ASSERT_NE(exportButton, nullptr);
    const fs::path csv = dir / "partial.csv";

    {
        ExportAnswerer no(QMessageBox::No, QString::fromStdString(csv.string()));
        exportButton->click();
        ASSERT_EQ(no.questions.size(), 1u);
        EXPECT_EQ(no.questions[0],
                  QStringLiteral("提示: 扫描未完成 (已扫描 18/32 个通道), 确定要导出吗?"));
        EXPECT_EQ(no.captions[0], QStringLiteral("提示"));
        EXPECT_TRUE(no.exclamation);
        EXPECT_TRUE(no.yesNo);
        EXPECT_EQ(no.fileDialogs, 0) << "No asks for no file";
    }
    EXPECT_FALSE(fs::exists(csv));

    {
        ExportAnswerer yes(QMessageBox::Yes, QString::fromStdString(csv.string()));
        exportButton->click();
        EXPECT_EQ(yes.questions.size(), 1u);
        EXPECT_EQ(yes.fileDialogs, 1);
    }
    ASSERT_TRUE(fs::exists(csv));
    std::ifstream in(csv, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 19u) << "the header and the rows done";
    EXPECT_EQ(lines[0],
              "\xEF\xBB\xBF"
              "channel,transmitter,loop_current_mA,band,time");
    EXPECT_EQ(lines[18].rfind("18,,0.013,empty,", 0), 0u) << lines[18];
}

}  // namespace
}  // namespace app
