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
#include <QTimer>
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
    static bool PromptStarts(CCalibrateDlg* d, const QString& head) {
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

// The next message box that opens (in a nested loop of the GUI thread) is
// answered with the button whose text starts with `button`; its text kept.
void AnswerNextBox(const QString& button, QString* text) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, button, text] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr || !box->isVisible()) continue;
            for (QAbstractButton* b : box->buttons()) {
                if (!b->text().startsWith(button)) continue;
                *text = box->text();
                timer->stop();
                timer->deleteLater();
                b->click();
                return;
            }
        }
    });
    timer->start();
}

// What the fixture shows, as the operator would type it.
QString Shown(CCalibrateDlg* d) { return d->Controls().Get<QLineEdit>(IDC_MEASURED)->text(); }

TEST_F(CalibrateDlgTest, OpensOnAnEmptyEditWithTheNominalAsAHint) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isWindow());
    EXPECT_EQ(d->windowTitle(), QString("电流校准"));
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    auto* previous = d->Controls().Get<QPushButton>(IDC_PREVIOUS);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(d->EditFocused(), 1);

    ASSERT_TRUE(Measuring(d, 4));
    EXPECT_EQ(reference->text(), QString()) << "nothing stands there to be accepted";
    EXPECT_EQ(reference->placeholderText(), QString("4.000"));
    EXPECT_FALSE(next->isEnabled());
    EXPECT_FALSE(previous->isEnabled()) << "no point before 4 mA";
    const QString measured = Shown(d);
    EXPECT_EQ(PromptText(d),
              "提示: 当前电流固定在4.000 mA, 请输入当前电流表的观察到值: "
              "\n\n当前电流采集值是: " +
                  measured + "mA. ");

    // Enter on the empty edit takes nothing and says why.
    QTest::keyClick(reference, Qt::Key_Return);
    EXPECT_TRUE(PromptStarts(d, "错误: 未输入实际电流值")) << PromptText(d).toStdString();
    EXPECT_FALSE(wizard->PointTaken(1));

    // Digits, the point and Backspace from the main row and the keypad reach
    // the edit wherever the focus is (here on 取消; 下一步 is disabled).
    auto* stop = d->Controls().Get<QPushButton>(IDC_STOP);
    stop->setFocus();
    EXPECT_EQ(d->EditFocused(), 0);
    QTest::keyClick(stop, Qt::Key_4);
    EXPECT_EQ(QApplication::focusWidget(), reference);
    EXPECT_EQ(reference->text(), QString("4"));
    stop->setFocus();
    QTest::keyClick(stop, Qt::Key_Period);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_7, Qt::KeypadModifier);
    EXPECT_EQ(reference->text(), QString("4.7"));
    stop->setFocus();
    QTest::keyClick(stop, Qt::Key_Backspace);
    EXPECT_EQ(reference->text(), QString("4."));
    EXPECT_TRUE(next->isEnabled()) << "4. is a reading";
    QTest::keyClick(reference, Qt::Key_Backspace);
    QTest::keyClick(reference, Qt::Key_Backspace);
    EXPECT_FALSE(next->isEnabled());
}

// The slip: "12.1O" (a letter O) is quoted as typed, the letter
// named, and Next stays disabled; Enter says it again.
TEST_F(CalibrateDlgTest, AMistypeIsQuotedAsTypedAndNextStaysDisabled) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    QTest::keyClicks(reference, "4.1O");
    const QString reason = "错误: 输入值\"4.1O\"无效, 第4个字符\"O\"不是数字, 请重新输入!";
    EXPECT_TRUE(PromptStarts(d, reason + "\n提示: 当前电流固定在4.000 mA"))
        << PromptText(d).toStdString();
    EXPECT_FALSE(next->isEnabled());
    QTest::keyClick(reference, Qt::Key_Return);
    EXPECT_FALSE(wizard->PointTaken(1));
    EXPECT_EQ(reference->text(), QString("4.1O")) << "kept for retyping";
    EXPECT_EQ(reference->selectedText(), QString("4.1O"));

    // A number out of range is told only when it is offered.
    reference->clear();
    QTest::keyClicks(reference, "0.012");
    EXPECT_TRUE(PromptStarts(d, "提示: 当前电流固定在4.000 mA")) << "still being typed";
    QTest::keyClick(reference, Qt::Key_Return);
    EXPECT_TRUE(PromptStarts(
        d, "错误: 输入值\"0.012\"超出范围, 实际电流值应在3.600至4.400 mA之间, 请重新输入!"));
    EXPECT_NEAR(fixture->TransmitterCurrent(4), 4.0f, 1e-4);
    EXPECT_FALSE(wizard->PointTaken(1));

    reference->clear();
    QTest::keyClicks(reference, Shown(d));
    EXPECT_TRUE(PromptStarts(d, "提示: 当前电流固定在4.000 mA"))
        << "taken away as soon as it no longer holds";
    EXPECT_TRUE(next->isEnabled());
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 8));
    EXPECT_TRUE(wizard->PointTaken(1));
}

// Clicked with the mouse, 下一步 takes the point; the digits typed next on
// the main row, wherever the focus is, go into the edit, and the focus is
// back on it.
TEST_F(CalibrateDlgTest, AfterAMouseClickOnNextTheMainRowTypesTheReference) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* next = d->Controls().Get<QPushButton>(IDC_NEXT);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    std::vector<QString> typed;
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(Measuring(d, 4 * i)) << i;
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Shown(d).isEmpty(); }, kTimeoutMs));
        const QString value = Shown(d);
        typed.push_back(value);
        // Typed into whatever has the focus now: after a click that is the
        // button itself until the focus comes back.
        for (const QChar c : value) {
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
        }
        EXPECT_EQ(reference->text(), value) << i;
        ASSERT_TRUE(next->isEnabled()) << i;
        QTest::mouseClick(next, Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == reference; }, 1000))
            << "the focus goes back to the edit";
    }
    ASSERT_TRUE(Finished()) << "ends once the worker has passed 20 mA";
    EXPECT_EQ(wizard->Result(), 1);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_FLOAT_EQ(wizard->Point(i).reference, typed[size_t(i - 1)].toFloat()) << i;
        EXPECT_FLOAT_EQ(wizard->Point(i).measured, typed[size_t(i - 1)].toFloat()) << i;
    }
}

// 0.5 % of span from the fixture's reading: asked, No keeps the text for
// retyping, Yes takes it.
TEST_F(CalibrateDlgTest, AReferenceFarFromTheReadingIsQuestioned) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Shown(d).isEmpty(); }, kTimeoutMs));
    const double reading = Shown(d).toDouble();
    const QString far = QString::number(reading + 0.179, 'f', 3);
    QTest::keyClicks(reference, far);

    QString asked;
    AnswerNextBox(QStringLiteral("否"), &asked);
    QTest::keyClick(reference, Qt::Key_Return);
    EXPECT_TRUE(asked.startsWith("与夹具读数相差 0.179 mA (1.12 % 量程), 确定使用该值吗?"))
        << asked.toStdString();
    EXPECT_FALSE(wizard->PointTaken(1));
    EXPECT_EQ(reference->text(), far);
    EXPECT_EQ(d->focusWidget(), reference) << "ready to be typed again";
    EXPECT_EQ(reference->selectedText(), far);

    asked.clear();
    AnswerNextBox(QStringLiteral("是"), &asked);
    QTest::keyClick(reference, Qt::Key_Return);
    EXPECT_FALSE(asked.isEmpty());
    ASSERT_TRUE(Measuring(d, 8));
    EXPECT_FLOAT_EQ(wizard->Point(1).reference, far.toFloat());
}

// 上一步 at 8 mA: back at 4 mA, fixed and read again, typed anew.
TEST_F(CalibrateDlgTest, PreviousGoesBackToTheLastPoint) {
    CCalibrateDlg* d = Open();
    ASSERT_NE(d, nullptr);
    QLineEdit* reference = Edit(d, IDC_REFERENCE);
    auto* previous = d->Controls().Get<QPushButton>(IDC_PREVIOUS);
    ASSERT_TRUE(QTest::qWaitForWindowActive(d));
    ASSERT_TRUE(Measuring(d, 4));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Shown(d).isEmpty(); }, kTimeoutMs));
    QTest::keyClicks(reference, Shown(d));
    QTest::keyClick(reference, Qt::Key_Return);
    ASSERT_TRUE(Measuring(d, 8));
    ASSERT_TRUE(QTest::qWaitFor([&] { return previous->isEnabled(); }, kTimeoutMs));
    QTest::mouseClick(previous, Qt::LeftButton);
    ASSERT_TRUE(Measuring(d, 4));
    EXPECT_EQ(reference->placeholderText(), QString("4.000"));
    EXPECT_EQ(reference->text(), QString());
    EXPECT_NEAR(fixture->TransmitterCurrent(4), 4.0f, 1e-4) << "fixed again";
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == reference; }, 1000));
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
