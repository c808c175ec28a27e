// The box at the end of a calibration or a verification: its verdict, the
// certificate number, and what 打开证书 says when it cannot open.
#include "app/tools/calibration_result_dlg.h"
#include "app/calibration_summary_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTableWidget>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/gui_bridge.h"

namespace app {
namespace {

engine::CalibrationRecord Record(engine::RecordKind kind, double error) {
    engine::CalibrationRecord r;
    r.kind = kind;
    r.settings.tolerancePercentOfSpan = 0.1;  // 16 µA
    for (int i = 1; i <= 5; ++i) r.points.push_back({4.0 * i, 4.0 * i, 4.0 * i + error});
    return r;
}

TEST(CalibrationResult, TheVerdictFollowsTheCheckThatWasMade) {
    using engine::RecordKind;
    EXPECT_EQ(ResultVerdict(Record(RecordKind::kVerification, 0.016)), QString("合格"))
        << "at the tolerance";
    EXPECT_EQ(ResultVerdict(Record(RecordKind::kVerification, 0.017)), QString("不合格"));

    // A calibration: its as-found points say nothing of the result.
    engine::CalibrationRecord written = Record(RecordKind::kCalibration, 0.5);
    written.asLeftDeclined = true;
    EXPECT_EQ(ResultVerdict(written), QString("已写入, 未验证"));
    engine::CalibrationRecord checked = written;
    checked.asLeftDeclined = false;
    checked.asLeft = Record(RecordKind::kVerification, -0.002).points;
    EXPECT_EQ(ResultVerdict(checked), QString("合格"));
    checked.asLeft[2].readingMa += 0.05;
    EXPECT_EQ(ResultVerdict(checked), QString("不合格"));
}

TEST(CalibrationResult, OpeningWithoutAViewerSaysWhy) {
    CCalibrationResultDlg d(nullptr, Record(engine::RecordKind::kVerification, 0.0),
                            "20261211-093012-1", "/nonexistent/20261211-093012-1.pdf");
    EXPECT_EQ(d.CertificateNumber(), QString("20261211-093012-1"));
    EXPECT_EQ(d.OpenButton()->text(), QString("打开证书"));
    EXPECT_EQ(d.PrintButton()->text(), QString("打印"));
    EXPECT_EQ(d.CloseButton()->text(), QString("关闭"));
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    // Enter closes the box; it never opens the certificate by itself.
    bool openedByEnter = false;
    const auto keep = d.openFile;
    d.openFile = [&](const QString&, QString*) { return openedByEnter = true; };
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(openedByEnter);
    EXPECT_FALSE(d.isVisible());
    d.openFile = keep;
    d.show();
    QString told;
    QTimer::singleShot(0, [&] {
        (void)QTest::qWaitFor(
            [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr || !box->isVisible()) return false;
                told = box->text();
                box->button(QMessageBox::Ok)->click();
                return true;
            },
            5000);
    });
    d.OnOpen();
    EXPECT_TRUE(told.startsWith("错误: 无法打开证书: 证书文件不存在.")) << told.toStdString();
    EXPECT_TRUE(told.contains("20261211-093012-1.pdf"));

    d.openFile = [](const QString&, QString* why) {
        *why = QStringLiteral("系统中没有可打开PDF文件的程序");
        return false;
    };
    told.clear();
    QTimer::singleShot(0, [&] {
        (void)QTest::qWaitFor(
            [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr || !box->isVisible()) return false;
                told = box->text();
                box->button(QMessageBox::Ok)->click();
                return true;
            },
            5000);
    });
    d.OnOpen();
    EXPECT_TRUE(told.startsWith("错误: 无法打开证书: 系统中没有可打开PDF文件的程序."));
}

// The six points before the table is written; 返回修改 answers the worker
// IDNO, 确定写入 IDOK, and Enter alone writes nothing.
TEST(CalibrationSummary, ListsTheSixPointsAndAnswersTheFlow) {
    std::vector<engine::RecordPoint> points{{0.0, 0.0, 0.013}};
    for (int i = 1; i <= 5; ++i) points.push_back({4.0 * i, 4.0 * i + 0.002, 4.0 * i + 0.023});
    QWidget owner;
    owner.show();
    for (const bool write : {false, true}) {
        std::atomic<bool> closing{false};
        std::atomic<int> result{-1};
        std::thread worker([&] {
            result = RunDialogForWorker(
                [&] { return new CCalibrationSummaryDlg(&owner, points); }, closing);
        });
        CCalibrationSummaryDlg* d = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto open = OpenWorkerDialogs();
                d = open.empty() ? nullptr : qobject_cast<CCalibrationSummaryDlg*>(open.back());
                return d != nullptr && d->isVisible();
            },
            5000));
        QTableWidget* table = d->Table();
        ASSERT_EQ(table->rowCount(), 6);
        EXPECT_EQ(table->item(0, 0)->text(), QString("0.000"));
        EXPECT_EQ(table->item(0, 2)->text(), QString("0.013"));
        EXPECT_EQ(table->item(3, 0)->text(), QString("12.000"));
        EXPECT_EQ(table->item(3, 1)->text(), QString("12.002"));
        EXPECT_EQ(table->item(3, 2)->text(), QString("12.023"));
        EXPECT_EQ(table->item(3, 3)->text(), QString("+0.021"));
        EXPECT_EQ(d->WriteButton()->text(), QString("确定写入"));
        EXPECT_EQ(d->ReviseButton()->text(), QString("返回修改"));
        ASSERT_TRUE(QTest::qWaitForWindowActive(d));
        QTest::keyClick(d, Qt::Key_Return);
        EXPECT_EQ(result.load(), -1) << "Enter alone writes nothing";
        (write ? d->WriteButton() : d->ReviseButton())->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return result.load() != -1; }, 5000));
        worker.join();
        EXPECT_EQ(result.load(), write ? IDOK : IDNO);
    }
}

}  // namespace
}  // namespace app
