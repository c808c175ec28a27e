// The Win32 backend's own paths, which the shared tests (run on the
// simulated port) never reach: overlapped writes that complete at once or go
// pending, the event wait ended by input, by Close and by a far end that
// goes away, and the exclusive open. The backend runs in win32-port-probe
// under wine; this test holds the far end of its port, a pseudo-terminal
// linked as COM21 in the Wine prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e_config.h"
#include "pseudo_terminal.h"
#include "subprocess.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kAnswerMs = 5000;

Bytes Counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

// Word `index` of an answer such as "wrote 14 0" as a number; -1 when it
// is not one.
long long Field(const std::string& answer, size_t index) {
    std::istringstream in(answer);
    std::string word;
    for (size_t i = 0; i <= index; ++i)
        if (!(in >> word)) return -1;
    long long value = -1;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size() ? value : -1;
}

class Win32PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Config().UnderWine()) << "these tests run the Windows build under wine";
        std::string error;
        ASSERT_TRUE(terminal_.Create(Config().PortLink("", kPort), &error)) << error;
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvok-lines-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        ASSERT_GE(fd, 0);
        ::close(fd);
        shimLog_ = pattern;
        ASSERT_TRUE(probe_.Start(Config().Command({}), Config().Environment("", shimLog_)));
        ASSERT_EQ(Ask("open \\\\.\\COM21"), "ok");
        ASSERT_EQ(Ask("configure"), "ok");
    }
    void TearDown() override {
        probe_.WriteLine("quit");
        EXPECT_EQ(probe_.Finish(10000), 0) << "the probe ended cleanly";
        terminal_.Destroy();
        std::filesystem::remove(shimLog_);
    }

    // The line settings as the device has them.
    termios Settings() const {
        termios t{};
        const int fd = ::open(terminal_.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
        return t;
    }

    // What the modem-line shim saw, "DTR=d RTS=r" a change.
    std::vector<std::string> LineChanges() const {
        std::vector<std::string> out;
        std::ifstream in(shimLog_);
        std::string line;
        while (std::getline(in, line)) out.push_back(line.substr(line.find(' ') + 1));
        return out;
    }

    std::string Ask(const std::string& command) {
        EXPECT_TRUE(probe_.WriteLine(command));
        return Next(kAnswerMs);
    }
    std::string Next(int timeoutMs) { return probe_.ReadLine(timeoutMs).value_or("<none>"); }

    static constexpr int kPort = 21;
    PseudoTerminal terminal_;
    Child probe_;
    std::string shimLog_;
};

TEST_F(Win32PortTest, ConfiguresARawLineAt1200BaudWithoutFlowControl) {
    const termios t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B1200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    // Bytes a terminal would be tempted to interpret pass unchanged.
    const Bytes tricky = {0xFF, 0xFF, 0x0A, 0x0D, 0x11, 0x13, 0x00, 0x04, 0x7F};
    ASSERT_TRUE(terminal_.Send(tricky));
    EXPECT_EQ(Ask("wait"), "waiting");
    EXPECT_EQ(Next(kAnswerMs).rfind("wait input", 0), 0u);
    EXPECT_EQ(Ask("queued"), "queued 9");
    EXPECT_EQ(Ask("read 50"), "read 9 FF FF 0A 0D 11 13 00 04 7F");
    EXPECT_EQ(Ask("read 50"), "read 0");
}

TEST_F(Win32PortTest, AWriteTheDriverTakesAtOnceAndOneThatGoesPending) {
    const std::string quick = Ask("write 14");
    EXPECT_EQ(quick.rfind("wrote 14 ", 0), 0u) << quick;
    EXPECT_LT(Field(quick, 2), 200) << "completed at once";
    EXPECT_EQ(terminal_.Receive(14, 2000), Counting(14));

    // More than the pseudo-terminal buffers: the write stays pending until
    // the far end reads.
    constexpr size_t kBig = 256 * 1024;
    EXPECT_EQ(Ask("write-async " + std::to_string(kBig)), "writing");
    EXPECT_EQ(Next(500), "<none>") << "the write is still pending";
    const Bytes got = terminal_.Receive(kBig, 10000);
    const std::string done = Next(kAnswerMs);
    EXPECT_EQ(done.rfind("wrote " + std::to_string(kBig) + " ", 0), 0u) << done;
    EXPECT_GE(Field(done, 2), 400) << "it waited for the far end";
    EXPECT_EQ(got, Counting(kBig));
}

TEST_F(Win32PortTest, CloseEndsAPendingEventWait) {
    EXPECT_EQ(Ask("wait"), "waiting");
    EXPECT_EQ(Next(300), "<none>") << "nothing queued: the wait blocks";
    EXPECT_EQ(Ask("cancel"), "ok");
    EXPECT_EQ(Next(kAnswerMs).rfind("wait cancelled", 0), 0u);

    EXPECT_EQ(Ask("wait"), "waiting");
    EXPECT_EQ(Next(300), "<none>");
    probe_.WriteLine("close");
    std::vector<std::string> answers = {Next(kAnswerMs), Next(kAnswerMs)};
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers[0].rfind("closed ", 0), 0u) << answers[0];
    EXPECT_LT(Field(answers[0], 1), 1000) << "Close did not wait for a character";
    EXPECT_EQ(answers[1].rfind("wait cancelled", 0), 0u) << answers[1];

    EXPECT_EQ(Ask("wait"), "waiting");
    EXPECT_EQ(Next(kAnswerMs).rfind("wait vanished", 0), 0u) << "a closed port waits for nothing";
    EXPECT_EQ(Ask("write 4").rfind("wrote -1 ", 0), 0u);
}

TEST_F(Win32PortTest, AFarEndThatGoesAwayEndsTheWaitAndFailsWhatFollows) {
    EXPECT_EQ(Ask("wait"), "waiting");
    EXPECT_EQ(Next(300), "<none>");
    terminal_.Hangup();
    const std::string woke = Next(kAnswerMs);
    EXPECT_EQ(woke.rfind("wait vanished", 0), 0u) << woke;

    // From now on everything fails at once, and the wait does not spin.
    EXPECT_EQ(Ask("write 4").rfind("wrote -1 ", 0), 0u);
    EXPECT_EQ(Ask("read 4"), "read -1");
    EXPECT_EQ(Ask("queued"), "queued 0");
    EXPECT_EQ(Ask("wait"), "waiting");
    const std::string again = Next(kAnswerMs);
    EXPECT_EQ(again.rfind("wait vanished", 0), 0u) << again;
    EXPECT_LT(Field(again, 2), 100);
}

TEST_F(Win32PortTest, ModemLinesReachTheDeviceAndCarrierReadsOff) {
    EXPECT_EQ(Ask("dtr 0"), "ok");
    EXPECT_EQ(Ask("rts 1"), "ok");
    EXPECT_EQ(Ask("dtr 1"), "ok");
    EXPECT_EQ(Ask("carrier"), "carrier 0");
    EXPECT_EQ(Ask("rts 0"), "ok");
    auto changes = LineChanges();
    // ConfigureLine enables DTR; the rest are the commands above.
    ASSERT_GE(changes.size(), 4u);
    changes.erase(changes.begin(), changes.end() - 4);
    EXPECT_EQ(changes, (std::vector<std::string>{"DTR=0 RTS=0", "DTR=0 RTS=1", "DTR=1 RTS=1",
                                                 "DTR=1 RTS=0"}));
}

TEST_F(Win32PortTest, ASecondOpenerIsRefused) {
    const std::string second = Ask("open2 \\\\.\\COM21");
    if (second == "ok") {
        GTEST_SKIP() << "Wine does not enforce exclusive (share mode 0) opens of a serial "
                        "device; Windows' serial drivers refuse the second opener";
    }
    EXPECT_EQ(second, "refused");
}

}  // namespace
}  // namespace e2e
