// The main window on Qt's offscreen platform: layout, readouts and menus,
// the key and mouse filter, the port menu over pseudo-terminals, a lost
// port, and closing while a worker waits in a box. The fixture is the
// simulated one, except where the port menu needs real devices.
#include "app/main_dlg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTime>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "app/calibrate_dlg.h"
#include "app/calibration_summary_dlg.h"
#include "app/tools/calibration_result_dlg.h"
#include "app/channel_dlg.h"
#include "app/gui_bridge.h"
#include "app/menus.h"
#include "app/resource.h"
#include "app/signal_notifier.h"
#include "app/status_line.h"
#include "app/tools/link_diag_dlg.h"
#include "app/tools/overview_dlg.h"
#include "app/tools/records_dlg.h"
#include "app/tools/trend_dlg.h"
#include "controls/segment_display.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"
#include "tests/engine/log_files.h"
#include "generated/version.h"

namespace app {
namespace {

namespace fs = std::filesystem;
constexpr int kWaitMs = 15000;
// Clock milliseconds for the log's writer to catch up: seconds, at any speed.
constexpr uint32_t kWriterWaitMs = 200000;

// Answers every modal box that opens with its default button and keeps its
// text: the window's own boxes run in nested event loops.
class BoxAnswerer {
public:
    BoxAnswerer() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            m_texts.push_back(box->text().toStdString());
            m_captions.push_back(box->windowTitle().toStdString());
            m_icons.push_back(box->icon());
            QTest::keyClick(box, Qt::Key_Return);
        });
        m_timer.start(20);
    }
    const std::vector<std::string>& Texts() const { return m_texts; }
    const std::vector<std::string>& Captions() const { return m_captions; }
    const std::vector<QMessageBox::Icon>& Icons() const { return m_icons; }

private:
    QTimer m_timer;
    std::vector<std::string> m_texts;
    std::vector<std::string> m_captions;
    std::vector<QMessageBox::Icon> m_icons;
};

// Pixels of the status line's alarm red in a picture of it.
int RedPixels(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 150 && c.green() < 90 && c.blue() < 90) ++n;
        }
    return n;
}

// A pseudo-terminal whose slave side stands as COMn in a ports directory.
struct Pty {
    int master = -1;
    explicit Pty(const fs::path& entry) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        fs::create_symlink(::ptsname(master), entry);
    }
    ~Pty() { ::close(master); }
};

class MainDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(20.0);
        hart::ResetHartState();
        dir = fs::temp_directory_path() /
              ("tarvok-window-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::create_directories(dir / "ports");
        ::setenv("TARVOK_PORTS_DIR", (dir / "ports").c_str(), 1);
    }
    void TearDown() override {
        dlg.reset();
        serial::LowerAbort();  // a closed window raised one for good
        serial::ClosePort();
        serial::SetPortFactory({});
        ::unsetenv("TARVOK_PORTS_DIR");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("XDG_DATA_HOME");
        fs::remove_all(dir);
        platform::SetTimeScale(1.0);
    }
    void UseSimulator() {
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [this] { return fixture.CreatePort(); }));
    }
    void WriteIni(const std::string& text) { std::ofstream(dir / "com.ini") << text; }
    std::string ReadIni() {
        std::ifstream in(dir / "com.ini");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Open(bool demo = false) {
        dlg = std::make_unique<CMainDlg>(nullptr, demo);
        dlg->SetAppDirectory(appDir.empty() ? dir.string() + "/" : appDir);
        dlg->OnInitDialog();
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }
    std::vector<int> Checked(const MenuActions& actions) {
        std::vector<int> ids;
        for (const auto& [id, a] : actions)
            if (IsMenuItemChecked(a)) ids.push_back(id);
        return ids;
    }
    QString PortTitle() { return dlg->MenuBar()->actions().at(1)->text(); }
    QAction* ToolsItem(const QString& text) {
        for (QAction* a : dlg->ToolsMenu()->actions())
            if (a->text() == text) return a;
        return nullptr;
    }
    template <class W>
    W* Control(int id) {
        return dlg->Controls().Get<W>(id);
    }
    bool Polling() { return dlg->CurrentDisplay()->GetText() != " 0.000"; }

    // The window closed and its port let go, as at the end of a run.
    void Close() {
        dlg.reset();
        serial::LowerAbort();
        serial::ClosePort();
    }

    static inline int counter = 0;
    fs::path dir;
    std::string appDir;  // the program's folder; `dir` when empty
    sim::SimulatedFixture fixture{sim::DemoFixtureConfig()};
    std::unique_ptr<CMainDlg> dlg;
};

TEST_F(MainDlgTest, LayoutInDialogUnitsAndTheStateAtStart) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT));
    // 6 x 12 base units at 96 dpi: x * 6 / 4, y * 12 / 8, halves away from 0.
    EXPECT_EQ(Control<QWidget>(IDC_DISPLAY_CURRENT)->geometry(), QRect(9, 24, 327, 120));
    EXPECT_EQ(Control<QWidget>(IDC_DISPLAY_CHANNEL)->geometry(), QRect(81, 149, 51, 38));
    EXPECT_EQ(Control<QWidget>(IDC_BUTTON_CALIBRATE)->geometry(), QRect(126, 404, 90, 27));
    QWidget* client = Control<QWidget>(IDC_DISPLAY_CURRENT)->parentWidget();
    EXPECT_EQ(client->geometry(), QRect(0, dlg->MenuBar()->height(), 344, 467))
        << "the bar sits above";
    // 12 dialog units below the client area: the status line.
    EXPECT_EQ(dlg->StatusLine()->geometry(), QRect(0, client->geometry().bottom() + 1, 344, 18));
    EXPECT_EQ(dlg->size(), QSize(344, dlg->MenuBar()->height() + 467 + 18));
    EXPECT_EQ(dlg->StatusLine()->Text(), QString()) << "nothing to tell";

    EXPECT_EQ(dlg->CurrentDisplay()->GetText(), " 0.000");
    EXPECT_EQ(dlg->ChannelDisplay()->GetText(), "00");
    EXPECT_EQ(dlg->ChannelActions().size(), 33u);
    EXPECT_TRUE(Checked(dlg->ChannelActions()).empty()) << "nothing checked before the read";
    EXPECT_EQ(Control<QComboBox>(IDC_DEVICE_LIST)->currentText(), QStringLiteral("设备1 #"));
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM1"));

    // The worker reads the channel first, then polls.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    EXPECT_EQ(dlg->ChannelDisplay()->GetText(), "01");
    EXPECT_EQ(Checked(dlg->ChannelActions()), std::vector<int>{ID_CHANNEL_NONE + 1});
    EXPECT_EQ(Control<QLabel>(IDC_DEVICE_NUMBER)->text(), QStringLiteral("设备1 #"));
}

TEST_F(MainDlgTest, ButtonsAndArrowKeysStepTheChannel) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));

    // Clicks before the fixture has switched each count: they step from
    // the channel last asked for, not from the readout.
    QTest::mouseClick(Control<QPushButton>(IDC_CHANNEL_UP), Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(IDC_CHANNEL_UP), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "03"; }, kWaitMs));
    EXPECT_EQ(Checked(dlg->ChannelActions()), std::vector<int>{ID_CHANNEL_NONE + 3});
    EXPECT_EQ(fixture.ActiveChannel(), 2);
    QTest::mouseClick(Control<QPushButton>(IDC_CHANNEL_DOWN), Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(IDC_CHANNEL_DOWN), Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(IDC_CHANNEL_DOWN), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "32"; }, kWaitMs))
        << "CH1 steps down to CH32";
    EXPECT_EQ(fixture.ActiveChannel(), 31);

    // On the real clock from here: the keys come well within 500 ms.
    platform::SetTimeScale(1.0);
    // Up, Up, Down released within the quiet time: one step up. Only the
    // releases count, each once, whichever control has the focus.
    Control<QPushButton>(IDC_BUTTON_WRITE)->setFocus();
    QWidget* focus = QApplication::focusWidget();
    QTest::keyRelease(focus, Qt::Key_Up);
    QTest::keyRelease(focus, Qt::Key_Up);
    QTest::keyRelease(focus, Qt::Key_Down);
    EXPECT_EQ(dlg->Worker().StepCount(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "01"; }, kWaitMs));

    // A held key: its auto-repeat releases are not the operator letting go.
    for (int i = 0; i < 5; ++i) {
        QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_Left, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(focus, &repeat);
    }
    QTest::keyRelease(focus, Qt::Key_Left);
    EXPECT_EQ(dlg->Worker().StepCount(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "02"; }, kWaitMs));
}

// A held key as X servers without detectable auto-repeat send it: every
// repeat is a release and a press with one timestamp.
TEST_F(MainDlgTest, AHeldKeyStepsOnceAndAListKeepsItsArrows) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    ASSERT_EQ(dlg->ChannelDisplay()->GetText(), "01");
    Control<QPushButton>(IDC_BUTTON_WRITE)->setFocus();
    QWidget* focus = QApplication::focusWidget();
    auto send = [&](QEvent::Type type, quint64 timestamp) {
        QKeyEvent e(type, Qt::Key_Up, Qt::NoModifier);
        e.setTimestamp(timestamp);
        QApplication::sendEvent(focus, &e);
    };
    send(QEvent::KeyPress, 5000);
    for (quint64 t = 5500; t < 6500; t += 33) {
        send(QEvent::KeyRelease, t);
        send(QEvent::KeyPress, t);
    }
    send(QEvent::KeyRelease, 6510);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "02"; }, kWaitMs));
    QTest::qWait(300);
    EXPECT_EQ(dlg->ChannelDisplay()->GetText(), "02") << "one step for one press";
    EXPECT_EQ(fixture.ActiveChannel(), 1);

    // Two presses of their own, each released: two steps.
    send(QEvent::KeyPress, 7000);
    send(QEvent::KeyRelease, 7100);
    send(QEvent::KeyPress, 7300);
    send(QEvent::KeyRelease, 7400);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "04"; }, kWaitMs));

    // Down in the device-number list moves the list only.
    auto* list = Control<QComboBox>(IDC_DEVICE_LIST);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_EQ(dlg->Worker().StepCount(), 0);
    QTest::qWait(300);
    EXPECT_EQ(dlg->ChannelDisplay()->GetText(), "04");
    EXPECT_EQ(dlg->Worker().PendingOperation().mode, engine::ModePollCurrent);

    // A menu used from the keyboard leaves the focus on the menu bar: the
    // arrow keys still step.
    dlg->MenuBar()->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), dlg->MenuBar());
    QTest::keyClick(dlg->MenuBar(), Qt::Key_Down);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "03"; }, kWaitMs));
}

TEST_F(MainDlgTest, EnterNeverReachesAControlAndEscDoesNotClose) {
    UseSimulator();
    Open();
    auto* write = Control<QPushButton>(IDC_BUTTON_WRITE);
    write->setFocus();
    struct Spy : QObject {
        int releases = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::KeyRelease) ++releases;
            return false;
        }
    } spy;
    write->installEventFilter(&spy);
    QSignalSpy clicked(write, &QPushButton::clicked);
    QTest::keyClick(write, Qt::Key_Return);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_EQ(spy.releases, 0);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(MainDlgTest, BusyDropsClicksButNotTheMenuBar) {
    UseSimulator();
    Open();
    auto* up = Control<QPushButton>(IDC_CHANNEL_UP);
    QSignalSpy clicked(up, &QPushButton::clicked);
    dlg->BeginBusy();
    QTest::qWait(50);
    EXPECT_EQ(dlg->cursor().shape(), Qt::WaitCursor);
    QTest::mouseClick(up, Qt::LeftButton);
    QTest::mouseDClick(up, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 0);
    // The menu bar still opens.
    QMenuBar* bar = dlg->MenuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(bar->actions().at(0)).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->actions().at(0)->menu()->isVisible(); }, 2000));
    bar->actions().at(0)->menu()->close();

    // A box the worker shows while busy (the calibration's instructions)
    // is a window of its own: it takes clicks as usual.
    std::atomic<int> answer{-1};
    std::thread worker([&] {
        answer = dlg->MessageBox("提示: 插回变送器, 并点击\"确定\"!", "提示",
                                 engine::BoxIcon::kExclamation, engine::BoxButtons::kOk);
    });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())); },
        5000));
    QTest::mouseClick(box->buttons().at(0), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return answer.load() == engine::IDOK; }, 5000));
    worker.join();

    dlg->EndBusy();
    QTest::qWait(50);
    EXPECT_NE(dlg->cursor().shape(), Qt::WaitCursor);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(MainDlgTest, PortMenuOverPseudoTerminalsAndTheSettingsFile) {
    Pty com3(dir / "ports" / "COM3");
    Pty com5(dir / "ports" / "COM5");
    fs::create_symlink("/nonexistent/tty", dir / "ports" / "COM7");
    BoxAnswerer answers;
    Open();
    // No com.ini: the ports listed, none checked, no port, no message.
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: 未设置"));
    ASSERT_TRUE(dlg->PortActions().count(ID_PORT_FIRST + 3));
    ASSERT_TRUE(dlg->PortActions().count(ID_PORT_FIRST + 5));
    EXPECT_FALSE(dlg->PortActions().count(ID_PORT_FIRST + 4));
    EXPECT_FALSE(dlg->PortActions().count(ID_PORT_FIRST + 7)) << "a dangling entry is absent";
    EXPECT_EQ(dlg->PortActions().at(ID_PORT_FIRST + 3)->text(), QStringLiteral("   COM3    "));
    EXPECT_TRUE(Checked(dlg->PortActions()).empty());
    EXPECT_TRUE(answers.Texts().empty());
    EXPECT_FALSE(serial::IsPortOpen());

    // A port that fails to open is remembered all the same, and reported
    // in one box.
    dlg->SelectPort(ID_PORT_FIRST + 7);
    EXPECT_EQ(ReadIni(), "[CONFIG]\nCOM=7\n");
    ASSERT_EQ(answers.Texts().size(), 1u);
    EXPECT_EQ(answers.Texts()[0], "创建COM7失败\n原因: 设备不存在");
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: 未设置"));

    dlg->SelectPort(ID_PORT_FIRST + 5);
    EXPECT_EQ(ReadIni(), "[CONFIG]\nCOM=5\n");
    EXPECT_EQ(serial::CurrentPort(), 5);
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM5"));
    EXPECT_EQ(Checked(dlg->PortActions()), std::vector<int>{ID_PORT_FIRST + 5});
    EXPECT_EQ(dlg->Worker().PendingOperation().mode, engine::ModeReadChannel);

    // Searching again keeps the port in use listed and checked.
    dlg->OnSearchPorts();
    EXPECT_EQ(Checked(dlg->PortActions()), std::vector<int>{ID_PORT_FIRST + 5});
    dlg->SelectPort(ID_PORT_FIRST + 3);
    EXPECT_EQ(Checked(dlg->PortActions()), std::vector<int>{ID_PORT_FIRST + 3});
    EXPECT_EQ(answers.Texts().size(), 1u);
}

TEST_F(MainDlgTest, TheRememberedPortOpensAtStartAndAFailedSaveIsReported) {
    Pty com255(dir / "ports" / "COM255");
    Pty com9(dir / "ports" / "COM9");
    WriteIni("[OTHER]\nkeep=1\n[config]\ncom= 255\n");
    BoxAnswerer answers;
    Open();
    EXPECT_EQ(serial::CurrentPort(), 255) << "255 is not probed, but it is opened";
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM255"));

    dlg->SelectPort(ID_PORT_FIRST + 9);
    EXPECT_EQ(ReadIni(), "[OTHER]\nkeep=1\n[config]\ncom=9\n") << "other sections kept";

    // The file cannot be written: told, and the port chosen is the one open
    // and checked.
    fs::remove(dir / "com.ini");
    fs::create_directory(dir / "com.ini");
    dlg->SelectPort(ID_PORT_FIRST + 255 - 1);  // not in the list: fails to open
    dlg->SelectPort(ID_PORT_FIRST + 9);
    ASSERT_GE(answers.Texts().size(), 1u);
    EXPECT_EQ(answers.Texts().back().rfind("错误: 无法保存串口设置", 0), 0u)
        << answers.Texts().back();
    EXPECT_EQ(serial::CurrentPort(), 9);
    EXPECT_EQ(Checked(dlg->PortActions()), std::vector<int>{ID_PORT_FIRST + 9});
}

TEST_F(MainDlgTest, ALostPortIsToldOnceAndChosenAgainOnceBack) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    fixture.VanishPorts();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
            return box != nullptr;
        },
        kWaitMs));
    EXPECT_EQ(box->text(), QStringLiteral("错误: 串口COM1已断开! 请检查连接后重新选择串口."));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("错误"));
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: 未设置"));
    EXPECT_TRUE(Checked(dlg->PortActions()).empty());
    box->close();

    fixture.RestorePorts();
    dlg->SetCurrentText(" 0.000");
    dlg->SelectPort(ID_PORT_FIRST + 1);
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM1"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs)) << "polling again";
}

TEST_F(MainDlgTest, ClosingWhileTheWorkerWaitsInABoxEndsAtOnceAndClosesThePort) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    dlg->SelectChannel(ID_CHANNEL_NONE + 9);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr; },
        kWaitMs));
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    const auto t0 = std::chrono::steady_clock::now();
    dlg->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(dlg->Worker().HasEnded());
    EXPECT_FALSE(serial::IsPortOpen());
    EXPECT_EQ(serial::ClosePort(), 0) << "closed once, by the worker";
}

// SIGTERM takes the close box's way, whatever box is open: the box goes,
// no other follows, and nothing is opened once the close has begun.
struct SigtermOnEachBox {
    SigtermOnEachBox() {
        QObject::connect(&watch, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            if (seen.empty() || seen.back() != box->text()) {
                seen.push_back(box->text());
                ::raise(SIGTERM);
            }
        });
        watch.start(20);
    }
    QTimer watch;
    std::vector<QString> seen;  // the texts of the boxes that opened
};

TEST_F(MainDlgTest, SigtermDuringStartUpsBoxEndsStartUp) {
    std::ofstream(dir / "ports" / "COM4") << "not a tty";
    WriteIni("[CONFIG]\nCOM=4\n");
    dlg = std::make_unique<CMainDlg>(nullptr, false);
    dlg->SetAppDirectory(dir.string() + "/");
    SignalNotifier onSignal([this] { dlg->close(); });
    ASSERT_TRUE(onSignal.Installed());
    SigtermOnEachBox boxes;
    const std::vector<QString>& seen = boxes.seen;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(dlg->OnInitDialog()) << "nothing left to run";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].contains(QStringLiteral("COM4"))) << seen[0].toStdString();
    EXPECT_FALSE(dlg->Worker().WasStarted());
    EXPECT_FALSE(serial::IsPortOpen());
    dlg.reset();
}

TEST_F(MainDlgTest, SigtermWithTheFailedSaveBoxOpenOpensNoPort) {
    Pty com3(dir / "ports" / "COM3");
    fs::create_directory(dir / "com.ini");  // cannot be saved
    Open();
    SignalNotifier onSignal([this] { dlg->close(); });
    SigtermOnEachBox boxes;
    const std::vector<QString>& seen = boxes.seen;
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    const auto t0 = std::chrono::steady_clock::now();
    dlg->SelectPort(ID_PORT_FIRST + 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].startsWith(QStringLiteral("错误: 无法保存串口设置")))
        << seen[0].toStdString();
    EXPECT_FALSE(serial::IsPortOpen()) << "the port chosen is not opened once closing";
    EXPECT_TRUE(dlg->Worker().HasEnded());
}

// 记录数据: a row for every poll, complete whatever ends the program.
TEST_F(MainDlgTest, TheReadingsLogHasARowPerPollAndIsCompleteAfterSigterm) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    SignalNotifier onSignal([this] { dlg->close(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    const fs::path log = dir / "readings.csv";
    ASSERT_TRUE(dlg->StartLogging(QString::fromStdString(log.string())));
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM1")) << "the status line tells";
    EXPECT_EQ(dlg->StatusLine()->Text(), QStringLiteral("记录中: readings.csv"));
    const size_t before = dlg->PollHistory().Since({}).size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->PollHistory().Since({}).size() >= before + 4; },
                                kWaitMs));
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    ::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 3000));
    // The rows are the log's writer's to write; it is not stuck.
    ASSERT_TRUE(dlg->ReadingsLog().WaitUntilWritten(kWriterWaitMs));

    std::ifstream in(log);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "time,channel,loop_current_mA");
    const std::regex row(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,01,\d+\.\d{3})");
    int rows = 0;
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, row)) << line;
        ++rows;
    }
    EXPECT_GE(rows, 4);
    in.clear();
    in.seekg(-1, std::ios::end);
    EXPECT_EQ(in.get(), '\n') << "no row cut short";
}

// A log file whose writes do not return (a share gone quiet): the writer
// waits alone. Polling goes on, unchecking 记录数据 and the close come back
// at once, and the writer is left in its write.
TEST_F(MainDlgTest, AStuckLogFileHoldsUpNeitherPollingNorTheWindowNorItsClose) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    SignalNotifier onSignal([this] { dlg->close(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    auto gate = std::make_shared<test::StuckFile::Gate>();
    struct LetGo {  // whatever happens, the writer is let go in the end
        std::shared_ptr<test::StuckFile::Gate> gate;
        ~LetGo() { gate->Release(); }
    } letGo{gate};
    dlg->StartLogging(std::make_unique<test::StuckFile>(gate), QStringLiteral("stuck.csv"));
    QAction* item = ToolsItem(QStringLiteral("记录数据"));
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isChecked());
    ASSERT_TRUE(gate->WaitFor([&] { return gate->appends == 1; })) << "the writer is stuck";

    const auto Polls = [&] { return dlg->PollHistory().Since({}).size(); };
    const size_t before = Polls();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polls() >= before + 5; }, kWaitMs))
        << "polling goes on";
    item->trigger();  // unchecked
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(dlg->IsLogging());
    const size_t unchecked = Polls();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polls() >= unchecked + 3; }, kWaitMs));

    QSignalSpy finished(dlg.get(), &QDialog::finished);
    const auto t0 = std::chrono::steady_clock::now();
    ::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 3000));
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    std::lock_guard lock(gate->mutex);
    EXPECT_EQ(gate->appends, 1) << "still in its first write";
    EXPECT_FALSE(gate->destroyed);
}

// A file that stops taking rows part way through one: setrlimit in this
// test's own process makes writes past the limit fail with EFBIG, the
// first one cut short, as a full disk does.
TEST_F(MainDlgTest, AFailedWriteStopsTheLogWithOneBoxAndLeavesWholeRows) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    const fs::path log = dir / "readings.csv";
    struct sigaction ignore {
    }, savedAction{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &savedAction), 0);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 200;  // the header and a few rows, the next one cut
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    BoxAnswerer boxes;
    ASSERT_TRUE(dlg->StartLogging(QString::fromStdString(log.string())));
    const bool told = QTest::qWaitFor([&] { return !boxes.Texts().empty(); }, kWaitMs);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &savedAction, nullptr);
    ASSERT_TRUE(told);
    EXPECT_EQ(boxes.Texts()[0],
              "错误: 写入记录文件" + log.string() + "失败, 记录已停止!\n" + std::strerror(EFBIG));
    EXPECT_FALSE(dlg->IsLogging());
    EXPECT_FALSE(ToolsItem(QStringLiteral("记录数据"))->isChecked());
    // Polls go on; no second box.
    const size_t polls = dlg->PollHistory().Since({}).size();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dlg->PollHistory().Since({}).size() >= polls + 3; }, kWaitMs));
    EXPECT_EQ(boxes.Texts().size(), 1u);

    std::ifstream in(log, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "no row cut short";
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "time,channel,loop_current_mA");
    const std::regex row(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,01,\d+\.\d{3})");
    int rows = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, row)) << line;
        ++rows;
    }
    EXPECT_GE(rows, 3);
}

// Only a regular file can be logged to: a FIFO (even one somebody reads,
// whose writes would stop once it is full), a device or a folder is refused
// with the reason, from the menu with a box.
TEST_F(MainDlgTest, OnlyARegularFileIsTakenForTheLog) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    const fs::path fifo = dir / "fifo.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::pair<std::string, QString> cases[] = {
        {fifo.string(), QStringLiteral("这是一个命名管道(FIFO), 不是普通文件")},
        {"/dev/null", QStringLiteral("这是一个设备, 不是普通文件")},
        {dir.string(), QStringLiteral("这是一个文件夹, 不是普通文件")}};
    for (const auto& [path, reason] : cases) {
        QString error;
        EXPECT_FALSE(dlg->StartLogging(QString::fromStdString(path), &error)) << path;
        EXPECT_EQ(error, reason) << path;
        EXPECT_FALSE(dlg->IsLogging());
    }

    // 工具 → 记录数据, the FIFO chosen in the file dialog.
    BoxAnswerer boxes;
    QTimer chooser;
    QObject::connect(&chooser, &QTimer::timeout, [&] {
        auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (d == nullptr || !d->isVisible()) return;
        // The whole path typed into the name field, as an operator may:
        // selectFile() would race the dialog's own move to its folder.
        auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return;
        name->setText(QString::fromStdString(fifo.string()));
        static_cast<QDialog*>(d)->accept();  // QFileDialog::accept, as its button does
    });
    chooser.start(20);
    QAction* item = ToolsItem(QStringLiteral("记录数据"));
    item->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.Texts().empty(); }, kWaitMs));
    EXPECT_EQ(boxes.Texts()[0],
              "错误: 无法打开记录文件" + fifo.string() + "!\n这是一个命名管道(FIFO), 不是普通文件");
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(dlg->IsLogging());
    ::close(reader);
}

TEST_F(MainDlgTest, ASilentFixtureShowsInTheTitleUntilItAnswers) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    const QString title = QStringLiteral("Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    EXPECT_EQ(dlg->windowTitle(), title);
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dlg->windowTitle() == title + " - 无应答"; }, kWaitMs));
    EXPECT_EQ(dlg->CurrentDisplay()->GetText(), " 0.000");
    fixture.ClearFaults();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->windowTitle() == title; }, kWaitMs));
}

// Never an answer from the start: start-up's channel read is what tells.
TEST_F(MainDlgTest, AFixtureSilentFromTheStartIsToldAndRefusesTheLongOperations) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    Open();
    const QString title = QStringLiteral("Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT);
    CStatusLine* line = dlg->StatusLine();
    EXPECT_EQ(RedPixels(line), 0);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dlg->windowTitle() == title + " - 无应答"; }, kWaitMs));
    EXPECT_EQ(dlg->CurrentDisplay()->GetText(), " 0.000");
    EXPECT_TRUE(line->Text().startsWith(QStringLiteral("夹具无应答 (")))
        << line->Text().toStdString();
    EXPECT_TRUE(line->Items().at(0).alarm);
    EXPECT_TRUE(line->Ticking()) << "the duration counts on";
    EXPECT_GT(RedPixels(line), 20) << "in red";

    BoxAnswerer answers;
    const uint64_t posts = dlg->Worker().PendingOperation().seq;
    dlg->OnButtonCalibrate();
    ToolsItem(QStringLiteral("校准验证"))->trigger();
    dlg->OnButtonWrite();
    EXPECT_EQ(answers.Texts(), (std::vector<std::string>{"错误: 夹具无应答, 无法开始校准!",
                                                         "错误: 夹具无应答, 无法开始校准验证!",
                                                         "错误: 夹具无应答, 无法写入设备号!"}));
    EXPECT_EQ(answers.Captions(), std::vector<std::string>(3, "错误"));
    EXPECT_EQ(answers.Icons(), std::vector<QMessageBox::Icon>(3, QMessageBox::Critical));
    EXPECT_EQ(dlg->Worker().PendingOperation().seq, posts) << "nothing posted";
    EXPECT_EQ(dlg->Worker().PendingOperation().mode, engine::ModeReadChannel);

    fixture.ClearFaults();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->windowTitle() == title; }, kWaitMs));
    EXPECT_EQ(line->Text(), QString());
    EXPECT_FALSE(line->Ticking());
    EXPECT_EQ(RedPixels(line), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    // Answering again, 写入 asks its question (No) and posts nothing.
    dlg->OnButtonWrite();
    ASSERT_EQ(answers.Texts().size(), 4u);
    EXPECT_EQ(answers.Texts().back(), "提示: 确定要写入设备号吗?");
}

TEST_F(MainDlgTest, TheStatusLineTellsTheModeWhatRunsAndTheLog) {
    UseSimulator();
    Open(true);
    CStatusLine* line = dlg->StatusLine();
    EXPECT_EQ(line->Text(), QStringLiteral("演示模式"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));

    const fs::path log = dir / "tarvok-readings-2026-05-04.csv";
    ASSERT_TRUE(dlg->StartLogging(QString::fromStdString(log.string())));
    EXPECT_EQ(line->Text(), QStringLiteral("记录中: tarvok-readings-2026-05-04.csv  演示模式"));
    EXPECT_EQ(line->toolTip(), QStringLiteral("记录文件: ") + QString::fromStdString(log.string()));
    EXPECT_FALSE(line->Ticking());
    dlg->StopLogging();
    EXPECT_EQ(line->Text(), QStringLiteral("演示模式"));

    COverviewDlg* overview = dlg->OpenOverview();
    overview->StartScan();
    ASSERT_TRUE(QTest::qWaitFor([&] { return line->Text() == "扫描中  演示模式"; }, kWaitMs));
    overview->close();  // stops the scan
    ASSERT_TRUE(QTest::qWaitFor([&] { return line->Text() == "演示模式"; }, kWaitMs));

    // A calibration and a verification, each left in the channel prompt.
    QString shown;
    QTimer operatorTimer;
    QObject::connect(&operatorTimer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            QTest::keyClick(box, Qt::Key_Return);  // Yes
        for (QDialog* d : OpenWorkerDialogs())
            if (auto* prompt = qobject_cast<CChannelDlg*>(d); prompt && prompt->isVisible()) {
                shown = line->Text();
                prompt->reject();
            }
    });
    operatorTimer.start(20);
    for (const auto& start : std::vector<std::function<void()>>{
             [&] { dlg->OnButtonCalibrate(); },
             [&] { ToolsItem(QStringLiteral("校准验证"))->trigger(); }}) {
        shown.clear();
        start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }, kWaitMs));
        EXPECT_EQ(shown, QStringLiteral("校准中  演示模式"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return line->Text() == "演示模式"; }, kWaitMs));
    }

    // The field device's fault, before the rest.
    dlg->SetDeviceFault(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return line->Text() == "设备故障  演示模式"; }, kWaitMs));
    dlg->SetDeviceFault(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return line->Text() == "演示模式"; }, kWaitMs));
}

TEST_F(MainDlgTest, TheTrendShowsThePollsAndSavesAPicture) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    QAction* item = ToolsItem(QStringLiteral("趋势图"));
    ASSERT_NE(item, nullptr);
    item->trigger();
    auto* trend = dlg->findChild<CTrendDlg*>();
    ASSERT_NE(trend, nullptr);
    EXPECT_TRUE(trend->isVisible());
    EXPECT_EQ(trend->windowTitle(), QStringLiteral("趋势图"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            trend->Refresh(true);
            return trend->Stats().count >= 3;
        },
        kWaitMs));
    const engine::TrendStats s = trend->Stats();
    EXPECT_LE(s.min, s.mean);
    EXPECT_LE(s.mean, s.max);
    EXPECT_TRUE(trend->StatsText().startsWith(ChannelName(s.channel) + QStringLiteral("  最小 ")))
        << trend->StatsText().toStdString();
    for (int span = 0; span < 3; ++span) {
        trend->SetSpan(span);
        const fs::path png = dir / ("trend" + std::to_string(span) + ".png");
        ASSERT_TRUE(trend->SavePng(QString::fromStdString(png.string())));
        QImage image(QString::fromStdString(png.string()));
        ASSERT_FALSE(image.isNull());
        // The line is drawn in the readout's blue.
        bool blue = false;
        for (int y = 0; y < image.height() && !blue; ++y)
            for (int x = 0; x < image.width() && !blue; ++x)
                blue = image.pixelColor(x, y).blue() > 200 && image.pixelColor(x, y).red() < 80;
        EXPECT_TRUE(blue) << span;
    }
    dlg->close();  // the trend goes with the window
}

TEST_F(MainDlgTest, LinkDiagnosticsCountLiveAndTraceAsTraceDoes) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    QAction* item = ToolsItem(QStringLiteral("链路诊断"));
    ASSERT_NE(item, nullptr);
    item->trigger();
    auto* diag = dlg->findChild<CLinkDiagDlg*>();
    ASSERT_NE(diag, nullptr);
    EXPECT_EQ(diag->windowTitle(), QStringLiteral("链路诊断"));

    diag->ResetStatistics();
    EXPECT_TRUE(diag->StatisticsText().startsWith(QStringLiteral("请求: 0    成功: 0    失败: 0")))
        << diag->StatisticsText().toStdString();
    // Live: the polls are counted and their frames traced, with time and
    // name as --trace writes them.
    const std::regex tx(R"(\d\d:\d\d:\d\d\.\d{3} TX 2 读回路电流( [0-9A-F]{2})+)");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::string trace = diag->TraceText().toStdString();
            std::smatch m;
            return std::regex_search(trace, m, tx) && trace.find(" RX 2 ") != std::string::npos;
        },
        kWaitMs))
        << diag->TraceText().toStdString();
    fixture.InjectFault(sim::Fault::kBadChecksum, 1);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return diag->StatisticsText().contains(QStringLiteral("校验错误 1")); }, kWaitMs))
        << diag->StatisticsText().toStdString();
    EXPECT_TRUE(diag->StatisticsText().contains(QStringLiteral("重试: 1")));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return diag->TraceText().contains(
                QStringLiteral("-- 2 读回路电流 bad checksum (attempt 1/3)"));
        },
        kWaitMs))
        << diag->TraceText().toStdString();
    diag->ResetStatistics();
    EXPECT_TRUE(diag->StatisticsText().startsWith(QStringLiteral("请求: 0")));
    dlg->close();
}

TEST_F(MainDlgTest, TheOverviewScansExportsAndSelectsARow) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    QAction* item = ToolsItem(QStringLiteral("通道总览"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(dlg->ToolsMenu()->actions().front(), item);
    item->trigger();
    auto* overview = dlg->findChild<COverviewDlg*>();
    ASSERT_NE(overview, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(overview));
    QTableWidget* table = overview->Table();
    // At the size it opens with, every channel is in view.
    EXPECT_EQ(table->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(table->rowAt(0), 0);
    EXPECT_LE(table->rowViewportPosition(31) + table->rowHeight(31), table->viewport()->height())
        << "CH32 below the fold of a " << overview->height() << " px window";
    EXPECT_LE(overview->frameGeometry().height(), overview->screen()->availableGeometry().height());
    overview->StartScan();
    EXPECT_TRUE(overview->IsScanning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overview->IsScanning(); }, 60000));
    EXPECT_EQ(overview->StatusText(), QStringLiteral("扫描完成, 8 个变送器"));
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("CH1"));
    EXPECT_FALSE(table->item(0, 1)->text().isEmpty()) << "a transmitter on CH1";
    EXPECT_EQ(table->item(0, 3)->text(), QStringLiteral("正常"));
    EXPECT_TRUE(table->item(31, 1)->text().isEmpty()) << "none on CH32";
    EXPECT_EQ(table->item(31, 3)->text(), QStringLiteral("空")) << "an empty slot";
    EXPECT_TRUE(QTime::fromString(table->item(31, 4)->text(), QStringLiteral("HH:mm:ss")).isValid())
        << table->item(31, 4)->text().toStdString();
    EXPECT_EQ(dlg->ChannelDisplay()->GetText(), "01") << "the channel put back";

    // Exported with a BOM, read back by Python's csv module.
    const fs::path csv = dir / "scan.csv";
    ASSERT_TRUE(overview->ExportCsv(QString::fromStdString(csv.string())));
    {
        std::ifstream in(csv, std::ios::binary);
        char bom[3] = {};
        in.read(bom, 3);
        EXPECT_EQ(std::string(bom, 3), "\xEF\xBB\xBF");
    }
    const std::string script =
        "import csv,sys\n"
        "rows=list(csv.DictReader(open(sys.argv[1],encoding='utf-8-sig')))\n"
        "assert len(rows)==32, len(rows)\n"
        "assert [r['channel'] for r in rows]==[str(i) for i in range(1,33)]\n"
        "assert all(r['transmitter'] for r in rows[:8]) and not any(r['transmitter'] for r in "
        "rows[8:])\n"
        "assert [r['band'] for r in rows]==['ok']*8+['empty']*2+['ok']+['empty']*21, rows\n"
        "float(rows[0]['loop_current_mA'])\n"
        "from datetime import datetime\n"
        "assert all(datetime.fromisoformat(r['time']).utcoffset() is not None for r in rows)\n";
    EXPECT_EQ(std::system(("python3 - " + csv.string() + " <<'EOF'\n" + script + "EOF").c_str()),
              0);

    // A double click makes that channel active.
    table->cellDoubleClicked(6, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ChannelDisplay()->GetText() == "07"; }, kWaitMs));
    EXPECT_EQ(fixture.ActiveChannel(), 6);
    dlg->close();
}

// A copy in a writable folder keeps com.ini beside it; an installed one
// (under /usr, which root could write) keeps it in the user's folder, and
// reads it back at the next start.
// Frames of `command` the master sent, short or long form.
// Requests, not attempts: a frame sent again right after itself is a retry
// (a reply lost under load), counted once.
size_t CountRequests(const sim::SimulatedFixture& fixture, int command) {
    size_t n = 0;
    const std::vector<uint8_t>* previous = nullptr;
    for (const sim::LineEvent& e : fixture.LineLog()) {
        if (e.kind != sim::LineEvent::kMasterFrame) continue;
        const bool retry = previous != nullptr && *previous == e.bytes;
        previous = &e.bytes;
        if (retry) continue;
        size_t d = 0;
        while (d < e.bytes.size() && e.bytes[d] == 0xFF) ++d;
        if (d >= e.bytes.size()) continue;
        const size_t at = d + ((e.bytes[d] & 0x80) ? 6 : 2);
        if (at < e.bytes.size() && e.bytes[at] == command) ++n;
    }
    return n;
}

// The operator through a verification: Yes to the question, 确定 in the
// channel prompt, and at each current Next once its reading shows; every
// box is answered with its default button and its text kept.
class VerifyingOperator {
public:
    VerifyingOperator() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Act(); });
        m_timer.start(20);
    }
    const std::vector<std::string>& Boxes() const { return m_boxes; }
    // The wizards' titles, in order.
    const std::vector<std::string>& Titles() const { return m_titles; }
    int Points() const { return m_points; }

private:
    void Act() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            box != nullptr && box->isVisible()) {
            m_boxes.push_back(box->text().toStdString());
            QTest::keyClick(box, Qt::Key_Return);
            return;
        }
        for (QDialog* d : OpenWorkerDialogs()) {
            if (!d->isVisible()) continue;
            if (auto* prompt = qobject_cast<CChannelDlg*>(d)) {
                prompt->accept();
                return;
            }
            if (auto* summary = qobject_cast<CCalibrationSummaryDlg*>(d)) {
                summary->WriteButton()->click();
                return;
            }
            auto* wizard = qobject_cast<CCalibrateDlg*>(d);
            if (wizard == nullptr) continue;
            if (wizard != m_wizard) {
                m_wizard = wizard;
                m_next = 4;
                m_titles.push_back(wizard->windowTitle().toStdString());
            }
            const QString nominal = QStringLiteral("%1.000").arg(m_next);
            // A reading of this current, not the last one's still standing.
            const double measured =
                wizard->Controls().Get<QLineEdit>(IDC_MEASURED)->text().toDouble();
            auto* reference = wizard->Controls().Get<QLineEdit>(IDC_REFERENCE);
            if (reference->placeholderText() == nominal && reference->text().isEmpty() &&
                std::fabs(measured - m_next) < 0.5) {
                // The ammeter shows the current the transmitter was fixed at.
                reference->setText(nominal);
                wizard->OnNext();
                m_next += 4;
                ++m_points;
            }
        }
    }

    QTimer m_timer;
    std::vector<std::string> m_boxes;
    std::vector<std::string> m_titles;
    QPointer<CCalibrateDlg> m_wizard;
    int m_next = 4;
    int m_points = 0;
};

TEST_F(MainDlgTest, TheToolsMenuHoldsItsItemsInOrder) {
    UseSimulator();
    WriteIni("[CONFIG]\nCOM=1\n");
    Open();
    // Between 当前串口 and 帮助 on the bar.
    const QList<QAction*> bar = dlg->MenuBar()->actions();
    ASSERT_EQ(bar.size(), 4);
    EXPECT_EQ(bar[2]->menu(), dlg->ToolsMenu());
    EXPECT_EQ(bar[2]->text(), QStringLiteral("工具"));
    EXPECT_EQ(bar[3]->text(), QStringLiteral("帮助"));
    const QList<QAction*> items = dlg->ToolsMenu()->actions();
    QStringList texts;
    for (QAction* a : items) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(texts.join(QLatin1Char(' ')),
              QStringLiteral("通道总览 趋势图 记录数据 - 校准验证 校准记录 记录设置 - 链路诊断"));
    EXPECT_TRUE(items[2]->isCheckable());

    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    items[5]->trigger();
    auto* records = dlg->findChild<CRecordsDlg*>();
    ASSERT_NE(records, nullptr);
    EXPECT_TRUE(records->isVisible());
    EXPECT_EQ(records->CountText(), QStringLiteral("共 0 条记录"));
}

// Runs against the simulated fixture: a records folder that cannot be
// written is told once, and a calibration completes regardless; once it
// can be, a verification from the menu leaves its record, with the settings
// of com.ini, and the open list shows it.
TEST_F(MainDlgTest, AnUnwritableRecordsFolderIsToldOnceAndAVerificationLeavesARecord) {
    UseSimulator();
    WriteIni(
        "[CONFIG]\nCOM=1\n[RECORDS]\nOPERATOR=\"周工\"\nREFERENCE_METER=表 9\nTOLERANCE=0.5\n"
        "METER_MODEL=RM-200\nMETER_SERIAL=2231\nMETER_DUE=2099-12-31\nMETER_ACCURACY_UA=2\n");
    std::ofstream(dir / "not-a-folder") << "x";
    ::setenv("XDG_DATA_HOME", (dir / "not-a-folder").c_str(), 1);
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));
    QAction* verify = nullptr;
    for (QAction* a : dlg->ToolsMenu()->actions())
        if (a->text() == QStringLiteral("校准验证")) verify = a;
    ASSERT_NE(verify, nullptr);

    VerifyingOperator op;
    const auto run = [&](const std::function<void()>& start, int points) {
        const uint64_t polls = dlg->PollHistory().Version();
        start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return op.Points() == points; }, kWaitMs));
        // Back to polling: the run has ended.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return dlg->Worker().PendingOperation().mode == engine::ModePollCurrent &&
                       dlg->PollHistory().Version() > polls + 2;
            },
            kWaitMs));
        QTest::qWait(100);
    };
    run([&] { verify->trigger(); }, 5);
    EXPECT_EQ(CountRequests(fixture, 201), 0u) << "nothing written to the fixture";
    // A calibration with the folder still unwritable: not told again, and
    // the calibration completes.
    // Its offer of a check is taken (Yes is the default): five points more.
    run([&] { dlg->OnButtonCalibrate(); }, 15);
    EXPECT_EQ(CountRequests(fixture, 201), 12u);
    const auto told = std::count_if(op.Boxes().begin(), op.Boxes().end(), [](const std::string& t) {
        return t.rfind("错误: 无法保存校准记录到", 0) == 0;
    });
    EXPECT_EQ(told, 1) << "once per run of the program";
    EXPECT_EQ(std::count(op.Boxes().begin(), op.Boxes().end(), "提示: 确定要进行校准验证吗?"), 1);
    EXPECT_EQ(std::count(op.Boxes().begin(), op.Boxes().end(), "错误: 电流校准失败!"), 0);

    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    CRecordsDlg* records = dlg->OpenRecords();
    run([&] { verify->trigger(); }, 20);
    const fs::path folder = dir / "data" / "tarvok" / "records";
    ASSERT_EQ(records->Records().size(), 1u) << "the open list shows the new record";
    const std::string stem = records->Records()[0].stem;
    for (const char* extension : {".json", ".csv", ".pdf"})
        EXPECT_TRUE(fs::exists(folder / (stem + extension))) << extension;
    const auto json = nlohmann::json::parse(std::ifstream(folder / (stem + ".json")));
    EXPECT_EQ(json["kind"], "verification");
    EXPECT_EQ(json["port"], "COM1");
    EXPECT_EQ(json["fixture_device_number"], 1);
    EXPECT_EQ(json["operator"], "周工");
    EXPECT_EQ(json["reference_meter"], "表 9");
    EXPECT_EQ(json["tolerance_percent_of_span"], 0.5);
    EXPECT_EQ(json["points"].size(), 5u);
    EXPECT_EQ(json["result"], "pass") << "as left by the calibration";
    // The run ends with its result: the verdict and the certificate number.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->ResultDialog() != nullptr; }, kWaitMs));
    CCalibrationResultDlg* result = dlg->ResultDialog();
    EXPECT_EQ(result->windowTitle(), QString("校准验证结果"));
    EXPECT_EQ(result->Verdict(), QString("合格"));
    EXPECT_EQ(result->CertificateNumber(), QString::fromStdString(stem));
    QString opened;
    result->openFile = [&](const QString& path, QString*) {
        opened = path;
        return true;
    };
    result->OpenButton()->click();
    EXPECT_EQ(fs::path(opened.toStdString()), folder / (stem + ".pdf"));
    result->CloseButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg->ResultDialog() == nullptr; }, kWaitMs));
    EXPECT_EQ(op.Titles(),
              (std::vector<std::string>{"校准验证", "电流校准", "校准验证", "校准验证"}));
    EXPECT_EQ(std::count(op.Boxes().begin(), op.Boxes().end(), "是否立即进行校准后验证?"), 1);
}

TEST_F(MainDlgTest, TheSettingsFileIsBesideAPortableCopyAndTheUsersForAnInstalledOne) {
    Pty com3(dir / "ports" / "COM3");
    Pty com5(dir / "ports" / "COM5");
    const fs::path config = dir / "config";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    BoxAnswerer answers;

    Open();
    EXPECT_EQ(dlg->IniPath(), (dir / "com.ini").string());
    dlg->SelectPort(ID_PORT_FIRST + 5);
    EXPECT_EQ(ReadIni(), "[CONFIG]\nCOM=5\n");
    EXPECT_FALSE(fs::exists(config));
    Close();

    appDir = "/usr/bin/";
    const fs::path userIni = config / "tarvok" / "com.ini";
    const bool besideBefore = fs::exists("/usr/bin/com.ini");
    Open();
    EXPECT_EQ(dlg->IniPath(), userIni.string());
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: 未设置")) << "the portable copy's file unread";
    dlg->SelectPort(ID_PORT_FIRST + 3);
    std::ifstream in(userIni);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[CONFIG]\nCOM=3\n");
    EXPECT_EQ(fs::exists("/usr/bin/com.ini"), besideBefore);
    EXPECT_EQ(ReadIni(), "[CONFIG]\nCOM=5\n");
    Close();

    Open();
    EXPECT_EQ(serial::CurrentPort(), 3);
    EXPECT_EQ(PortTitle(), QStringLiteral("当前串口: COM3"));
    EXPECT_EQ(Checked(dlg->PortActions()), std::vector<int>{ID_PORT_FIRST + 3});
    EXPECT_TRUE(answers.Texts().empty());
    Close();

    // The user's folder cannot be made: told, with the path, and the port
    // chosen is opened all the same.
    std::ofstream(dir / "blocked") << "x";
    ::setenv("XDG_CONFIG_HOME", (dir / "blocked").c_str(), 1);
    Open();
    dlg->SelectPort(ID_PORT_FIRST + 5);
    ASSERT_EQ(answers.Texts().size(), 1u);
    EXPECT_EQ(answers.Texts()[0],
              "错误: 无法保存串口设置到" + (dir / "blocked").string() + "/tarvok/com.ini!");
    EXPECT_EQ(serial::CurrentPort(), 5);
}

// 校准 and 校准验证 name the setting they lack, and a meter past its date;
// the status line tells a fixture's calibration overdue from the records,
// at start-up and again before 校准.
TEST_F(MainDlgTest, CalibrationNeedsTheRecordSettingsAndTheDueDateIsShown) {
    using namespace std::chrono;
    UseSimulator();
    const year_month_day today = engine::LocalToday();
    const std::string yesterday = engine::FormatDate(year_month_day{sys_days{today} - days{1}});
    const std::string soon = engine::FormatDate(year_month_day{sys_days{today} + days{10}});
    const fs::path records = dir / "data" / "tarvok" / "records";
    fs::create_directories(records);
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    const auto writeRecord = [&](const std::string& due) {
        std::ofstream(records / "20260101-100000-1.json")
            << R"({"kind":"calibration","time":"2026-01-01T10:00:00+08:00",)"
            << R"("fixture_device_number":1,"result":"written","due_date":")" << due << "\"}";
    };
    writeRecord(yesterday);
    WriteIni("[CONFIG]\nCOM=1\n[RECORDS]\nOPERATOR=周工\nMETER_SERIAL=2231\n");
    Open();
    CStatusLine* line = dlg->StatusLine();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return line->Text() == QString::fromStdString("校准已过期 (" + yesterday + ")"); },
        kWaitMs))
        << line->Text().toStdString();
    EXPECT_TRUE(line->Items().at(0).alarm);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Polling(); }, kWaitMs));

    BoxAnswerer answers;
    const uint64_t posts = dlg->Worker().PendingOperation().seq;
    writeRecord(soon);  // a calibration made meanwhile, elsewhere
    dlg->OnButtonCalibrate();
    EXPECT_EQ(line->Text(), QString::fromStdString("校准将于" + soon + "到期"));
    engine::RecordSettings s = dlg->RecordSettings();
    s.meterModel = "RM-200";
    s.meterDue = yesterday;
    s.meterAccuracyPercent = 0.02;
    dlg->SetRecordSettings(s);
    ToolsItem(QStringLiteral("校准验证"))->trigger();
    EXPECT_EQ(answers.Texts(),
              (std::vector<std::string>{
                  "错误: 记录设置中未填写标准表型号, 无法开始校准!\n请检查 工具 > 记录设置.",
                  "错误: 标准表已于" + yesterday +
                      "到期, 无法开始校准验证!\n请检查 工具 > 记录设置."}));
    EXPECT_EQ(answers.Captions(), std::vector<std::string>(2, "错误"));
    EXPECT_EQ(dlg->Worker().PendingOperation().seq, posts) << "nothing posted";
    EXPECT_NE(ReadIni().find("METER_DUE=" + yesterday), std::string::npos) << ReadIni();
}

TEST_F(MainDlgTest, ADemoComesWithItsOwnMeterDueInAYear) {
    UseSimulator();
    Open(true);
    const engine::RecordSettings s = dlg->RecordSettings();
    EXPECT_EQ(engine::RecordSettingsProblem(s, engine::LocalToday()), "");
    EXPECT_EQ(s.meterDue, engine::FormatDate(engine::AddMonths(engine::LocalToday(), 12)));
}

}  // namespace
}  // namespace app
