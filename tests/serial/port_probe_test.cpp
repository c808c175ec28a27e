// The port search against terminals that another program holds: a probe
// must leave them exactly as it found them. Pseudo-terminals have no modem
// lines, so this executable is linked with the modem-line shim, whose
// ioctl answers DTR and RTS for them in-process (and remembers them per
// device): what the probe does to the lines is then seen by the holder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "serial/port_factory.h"
#include "serial/posix_port.h"

namespace serial {
namespace {

constexpr int kPort = 5;
constexpr int kBothLines = TIOCM_DTR | TIOCM_RTS;

class PortProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        path_ = ::ptsname(master_);
        std::string pattern = (std::filesystem::temp_directory_path() / "probe-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::filesystem::create_symlink(path_, dir_ + "/COM" + std::to_string(kPort));
        ::setenv("TARVOK_PORTS_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (holder_ >= 0) ::close(holder_);
        ::close(master_);
        ::unsetenv("TARVOK_PORTS_DIR");
        std::filesystem::remove_all(dir_);
    }

    // Another program's open of the terminal, with both lines raised.
    void Hold() {
        holder_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(holder_, 0);
        int bits = kBothLines;
        ASSERT_EQ(::ioctl(holder_, TIOCMBIS, &bits), 0);
    }
    static int Lines(int fd) {
        int bits = 0;
        EXPECT_EQ(::ioctl(fd, TIOCMGET, &bits), 0);
        return bits & kBothLines;
    }
    static int Exclusive(int fd) {
        int on = -1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &on), 0);
        return on;
    }

    int master_ = -1;
    int holder_ = -1;
    std::string path_;
    std::string dir_;
};

// Root passes TIOCEXCL; the search must not, nor clear the flag on its way
// out, nor drop the holder's lines.
TEST_F(PortProbeTest, AnotherProgramsExclusiveUseSurvivesASearchRunAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can pass another holder's TIOCEXCL";
    Hold();
    ASSERT_EQ(::ioctl(holder_, TIOCEXCL), 0);
    EXPECT_FALSE(ProbePort(kPort)) << "a port held exclusively is not free";
    EXPECT_EQ(Exclusive(holder_), 1) << "the holder's exclusive use was cleared";
    EXPECT_EQ(Lines(holder_), kBothLines) << "the holder's lines were changed";
    // Opening it for real is refused the same way.
    PosixPort port;
    EXPECT_FALSE(port.Open(path_));
    EXPECT_EQ(port.LastOpenError(), OpenError::kInUse);
    EXPECT_EQ(Exclusive(holder_), 1);
    EXPECT_EQ(Lines(holder_), kBothLines);
}

// A holder that asked for nothing: the probe cannot tell it is there, but
// it opens and closes without touching the lines or the flag.
TEST_F(PortProbeTest, APlainHoldersLinesAreLeftAsTheyWere) {
    Hold();
    EXPECT_TRUE(ProbePort(kPort));
    EXPECT_EQ(Lines(holder_), kBothLines) << "the probe moved the holder's lines";
    EXPECT_EQ(Exclusive(holder_), 0) << "the probe left TIOCEXCL set";
    int lock = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(lock, 0);
    EXPECT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0) << "the probe left a lock";
    ::close(lock);
}

// This program's own port, as another instance of it holds it: locked,
// exclusive, lines as the link set them.
TEST_F(PortProbeTest, APortThisProgramHoldsIsNotFreeAndKeepsItsState) {
    Hold();  // first: the test's view of the terminal, before TIOCEXCL
    PosixPort held;
    ASSERT_TRUE(held.Open(path_));
    held.SetDtr(true);
    held.SetRts(true);
    ASSERT_EQ(Lines(holder_), kBothLines);
    EXPECT_FALSE(ProbePort(kPort));
    EXPECT_EQ(Lines(holder_), kBothLines);
    EXPECT_EQ(Exclusive(holder_), 1);
    held.Close();
    EXPECT_TRUE(ProbePort(kPort)) << "free once closed";
}

}  // namespace
}  // namespace serial
