// The calibration wizard's dialog against the simulated fixture, run for a
// worker thread as the calibration flow runs it: the operator's keys, Next,
// the ways out, the error box of a channel that cannot be fixed, and the
// program closing under it.
#include "app/calibrate_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/gui_bridge.h"
#include "hart/transaction.h"
#include "platform/auto_reset_event.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

namespace app {
namespace {

using engine::CCalibrateWizard;
using namespace std::chrono_literals;
constexpr int kTimeoutMs = 10000;

// The main window as the transactions see it: the active channel, and a
// gate that keeps the wizard's worker inside its command 40.
class ChannelStandIn : public hart::MainWindowServices {
public:
    int GetChannelIndex() override {
        while (hold.load()) {
            held = true;
            m_release.Wait(1000);
        }
        return index.load();
    }
    void ShowDeviceNumber(int) override {}
    void Hold() {
        held = false;
        hold = true;
    }
    void Release() {
        hold = false;
        m_release.Set();
    }
    std::atomic<int> index{4};  // CH5
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};  // the worker has come to the gate

private:
    platform::AutoResetEvent m_release;
};

// The newest dialog of its kind that the bridge has open, once it shows.
template <class T>
T* WaitForDialog() {
    T* found = nullptr;
    (void)QTest::qWaitFor(
        [&found] {
            found = nullptr;
            for (QDialog* open : OpenWorkerDialogs()) {
                if (auto* d = qobject_cast<T*>(open)) found = d;
            }
            return found != nullptr && found->isVisible();
        },
        kTimeoutMs);
    return found;
}

class CalibrateDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(20.0);
        hart::ResetHartState();
        sim::FixtureConfig config;
        config.activeChannel = 4;
        config.transmitters.push_back({.channel = 4, .initialCurrentMa = 12.0f});
        fixture = std::make_unique<sim::SimulatedFixture>(config);
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [this] { return fixture->CreatePort(); }));
        hart::g_pMainDlg = &channel;
        ASSERT_EQ(serial::OpenPort(1), 1);
        // The window has polled before any calibration: the line is set up
        // for the transmitters from then on.
        ASSERT_EQ(hart::FixtureTransaction(2), 1);
        owner->show();
    }
    void TearDown() override {
        channel.Release();
        closing = true;
        CloseAllWorkerBoxes();
        if (flow.joinable()) {
            EXPECT_TRUE(QTest::qWaitFor([this] { return flowDone.load(); }, kTimeoutMs));
            flow.join();
        }
        EXPECT_TRUE(QTest::qWaitFor([] { return OpenWorkerDialogs().empty(); }, kTimeoutMs));
        serial::ClosePort();
        hart::g_pMainDlg = nullptr;
        serial::SetPortFactory({});
        platform::SetTimeScale(1.0);
    }

    // The flow's part: the dialog run for a worker, then the wizard joined.
    CCalibrateDlg* Open() {
        flow = std::thread([this, owner = owner.get()] {
            RunDialogForWorker([this, owner] { return new CCalibrateDlg(owner, wizard, closing); },
                               closing);
            wizard->StopAndJoin();
            flowDone = true;
        });
        CCalibrateDlg* dialog = WaitForDialog<CCalibrateDlg>();
        if (dialog != nullptr) {
            QObject::connect(dialog, &QDialog::finished,
                             [this] { workerEndedAtFinish = wizard->WorkerEnded(); });
        }
        return dialog;
    }
    static QLineEdit* Edit(CCalibrateDlg* d, int id) { return d->Controls().Get<QLineEdit>(id); }
    static QString PromptText(CCalibrateDlg* d) {
        return d->Controls().Get<QPlainTextEdit>(IDC_PROMPT)->toPlainText();
    }
    // The measurement at `ma` has come through.
    static bool Measuring(CCalibrateDlg* d, int ma) {
        const QString head = QString("提示: 当前电流固定在%1.000 mA").arg(ma);
        return QTest::qWaitFor([&] { return PromptText(d).startsWith(head); }, kTimeoutMs);
    }
    bool Finished() {
        return QTest::qWaitFor([this] { return flowDone.load(); }, kTimeoutMs) &&
               workerEndedAtFinish.load();
    }

    std::unique_ptr<sim::SimulatedFixture> fixture;
    ChannelStandIn channel;
    std::atomic<bool> closing{false};
    std::shared_ptr<CCalibrateWizard> wizard = std::make_shared<CCalibrateWizard>();
    std::unique_ptr<QWidget> owner = std::make_unique<QWidget>();
    std::thread flow;
    std::atomic<bool> flowDone{false};
    std::atomic<bool> workerEndedAtFinish{false};
};

TEST_F(CalibrateDlgTest, OpensOnTheReferenceEditAndRedirectsOnlyKeypadDigits) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isWindow());
    EXPECT_EQ(d->windowTitle(), QString("电流校准"));
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(d->EditFocused(), 1);

    ASSERT_TRUE(Measuring(d, 4));
    EXPECT_EQ(reference->text(), QString("4.000")) << "the nominal current stands there";
    const QString measured = Edit(d, IDC_MEASURED)->text();
    EXPECT_EQ(PromptText(d),
              "提示: 当前电流固定在4.000 mA, 请输入当前电流表的观察到值: "
              "\n\n当前电流采集值是: " +
                  measured + "mA. ");

    next->setFocus();
    EXPECT_EQ(d->EditFocused(), 0);
    QTest::keyClick(next, Qt::Key_1);
    EXPECT_EQ(QApplication::focusWidget(), next) << "top-row digits stay where they are";
    EXPECT_EQ(reference->text(), QString("4.000"));
    QTest::keyClick(next, Qt::Key_7, Qt::KeypadModifier);
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(reference->text(), QString("7")) << "the digit starts the new value";
    QTest::keyClick(reference, Qt::Key_5, Qt::KeypadModifier);
    EXPECT_EQ(reference->text(), QString("75")) << "then typed as usual";

    reference->clear();
    next->setFocus();
    QTest::keyClick(next, Qt::Key_3, Qt::KeypadModifier);
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(reference->text(), QString("3"));
    EXPECT_EQ(reference->cursorPosition(), 1);
}

TEST_F(CalibrateDlgTest, FiveNextsTakeTheFivePointsAndEndTheDialogByItself) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    std::vector<float> measured;
    // What 1016 shows as Next is pressed (no events run in between).
    const auto shown = [&] {
        return static_cast<float>(std::atof(Edit(d, IDC_MEASURED)->text().toLatin1().constData()));
    };
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(Measuring(d, 4 * i)) << i;
        if (i == 1) {
            // Typed, then Enter: Next with the typed value.
            reference->setFocus();
            reference->selectAll();
            QTest::keyClicks(reference, "4.012");
            measured.push_back(shown());
            QTest::keyClick(reference, Qt::Key_Return);
        } else {
            // Next without typing: the nominal current is the reference.
            measured.push_back(shown());
            d->Controls().Get<QPushButton>(IDC_NEXT)->click();
        }
    }
    ASSERT_TRUE(Finished()) << "ends once the worker has passed 20 mA";
    EXPECT_EQ(wizard->Result(), 1);
    EXPECT_FLOAT_EQ(wizard->Point(1).reference, 4.012f);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(wizard->Point(i).measured, measured[size_t(i - 1)]) << i;
        if (i > 1) {
            EXPECT_EQ(wizard->Point(i).reference, 4.0f * i) << i;
        }
    }
}

// The operator types what the ammeter shows straight over the nominal value
// that stands in the edit, at the first current and after each Next.
TEST_F(CalibrateDlgTest, TypingReplacesTheNominalValue) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    ASSERT_EQ(QApplication::focusWidget(), reference);
    QTest::keyClicks(reference, "4.012");
    EXPECT_EQ(reference->text(), QString("4.012"));
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 8));
    EXPECT_FLOAT_EQ(wizard->Point(1).reference, 4.012f);

    // 8 mA: the nominal value is selected again.
    EXPECT_EQ(reference->text(), QString("8.000"));
    EXPECT_EQ(reference->selectedText(), QString("8.000"));
    // Away and back by Tab or by a click: selected whole each time.
    next->setFocus(Qt::TabFocusReason);
    reference->setCursorPosition(2);
    reference->setFocus(Qt::BacktabFocusReason);
    EXPECT_EQ(reference->selectedText(), QString("8.000"));
    next->setFocus(Qt::TabFocusReason);
    QTest::mouseClick(reference, Qt::LeftButton, {}, QPoint(4, reference->height() / 2));
    ASSERT_EQ(QApplication::focusWidget(), reference);
    EXPECT_TRUE(QTest::qWaitFor([&] { return reference->selectedText() == "8.000"; }, 1000));
    QTest::keyClicks(reference, "8.03");
    EXPECT_EQ(reference->text(), QString("8.03"));
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 12));
    EXPECT_FLOAT_EQ(wizard->Point(2).reference, 8.03f);
}

// Next clicked with the mouse leaves the focus on the button; the first
// keypad digit typed then starts the new value and is not lost.
TEST_F(CalibrateDlgTest, AKeypadDigitAfterAMouseNextIsEntered) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    QTest::mouseClick(next, Qt::LeftButton);
    ASSERT_TRUE(Measuring(d, 8));
    ASSERT_EQ(QApplication::focusWidget(), next);
    EXPECT_EQ(d->EditFocused(), 0);
    QTest::keyClick(next, Qt::Key_8, Qt::KeypadModifier);
    ASSERT_EQ(QApplication::focusWidget(), reference);
    for (const Qt::Key key : {Qt::Key_Period, Qt::Key_0, Qt::Key_1, Qt::Key_1}) {
        QTest::keyClick(reference, key, Qt::KeypadModifier);
    }
    EXPECT_EQ(reference->text(), QString("8.011"));
    QTest::keyClick(reference, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(Measuring(d, 12));
    EXPECT_FLOAT_EQ(wizard->Point(1).reference, 4.0f);
    EXPECT_FLOAT_EQ(wizard->Point(2).reference, 8.011f);
}

// A slip of the finger at 8 mA: Next refuses it, says why, stays at 8 mA
// with nothing stored, and the slip is selected to be typed over.
TEST_F(CalibrateDlgTest, AnImplausibleReferenceIsRefusedWithTheReason) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 8));
    QTest::keyClicks(reference, "0.012");
    QTest::keyClick(reference, Qt::Key_Return);

    const QString reason =
        "错误: 输入值\"0.012\"无效, 实际电流值应在7.200至8.800 mA之间, 请重新输入!";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return PromptText(d).startsWith(reason + "\n提示: 当前电流固定在8.000 mA"); }, 1000))
        << PromptText(d).toStdString();
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(reference->selectedText(), QString("0.012"));
    // Measuring on at 8 mA, the reason kept.
    QTest::qWait(300);
    EXPECT_TRUE(PromptText(d).startsWith(reason + "\n提示: 当前电流固定在8.000 mA"));
    EXPECT_NEAR(fixture->TransmitterCurrent(4), 8.0f, 1e-4);
    EXPECT_EQ(wizard->Point(2).reference, 0.0f) << "nothing stored";
    EXPECT_EQ(wizard->Point(2).measured, 0.0f);

    QTest::keyClicks(reference, "8.012");
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 12));
    EXPECT_FALSE(PromptText(d).contains("错误"));
    EXPECT_FLOAT_EQ(wizard->Point(2).reference, 8.012f);
}

TEST_F(CalibrateDlgTest, WithNoChannelTheErrorBoxRetriesOrEndsTheWizard) {
    channel.index = -1;
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QPointer<QMessageBox> box = WaitForDialog<QMessageBox>();
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(box->parentWidget(), d);
    EXPECT_EQ(box->windowTitle(), QString("错误"));
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->button(QMessageBox::Ok)->text(), QString("确定"));
    EXPECT_EQ(box->button(QMessageBox::Cancel)->text(), QString("取消"));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {  // again, then 取消
        EXPECT_EQ(box->text(), QString("错误: 固定电流4.000 mA失败!"));
        ASSERT_TRUE(QTest::qWaitForWindowActive(box));
        QTest::keyClick(box->focusWidget(), key);
        ASSERT_TRUE(QTest::qWaitFor([&] { return box.isNull(); }, kTimeoutMs));
        if (key == Qt::Key_Return) {
            box = WaitForDialog<QMessageBox>();
            ASSERT_FALSE(box.isNull()) << "the same current again";
        }
    }
    EXPECT_TRUE(Finished());
    EXPECT_EQ(wizard->Result(), 2);
}

// Every way out, by the operator or by the program's close, while the
// worker is held in its first transaction, is measuring, or waits in its
// error box: the wizard is cancelled, the dialog never ends before its
// worker, and a close gets the flow away within a second.
TEST_F(CalibrateDlgTest, EveryWayOutCancelsAndNeverOutrunsTheWorker) {
    enum State { kHeld, kMeasuring, kErrorBox };
    const struct {
        const char* how;
        State state;
        std::function<void(CCalibrateDlg*)> act;
    } ways[] = {
        {"取消", kHeld,
         [](CCalibrateDlg* d) { d->Controls().Get<QPushButton>(IDC_STOP)->click(); }},
        {"Esc", kHeld, [](CCalibrateDlg* d) { QTest::keyClick(d->focusWidget(), Qt::Key_Escape); }},
        {"close box", kHeld, [](CCalibrateDlg* d) { d->close(); }},
        {"CloseAllWorkerBoxes", kMeasuring, [](CCalibrateDlg*) { CloseAllWorkerBoxes(); }},
        {"CloseAllWorkerBoxes, box", kErrorBox, [](CCalibrateDlg*) { CloseAllWorkerBoxes(); }},
        {"closing, box", kErrorBox, [this](CCalibrateDlg*) { closing = true; }},
        {"owner deleted", kMeasuring, [this](CCalibrateDlg*) { owner.reset(); }},
    };
    for (const auto& way : ways) {
        channel.index = way.state == kErrorBox ? -1 : 4;
        if (way.state == kHeld) channel.Hold();
        CCalibrateDlg* d = Open();
        ASSERT_NE(d, nullptr) << way.how;
        ASSERT_TRUE(QTest::qWaitForWindowActive(d));
        if (way.state == kHeld) {
            ASSERT_TRUE(QTest::qWaitFor([this] { return channel.held.load(); }, kTimeoutMs));
        } else if (way.state == kMeasuring) {
            ASSERT_TRUE(Measuring(d, 4)) << way.how;
        } else {
            ASSERT_NE(WaitForDialog<QMessageBox>(), nullptr) << way.how;
        }
        const auto start = std::chrono::steady_clock::now();
        way.act(d);
        if (way.state == kHeld) {
            QTest::qWait(100);
            EXPECT_TRUE(d->isVisible()) << way.how << ": the worker is still in its transaction";
            channel.Release();
            EXPECT_TRUE(Finished()) << way.how;
        } else if (closing.load()) {
            // The GUI thread runs no events meanwhile.
            while (!flowDone.load() && std::chrono::steady_clock::now() - start < 1s) {
                std::this_thread::sleep_for(5ms);
            }
            EXPECT_TRUE(flowDone.load()) << way.how;
        } else {
            EXPECT_TRUE(QTest::qWaitFor([this] { return flowDone.load(); }, 1000)) << way.how;
        }
        if (way.state != kHeld) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << way.how;
        }
        ASSERT_TRUE(QTest::qWaitFor([this] { return flowDone.load(); }, kTimeoutMs));
        flow.join();
        EXPECT_TRUE(wizard->WorkerEnded()) << way.how;
        EXPECT_EQ(wizard->Result(), 2) << way.how;
        EXPECT_TRUE(QTest::qWaitFor([] { return OpenWorkerDialogs().empty(); }, kTimeoutMs));
        closing = false;
        flowDone = false;
        workerEndedAtFinish = false;
        wizard = std::make_shared<CCalibrateWizard>();
        if (!owner) owner = std::make_unique<QWidget>();
        owner->show();
    }
}

}  // namespace
}  // namespace app
