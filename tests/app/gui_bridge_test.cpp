// The worker-to-GUI bridge on the offscreen platform: boxes asked from a
// worker and answered with the keyboard, abandoned, closed by the program,
// asked from the GUI thread itself, and dialogs run for a worker.
#include "app/gui_bridge.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace app {
namespace {

constexpr int kTimeoutMs = 5000;

// Runs f on a thread of its own, as the engine's workers do.
class Worker {
public:
    explicit Worker(std::function<int()> f)
        : m_thread([this, f = std::move(f)] {
              m_result = f();
              m_done = true;
          }) {}
    ~Worker() { Join(); }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }
    bool Done() const { return m_done.load(); }
    int Result() const { return m_result.load(); }
    // Pumps the GUI thread's events until the worker has its answer.
    int WaitResult() {
        EXPECT_TRUE(QTest::qWaitFor([this] { return Done(); }, kTimeoutMs));
        Join();
        return Result();
    }

private:
    std::atomic<int> m_result{-1};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// The newest box or dialog the bridge has open, once it shows.
template <class T = QMessageBox>
T* WaitForDialog() {
    T* found = nullptr;
    (void)QTest::qWaitFor(
        [&found] {
            const auto open = OpenWorkerDialogs();
            found = open.empty() ? nullptr : qobject_cast<T*>(open.back());
            return found != nullptr && found->isVisible();
        },
        kTimeoutMs);
    return found;
}

// A key as the operator types it: to the widget with the focus.
void Type(QDialog* box, Qt::Key key) {
    (void)QTest::qWaitForWindowActive(box);
    QWidget* target = box->focusWidget() != nullptr ? box->focusWidget() : box;
    QTest::keyClick(target, key);
}

bool NoDialogsLeft() {
    return QTest::qWaitFor([] { return OpenWorkerDialogs().empty(); }, kTimeoutMs);
}

int AskYesNo(QWidget* owner, const std::atomic<bool>& abandon) {
    return AskMessageBox(owner, QStringLiteral("提示: 确定要写入设备号吗?"), QStringLiteral("提示"),
                         BoxIcon::kExclamation, BoxButtons::kYesNo, abandon);
}

TEST(GuiBridge, PostedTasksRunOnTheGuiThreadInOrder) {
    std::vector<int> ran;  // touched on the GUI thread only
    std::atomic<bool> allOnGui{true};
    Worker worker([&] {
        for (int i = 0; i < 100; ++i) {
            PostToGui([i, &ran, &allOnGui] {
                if (!IsGuiThread()) allOnGui = false;
                ran.push_back(i);
            });
        }
        return 0;
    });
    worker.Join();  // posting never waits for the GUI thread
    ASSERT_TRUE(QTest::qWaitFor([&ran] { return ran.size() == 100; }, kTimeoutMs));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], i);
    EXPECT_TRUE(allOnGui.load());
}

TEST(GuiBridge, WorkersYesNoBoxAnswersEnterYesAndEscOrNNo) {
    QWidget owner;
    owner.show();
    const struct {
        Qt::Key key;
        int answer;
    } keys[] = {
        {Qt::Key_Return, IDYES}, {Qt::Key_Escape, IDNO}, {Qt::Key_N, IDNO}, {Qt::Key_Y, IDYES}};
    for (const auto& k : keys) {
        std::atomic<bool> abandon{false};
        Worker worker([&] { return AskYesNo(&owner, abandon); });
        QMessageBox* box = WaitForDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QString("提示"));
        EXPECT_EQ(box->text(), QString("提示: 确定要写入设备号吗?"));
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->parentWidget(), &owner);
        EXPECT_TRUE(box->isWindow());
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        ASSERT_EQ(box->buttons().size(), 2);
        EXPECT_EQ(box->button(QMessageBox::Yes)->text(), QString("是(&Y)"));
        EXPECT_EQ(box->button(QMessageBox::No)->text(), QString("否(&N)"));
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
        Type(box, k.key);
        EXPECT_EQ(worker.WaitResult(), k.answer) << QTest::toString(k.key);
        EXPECT_TRUE(NoDialogsLeft());
    }
}

TEST(GuiBridge, OkBoxAnswersOkToEnterAndEsc) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        std::atomic<bool> abandon{false};
        Worker worker([&] {
            return AskMessageBox(nullptr, QStringLiteral("错误: 电流校准失败!"),
                                 QStringLiteral("错误"), BoxIcon::kError, BoxButtons::kOk, abandon);
        });
        QMessageBox* box = WaitForDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal) << "no owner";
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons()[0]->text(), QString("确定"));
        Type(box, key);
        EXPECT_EQ(worker.WaitResult(), IDOK);
    }
}

// The GUI thread does not pump events here: the worker gets away all the
// same, so a GUI thread that joins its worker never deadlocks on a box.
TEST(GuiBridge, AbandonedWorkerReturnsAtOnceAndItsBoxCloses) {
    QWidget owner;
    std::atomic<bool> abandon{false};
    std::atomic<int64_t> returnedAtUs{0};
    Worker worker([&] {
        const int answer = AskYesNo(&owner, abandon);
        returnedAtUs = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
        return answer;
    });
    QPointer<QMessageBox> box = WaitForDialog();
    ASSERT_FALSE(box.isNull());
    const auto abandonedAt = std::chrono::steady_clock::now();
    abandon = true;
    worker.Join();
    const auto waited =
        std::chrono::microseconds(returnedAtUs.load()) -
        std::chrono::duration_cast<std::chrono::microseconds>(abandonedAt.time_since_epoch());
    EXPECT_LT(waited, std::chrono::milliseconds(100));
    EXPECT_EQ(worker.Result(), IDCANCEL);
    EXPECT_TRUE(QTest::qWaitFor([&box] { return box.isNull(); }, kTimeoutMs))
        << "the box nobody waits for is closed";
}

TEST(GuiBridge, CloseAllWorkerBoxesAnswersCancelToOpenAndPendingBoxes) {
    QWidget owner;
    {
        std::atomic<bool> abandon{false};
        Worker worker([&] { return AskYesNo(&owner, abandon); });
        QPointer<QMessageBox> box = WaitForDialog();
        ASSERT_FALSE(box.isNull());
        CloseAllWorkerBoxes();
        EXPECT_EQ(worker.WaitResult(), IDCANCEL);
        EXPECT_TRUE(QTest::qWaitFor([&box] { return box.isNull(); }, kTimeoutMs));
    }
    {
        // Asked, but not yet shown when the window closes: never shown.
        std::atomic<bool> abandon{false};
        Worker worker([&] { return AskYesNo(&owner, abandon); });
        platform::Sleep(200);  // the worker has posted its request by now
        CloseAllWorkerBoxes();
        EXPECT_EQ(worker.WaitResult(), IDCANCEL);
        EXPECT_TRUE(OpenWorkerDialogs().empty());
    }
}

TEST(GuiBridge, BoxAskedOnTheGuiThreadRunsDirectly) {
    QWidget owner;
    owner.show();
    QTimer::singleShot(0, [] {
        if (QMessageBox* box = WaitForDialog()) Type(box, Qt::Key_Return);
    });
    const std::atomic<bool> never{false};
    EXPECT_EQ(AskYesNo(&owner, never), IDYES);

    // The abandon flag and CloseAllWorkerBoxes end it there too.
    std::atomic<bool> abandon{false};
    QTimer::singleShot(0, [&abandon] {
        if (WaitForDialog() != nullptr) abandon = true;
    });
    EXPECT_EQ(AskYesNo(&owner, abandon), IDCANCEL);
    QTimer::singleShot(0, [] {
        if (WaitForDialog() != nullptr) CloseAllWorkerBoxes();
    });
    EXPECT_EQ(AskYesNo(&owner, never), IDCANCEL);
    EXPECT_TRUE(NoDialogsLeft());
}

// The GUI thread sits in a modal loop of its own (another dialog) when the
// worker asks: the box still opens and is answered.
TEST(GuiBridge, WorkersBoxOpensWhileTheGuiThreadIsInAModalLoop) {
    QDialog outer;
    std::atomic<bool> abandon{false};
    std::unique_ptr<Worker> worker;
    QTimer::singleShot(0, &outer, [&] {
        worker = std::make_unique<Worker>([&] { return AskYesNo(&outer, abandon); });
        if (QMessageBox* box = WaitForDialog()) Type(box, Qt::Key_Return);
        (void)QTest::qWaitFor([&worker] { return worker->Done(); }, kTimeoutMs);
        outer.accept();
    });
    outer.exec();
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(worker->WaitResult(), IDYES);
}

TEST(GuiBridge, DialogRunForAWorkerHandsBackWhatItCollected) {
    QWidget owner;
    const auto make = [&owner] {
        auto* dialog = new QDialog(&owner);
        auto* edit = new QLineEdit(dialog);
        edit->setObjectName("reference");
        return dialog;
    };
    for (const bool accept : {true, false}) {
        std::atomic<bool> abandon{false};
        std::string typed;  // the worker's, written by onFinished on the GUI thread
        Worker worker([&] {
            return RunDialogForWorker(make, abandon, [&typed](QDialog& d, int) {
                typed = d.findChild<QLineEdit*>("reference")->text().toStdString();
            });
        });
        QDialog* dialog = WaitForDialog<QDialog>();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->parentWidget(), &owner);
        dialog->findChild<QLineEdit*>("reference")->setText("12.345");
        if (accept) {
            dialog->accept();
        } else {
            dialog->reject();
        }
        EXPECT_EQ(worker.WaitResult(), accept ? IDOK : IDCANCEL);
        EXPECT_EQ(typed, "12.345");
        EXPECT_TRUE(NoDialogsLeft());
    }
}

TEST(GuiBridge, DialogDeletedWithItsOwnerAnswersCancel) {
    auto* owner = new QWidget;
    std::atomic<bool> abandon{false};
    std::atomic<bool> collected{false};
    Worker worker([&] {
        return RunDialogForWorker([owner] { return new QDialog(owner); }, abandon,
                                  [&collected](QDialog&, int) { collected = true; });
    });
    ASSERT_NE(WaitForDialog<QDialog>(), nullptr);
    delete owner;
    EXPECT_EQ(worker.WaitResult(), IDCANCEL);
    EXPECT_FALSE(collected.load());
    EXPECT_TRUE(NoDialogsLeft());
}

}  // namespace
}  // namespace app
