// The termios backend against a pseudo-terminal pair: the port opens the
// slave by its path, the test plays the far end on the master.
#include "serial/posix_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/exe_dir.h"
#include "serial/parmrk_decoder.h"
#include "serial/port_factory.h"

namespace serial {
namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// A pseudo-terminal pair: the master fd, the slave's path, and a slave fd
// the test keeps for looking at the line settings.
bool OpenPty(int* master, std::string* path, int* slave) {
    *master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0) return false;
    const char* name = nullptr;
    if (::grantpt(*master) != 0 || ::unlockpt(*master) != 0 ||
        (name = ::ptsname(*master)) == nullptr) {
        ::close(*master);
        return false;
    }
    *path = name;
    *slave = ::open(name, O_RDWR | O_NOCTTY);
    return *slave >= 0;
}

Bytes DecodeInChunks(const Bytes& raw, size_t chunk) {
    ParmrkDecoder decoder;
    Bytes out;
    for (size_t at = 0; at < raw.size(); at += chunk) {
        const size_t n = std::min(chunk, raw.size() - at);
        uint8_t buf[64];
        const size_t got = decoder.Decode(raw.data() + at, n, buf);
        out.insert(out.end(), buf, buf + got);
    }
    EXPECT_FALSE(decoder.Pending());
    return out;
}

TEST(ParmrkDecoderTest, DecodesEscapesWhereverTheReadsSplitThem) {
    // A preamble, an errored character, a break, data with a real 0xFF.
    const Bytes raw = {0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0xFF, 0x00, 0x41, 0x10,
                       0xFF, 0x00, 0x00, 0x07, 0xFF, 0xFF, 0x00, 0x01};
    const Bytes expected = {0xFF, 0xFF, 0x82, 'F', 0x10, 'F', 0x07, 0xFF, 0x00, 0x01};
    for (size_t chunk = 1; chunk <= raw.size(); ++chunk)
        EXPECT_EQ(DecodeInChunks(raw, chunk), expected) << "chunk " << chunk;
}

TEST(ParmrkDecoderTest, HoldsBackAnUnfinishedEscape) {
    ParmrkDecoder decoder;
    uint8_t out[4];
    const uint8_t mark[] = {0xFF, 0x00};
    EXPECT_EQ(decoder.Decode(mark, 2, out), 0u);
    EXPECT_TRUE(decoder.Pending());
    decoder.Reset();
    const uint8_t plain[] = {0x30};
    ASSERT_EQ(decoder.Decode(plain, 1, out), 1u);
    EXPECT_EQ(out[0], 0x30);
}

TEST(ParmrkDecoderTest, KeepsBothBytesOfAStrayMark) {
    ParmrkDecoder decoder;
    uint8_t out[4];
    const uint8_t raw[] = {0xFF, 0x41};
    ASSERT_EQ(decoder.Decode(raw, 2, out), 2u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x41);
}

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenPty(&master_, &path_, &slave_));
        ASSERT_TRUE(port_.Open(path_));
        ASSERT_TRUE(port_.ConfigureLine());
    }
    void TearDown() override {
        port_.Close();
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void FarEndSends(const Bytes& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the far end receives within the time.
    Bytes FarEndReceives(size_t count, int timeoutMs = 2000) {
        Bytes got;
        const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && SteadyClock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[256];
            const ssize_t n = ::read(master_, buf, sizeof(buf));
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    // What the port reads within the time, max bytes per Read.
    Bytes PortReceives(size_t count, size_t max = 64, int timeoutMs = 2000) {
        Bytes got;
        const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && SteadyClock::now() < end) {
            uint8_t buf[64];
            const long n = port_.Read(buf, std::min(max, sizeof(buf)));
            if (n < 0) break;
            if (n == 0) platform::Sleep(5);
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    PosixPort port_;
};

TEST_F(PtyPortTest, PassesBytesUnchangedBothWays) {
    const Bytes frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0xA6, 0x00, 0xFF, 0x00, 0x7F, 0x80};
    FarEndSends(frame);
    EXPECT_EQ(PortReceives(frame.size()), frame);
    EXPECT_EQ(port_.Write(frame.data(), frame.size()), static_cast<long>(frame.size()));
    EXPECT_EQ(FarEndReceives(frame.size()), frame);
}

TEST_F(PtyPortTest, NeverHandsOutHalfAnEscape) {
    // The line discipline sends a 0xFF as two bytes; one-byte reads and the
    // raw count of QueuedInput must still give each 0xFF once.
    FarEndSends({0xFF, 0x00, 0xFF});
    platform::Sleep(20);
    EXPECT_GE(port_.QueuedInput(), 3u);
    EXPECT_EQ(PortReceives(3, 1), (Bytes{0xFF, 0x00, 0xFF}));
    uint8_t extra;
    EXPECT_EQ(port_.Read(&extra, 1), 0);
}

TEST_F(PtyPortTest, ConfiguresARawLineAt1200Baud) {
    termios t{};
    ASSERT_EQ(::tcgetattr(slave_, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B1200));
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B1200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IGNPAR | ISTRIP), 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(PtyPortTest, RefusesASecondOpenerUntilClosed) {
    PosixPort other;
    EXPECT_FALSE(other.Open(path_));
    EXPECT_FALSE(port_.Open(path_));  // already open
    port_.Close();
    port_.Close();
    EXPECT_TRUE(other.Open(path_));
    // Configured again, the pseudo-terminal has the line as asked already
    // but for the parity it drops: the C library's complaint is no failure.
    EXPECT_TRUE(other.ConfigureLine());
    other.Close();
    EXPECT_TRUE(port_.Open(path_));
    EXPECT_TRUE(port_.ConfigureLine());
}

TEST_F(PtyPortTest, ModemLinesOfAPseudoTerminalAreNoFailure) {
    port_.SetDtr(true);
    port_.SetRts(true);
    port_.SetRts(false);
    port_.SetDtr(false);
    EXPECT_TRUE(port_.ReleaseRts());
    EXPECT_FALSE(port_.CarrierDetect());
    const Bytes b = {0x01};
    EXPECT_EQ(port_.Write(b.data(), b.size()), 1);  // the port still works
}

TEST_F(PtyPortTest, VanishedFarEndEndsEveryWaitAtOnce) {
    std::atomic<bool> done{false};
    WaitResult first = WaitResult::kInput;
    std::thread receiver([&] {
        first = port_.WaitForInput();
        done = true;
    });
    platform::Sleep(50);
    EXPECT_FALSE(done.load());
    const auto closed = SteadyClock::now();
    CloseMaster();
    receiver.join();
    EXPECT_EQ(first, WaitResult::kVanished);
    EXPECT_LT(SteadyClock::now() - closed, std::chrono::milliseconds(500));

    const auto start = SteadyClock::now();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(port_.WaitForInput(), WaitResult::kVanished);
    EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(100));
    uint8_t buf[8];
    EXPECT_EQ(port_.Read(buf, sizeof(buf)), -1);
    EXPECT_EQ(port_.QueuedInput(), 0u);
    EXPECT_EQ(port_.Write(buf, 1), -1);
}

TEST_F(PtyPortTest, ReadNoticesAHangUp) {
    CloseMaster();
    platform::Sleep(20);
    uint8_t buf[8];
    EXPECT_EQ(port_.Read(buf, sizeof(buf)), -1);
    EXPECT_EQ(port_.WaitForInput(), WaitResult::kVanished);
}

TEST_F(PtyPortTest, CancelEndsAWaitFromAnotherThread) {
    std::atomic<bool> done{false};
    WaitResult result = WaitResult::kInput;
    std::thread receiver([&] {
        result = port_.WaitForInput();
        done = true;
    });
    platform::Sleep(50);
    EXPECT_FALSE(done.load());  // nothing queued: it really blocks
    port_.CancelWait();
    receiver.join();
    EXPECT_EQ(result, WaitResult::kCancelled);

    // A cancel with no wait pending ends the next one, once.
    port_.CancelWait();
    EXPECT_EQ(port_.WaitForInput(), WaitResult::kCancelled);
    FarEndSends({0x42});
    EXPECT_EQ(port_.WaitForInput(), WaitResult::kInput);
}

TEST_F(PtyPortTest, CloseEndsAPendingWaitAndLeavesAPortThatRefusesEverything) {
    WaitResult result = WaitResult::kInput;
    std::thread receiver([&] { result = port_.WaitForInput(); });
    platform::Sleep(50);
    port_.Close();
    receiver.join();
    EXPECT_EQ(result, WaitResult::kCancelled);

    uint8_t buf[4] = {};
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_FALSE(port_.ConfigureLine());
    EXPECT_FALSE(port_.ReleaseRts());
    EXPECT_EQ(port_.Read(buf, sizeof(buf)), -1);
    EXPECT_EQ(port_.Write(buf, sizeof(buf)), -1);
    EXPECT_EQ(port_.QueuedInput(), 0u);
    EXPECT_EQ(port_.WaitForInput(), WaitResult::kVanished);
    EXPECT_FALSE(port_.CarrierDetect());
    port_.SetRts(true);
    port_.Purge(true, true);

    // Reopened, the cancel Close left behind does not end the first wait.
    ASSERT_TRUE(port_.Open(path_));
    FarEndSends({0x01});
    EXPECT_EQ(port_.WaitForInput(), WaitResult::kInput);
}

TEST_F(PtyPortTest, WriteToAFarEndThatNeverReadsGivesUp) {
    const Bytes big(1 << 20, 0x55);
    const auto start = SteadyClock::now();
    const long taken = port_.Write(big.data(), big.size());
    EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_GT(taken, 0);
    EXPECT_LT(taken, static_cast<long>(big.size()));
}

TEST_F(PtyPortTest, PurgeDropsQueuedInput) {
    FarEndSends({0x01, 0x02, 0x03});
    platform::Sleep(20);
    port_.Purge(true, false);
    EXPECT_EQ(port_.QueuedInput(), 0u);
    FarEndSends({0x04});
    EXPECT_EQ(PortReceives(1), Bytes{0x04});
}

// The link's threads: a receive thread waiting and reading while another
// writes, moves the lines and finally cancels, joins and closes.
TEST_F(PtyPortTest, ReceiveThreadAndWriterShareThePort) {
    constexpr size_t kCount = 2000;
    std::atomic<bool> running{true};
    std::atomic<size_t> count{0};
    Bytes received;
    std::thread receiver([&] {
        while (running) {
            const WaitResult r = port_.WaitForInput();
            if (r == WaitResult::kVanished) break;
            if (r == WaitResult::kCancelled) continue;
            uint8_t buf[50];
            const long n = port_.Read(buf, std::min(sizeof(buf), port_.QueuedInput()));
            if (n > 0) received.insert(received.end(), buf, buf + n);
            count = received.size();
        }
    });
    std::thread farEnd([&] {
        for (size_t i = 0; i < kCount; ++i) {
            const uint8_t b = static_cast<uint8_t>(i);
            ASSERT_EQ(::write(master_, &b, 1), 1);
        }
    });
    const uint8_t frame[] = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    for (int i = 0; i < 50; ++i) {
        port_.SetRts(true);
        EXPECT_EQ(port_.Write(frame, sizeof(frame)), static_cast<long>(sizeof(frame)));
        port_.SetRts(false);
        (void)port_.CarrierDetect();
    }
    farEnd.join();
    EXPECT_EQ(FarEndReceives(50 * sizeof(frame)).size(), 50 * sizeof(frame));
    const auto end = SteadyClock::now() + std::chrono::seconds(3);
    while (count < kCount && SteadyClock::now() < end) platform::Sleep(5);
    running = false;
    port_.CancelWait();
    receiver.join();
    port_.Close();
    ASSERT_EQ(received.size(), kCount);
    for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(received[i], static_cast<uint8_t>(i)) << i;
}

// Why an open failed, from real files. Each open runs on a thread of its
// own so that one that blocks fails the test instead of hanging it.
class OpenFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "open-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The reason Open gives, or nullopt when it opened or did not return.
    static std::optional<OpenError> OpenFails(const std::string& device) {
        auto result = std::async(std::launch::async, [device] {
            PosixPort port;
            return port.Open(device) ? OpenError::kNone : port.LastOpenError();
        });
        if (result.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            ADD_FAILURE() << "opening " << device << " blocked";
            std::abort();  // the thread cannot be cut loose
        }
        const OpenError e = result.get();
        if (e == OpenError::kNone) return std::nullopt;
        return e;
    }

    std::string dir_;
};

TEST_F(OpenFailureTest, NoSuchDevice) {
    EXPECT_EQ(OpenFails(dir_ + "/ttyUSB9"), OpenError::kNoSuchDevice);
    EXPECT_EQ(OpenFails(dir_ + "/missing/ttyUSB9"), OpenError::kNoSuchDevice);
    ASSERT_EQ(::symlink("/nonexistent/tty", (dir_ + "/COM7").c_str()), 0);
    EXPECT_EQ(OpenFails(dir_ + "/COM7"), OpenError::kNoSuchDevice) << "a dangling port entry";
}

TEST_F(OpenFailureTest, InUseByAnotherOpener) {
    int master = -1, slave = -1;
    std::string path;
    ASSERT_TRUE(OpenPty(&master, &path, &slave));
    PosixPort first;
    ASSERT_TRUE(first.Open(path));
    EXPECT_EQ(OpenFails(path), OpenError::kInUse);
    EXPECT_FALSE(first.Open(path));
    EXPECT_EQ(first.LastOpenError(), OpenError::kInUse) << "already open";
    first.Close();
    EXPECT_EQ(OpenFails(path), std::nullopt) << "free again once closed";
    ::close(slave);
    ::close(master);
}

// A terminal the user may not open: mode 000, opened by the user nobody in
// a child (root may open anything).
TEST_F(OpenFailureTest, PermissionDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    int master = -1, slave = -1;
    std::string path;
    ASSERT_TRUE(OpenPty(&master, &path, &slave));
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(5);
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) {
            ::_exit(100);
        }
        PosixPort port;
        ::_exit(port.Open(path) ? 101 : static_cast<int>(port.LastOpenError()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(slave);
    ::close(master);
    ASSERT_TRUE(WIFEXITED(status)) << "the open blocked";
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(OpenError::kPermissionDenied))
        << "100: setup, 101: opened";
}

// Nothing that is not a terminal is taken for a port, and none of them
// blocks the open: not a FIFO nobody writes to, nor a folder.
TEST_F(OpenFailureTest, NotASerialPort) {
    const std::string file = dir_ + "/file";
    std::ofstream(file) << "text";
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    const std::string folder = dir_ + "/folder";
    std::filesystem::create_directory(folder);
    ASSERT_EQ(::symlink(fifo.c_str(), (dir_ + "/COM3").c_str()), 0);
    for (const std::string& device : {file, fifo, folder, std::string("/dev/null"), dir_ + "/COM3"})
        EXPECT_EQ(OpenFails(device), OpenError::kNotSerialPort) << device;
    EXPECT_EQ(PosixPort().Probe(file), OpenError::kNotSerialPort);
    EXPECT_EQ(PosixPort().Probe(fifo), OpenError::kNotSerialPort);
    std::ifstream in(file);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "text") << "the file was written to";
}

class PortDevicePathTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ports-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        ::unsetenv("TARVOK_PORTS_DIR");
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

TEST_F(PortDevicePathTest, PortsDirectoryEntryWinsAndOpens) {
    int master = -1, slave = -1;
    std::string name;
    ASSERT_TRUE(OpenPty(&master, &name, &slave));
    ASSERT_EQ(::symlink(name.c_str(), (dir_ + "/COM5").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/tty", (dir_ + "/COM7").c_str()), 0);
    ::setenv("TARVOK_PORTS_DIR", dir_.c_str(), 1);

    EXPECT_EQ(PortDevicePath(5), dir_ + "/COM5");
    EXPECT_EQ(PortDevicePath(7), dir_ + "/COM7");  // named, even though it leads nowhere
    EXPECT_EQ(PortDevicePath(6), "/dev/ttyS5");
    PosixPort port;
    EXPECT_TRUE(port.Open(PortDevicePath(5)));
    EXPECT_FALSE(PosixPort().Open(PortDevicePath(7)));
    port.Close();
    ::close(master);
    ::close(slave);
}

TEST_F(PortDevicePathTest, NumbersMapToTheSystemTtys) {
    ::setenv("TARVOK_PORTS_DIR", dir_.c_str(), 1);  // empty: no overrides
    EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath(32), "/dev/ttyS31");
    EXPECT_EQ(PortDevicePath(33), "/dev/ttyUSB0");
    EXPECT_EQ(PortDevicePath(64), "/dev/ttyUSB31");
    EXPECT_EQ(PortDevicePath(65), "/dev/ttyACM0");
    EXPECT_EQ(PortDevicePath(96), "/dev/ttyACM31");
    EXPECT_EQ(PortDevicePath(97), "");
    EXPECT_EQ(PortDevicePath(0), "");
    EXPECT_EQ(PortDevicePath(-3), "");
}

TEST_F(PortDevicePathTest, WithoutTheVariableLooksBesideTheExecutable) {
    ::unsetenv("TARVOK_PORTS_DIR");
    const std::string ports = platform::ExecutableDirectory() + "/ports";
    ASSERT_FALSE(std::filesystem::exists(ports)) << "leftover " << ports;
    std::filesystem::create_directory(ports);
    ASSERT_EQ(::symlink("/dev/null", (ports + "/COM40").c_str()), 0);
    const std::string found = PortDevicePath(40);
    const std::string fallback = PortDevicePath(41);
    std::filesystem::remove_all(ports);
    EXPECT_EQ(found, ports + "/COM40");
    EXPECT_EQ(fallback, "/dev/ttyUSB8");
}

}  // namespace
}  // namespace serial
