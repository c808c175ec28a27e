// The channel prompt run for a worker, as the calibration flow runs it.
#include "app/channel_dlg.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/gui_bridge.h"

namespace app {
namespace {

TEST(ChannelDlg, NamesTheChannelAndAnswersOkToEnterAndCancelToEsc) {
    QWidget owner;
    owner.show();
    for (const auto& [key, answer] :
         {std::pair{Qt::Key_Return, IDOK}, {Qt::Key_Escape, IDCANCEL}}) {
        std::atomic<bool> closing{false};
        std::atomic<int> result{-1};
        std::thread worker([&] {
            const std::string channel = "05";
            result = RunDialogForWorker([&] { return new CChannelDlg(&owner, channel); }, closing);
        });
        CChannelDlg* d = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto open = OpenWorkerDialogs();
                d = open.empty() ? nullptr : qobject_cast<CChannelDlg*>(open.back());
                return d != nullptr && d->isVisible();
            },
            5000));
        EXPECT_TRUE(d->isWindow());
        EXPECT_EQ(d->windowTitle(), QString("通道选择"));
        EXPECT_EQ(d->Controls().Get<QPlainTextEdit>(IDC_PROMPT)->toPlainText(),
                  QString("提示: 请将变送器接入通道CH05.   该功能将校准设备电流, "
                          "如果需要更高精度，请使用电流表!"));
        d->Controls().Get<QPushButton>(IDC_HELP_BUTTON)->click();
        EXPECT_TRUE(d->isVisible()) << "帮助 does nothing";
        ASSERT_TRUE(QTest::qWaitForWindowActive(d));
        QWidget* target = d->focusWidget() != nullptr ? d->focusWidget() : d;
        QTest::keyClick(target, key);
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.load() != -1; }, 5000));
        worker.join();
        EXPECT_EQ(result.load(), answer) << QTest::toString(key);
    }
}

// Before a verification the prompt says it only checks, and 帮助 is gone.
TEST(ChannelDlg, TheVerificationsPromptDoesNotSayItCalibrates) {
    QWidget owner;
    CChannelDlg d(&owner, QString("07"));
    d.SetVerification(true);
    d.show();
    const QString text = d.Controls().Get<QPlainTextEdit>(IDC_PROMPT)->toPlainText();
    EXPECT_TRUE(text.startsWith("提示: 请将变送器接入通道CH07.")) << text.toStdString();
    EXPECT_FALSE(text.contains("将校准")) << text.toStdString();
    EXPECT_TRUE(text.contains("不修改设备"));
    EXPECT_FALSE(d.Controls().Get<QPushButton>(IDC_HELP_BUTTON)->isVisible());
}

}  // namespace
}  // namespace app
