// The INI file on a POSIX disk: saves that are all-or-nothing, keep the
// file's permissions and links, and fail cleanly where they cannot write.
#include "platform/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace platform {
namespace {

namespace fs = std::filesystem;

class IniFile : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ini_file_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        ::chmod(m_dir.c_str(), 0755);
        m_path = (m_dir / "com.ini").string();
    }
    void TearDown() override {
        ::chmod(m_dir.c_str(), 0755);
        fs::remove_all(m_dir);
    }
    void WriteRaw(const std::string& text) { std::ofstream(m_path, std::ios::binary) << text; }
    std::string ReadRaw() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    size_t EntriesInDir() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(m_dir), {}));
    }

    fs::path m_dir;
    std::string m_path;
};

TEST_F(IniFile, MissingFileReadsEmptyAndTheFirstSaveCreatesIt) {
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), std::nullopt);
    ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", "7"));
    EXPECT_EQ(ReadRaw(), "[CONFIG]\nCOM=7\n");
    EXPECT_EQ(ReadIniValue(m_path, "config", "com"), "7");
    EXPECT_EQ(EntriesInDir(), 1u) << "a temporary file was left behind";
}

TEST_F(IniFile, SaveReplacesTheFileAndKeepsItsPermissions) {
    WriteRaw("[CONFIG]\nCOM=1\n");
    ASSERT_EQ(::chmod(m_path.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat(m_path.c_str(), &before), 0);
    ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", "2"));
    struct stat after {};
    ASSERT_EQ(::stat(m_path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "written in place, not renamed over";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadRaw(), "[CONFIG]\nCOM=2\n");
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(IniFile, SaveThroughASymlinkReplacesTheFileItNames) {
    const fs::path real = m_dir / "real.ini";
    std::ofstream(real, std::ios::binary) << "[CONFIG]\nCOM=1\n";
    fs::create_symlink(real, m_path);
    ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", "6"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_EQ(ReadIniValue(real.string(), "CONFIG", "COM"), "6");
}

// Saves through links: each link is followed to the file it names, which is
// written beside itself; the links stay links.
TEST_F(IniFile, SaveThroughLinksWritesTheTargetAndKeepsTheLinks) {
    const fs::path other = m_dir / "elsewhere";
    fs::create_directory(other);
    // A chain of two, the second relative to its own folder.
    const fs::path real = other / "real.ini";
    std::ofstream(real, std::ios::binary) << "[CONFIG]\nCOM=1\n";
    fs::create_symlink("real.ini", other / "hop.ini");
    fs::create_symlink(other / "hop.ini", m_path);
    ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", "2"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_TRUE(fs::is_symlink(other / "hop.ini"));
    EXPECT_EQ(ReadIniValue(real.string(), "CONFIG", "COM"), "2");
    EXPECT_EQ(EntriesInDir(), 2u) << "com.ini and the folder, no temporary file";
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(other), {})), 2u);
}

TEST_F(IniFile, SaveThroughADanglingLinkCreatesItsTarget) {
    const fs::path target = m_dir / "sub" / "target.ini";
    fs::create_directory(m_dir / "sub");
    fs::create_symlink("sub/target.ini", m_path);
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), std::nullopt);
    ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", "5"));
    ASSERT_TRUE(fs::is_symlink(m_path)) << "the link itself was replaced";
    EXPECT_EQ(fs::read_symlink(m_path), "sub/target.ini");
    EXPECT_EQ(ReadIniValue(target.string(), "CONFIG", "COM"), "5");
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), "5");

    // A link into a folder that does not exist cannot be written through.
    fs::remove(m_path);
    fs::create_symlink(m_dir / "missing" / "target.ini", m_path);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "6"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    // Nor a loop.
    fs::remove(m_path);
    fs::create_symlink("loop.ini", m_path);
    fs::create_symlink("com.ini", m_dir / "loop.ini");
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "7"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_TRUE(fs::is_symlink(m_dir / "loop.ini"));
}

// A file without any write permission is kept, even by root (who may write
// anything) and although its folder would let a rename replace it.
TEST_F(IniFile, AReadOnlyFileFailsTheSaveAndIsKept) {
    WriteRaw("[CONFIG]\nCOM=3\n");
    ASSERT_EQ(::chmod(m_path.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(::stat(m_path.c_str(), &before), 0);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "4"));
    struct stat after {};
    ASSERT_EQ(::stat(m_path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    EXPECT_EQ(ReadRaw(), "[CONFIG]\nCOM=3\n");
    EXPECT_EQ(EntriesInDir(), 1u);

    // Read-only behind a link: the target is kept, and so is the link.
    const fs::path real = m_dir / "real.ini";
    fs::rename(m_path, real);
    fs::create_symlink(real, m_path);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "4"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_EQ(ReadIniValue(real.string(), "CONFIG", "COM"), "3");
}

// Someone else's file in a folder everyone may write: the user who cannot
// write the file does not get to replace it.
TEST_F(IniFile, AFileTheUserCannotWriteIsKeptInAWritableFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another user";
    WriteRaw("[CONFIG]\nCOM=3\n");
    ASSERT_EQ(::chmod(m_path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0777), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) {
            ::_exit(3);
        }
        ::_exit(WriteIniValue(m_path, "CONFIG", "COM", "4") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: save reported success, 3: setup";
    EXPECT_EQ(ReadRaw(), "[CONFIG]\nCOM=3\n");
    struct stat st {};
    ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "replaced by the other user's copy";
}

// A FIFO, a device or a folder in the file's place reads as empty at once
// (a FIFO would block a reader until someone writes to it) and is never
// replaced.
TEST_F(IniFile, AnythingButARegularFileReadsAsEmptyWithoutBlocking) {
    ASSERT_EQ(::mkfifo(m_path.c_str(), 0644), 0);
    auto read =
        std::async(std::launch::async, [&] { return ReadIniValue(m_path, "CONFIG", "COM"); });
    if (read.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        // Let the blocked reader go before failing.
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        read.wait();
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_EQ(read.get(), std::nullopt);
    auto write =
        std::async(std::launch::async, [&] { return WriteIniValue(m_path, "CONFIG", "COM", "4"); });
    if (write.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        write.wait();
        FAIL() << "saving over a FIFO blocked";
    }
    EXPECT_FALSE(write.get());
    EXPECT_TRUE(fs::is_fifo(m_path));

    // Devices, reached through a link as a user might have made it.
    fs::remove(m_path);
    fs::create_symlink("/dev/zero", m_path);
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), std::nullopt);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "4"));
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_TRUE(fs::is_character_file("/dev/zero"));
}

// A reader running beside the saves sees the old or the new file, never a
// shortened one.
TEST_F(IniFile, ConcurrentReaderNeverSeesAHalfWrittenFile) {
    std::string big = "[CONFIG]\nCOM=0\n[BIG]\n";
    for (int i = 0; i < 4000; ++i) big += "key" + std::to_string(i) + "=some value\n";
    WriteRaw(big);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const auto last = ReadIniValue(m_path, "BIG", "key3999");
            if (last != "some value") torn.fetch_add(1);
        }
    });
    for (int i = 1; i <= 40; ++i) {
        ASSERT_TRUE(WriteIniValue(m_path, "CONFIG", "COM", std::to_string(i)));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), "40");
}

TEST_F(IniFile, OversizedFileReadsAsMissingAndIsNeverRewritten) {
    std::string big = "[CONFIG]\nCOM=3\n";
    big.resize(kMaxIniFileSize + 1, ';');
    WriteRaw(big);
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), std::nullopt);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "4"));
    EXPECT_EQ(ReadRaw(), big);
}

TEST_F(IniFile, UnusablePathsFailTheSave) {
    // The "file" is a directory: it cannot be read, so it is not replaced.
    fs::create_directory(m_path);
    EXPECT_EQ(ReadIniValue(m_path, "CONFIG", "COM"), std::nullopt);
    EXPECT_FALSE(WriteIniValue(m_path, "CONFIG", "COM", "4"));
    EXPECT_TRUE(fs::is_directory(m_path));
    // Its directory does not exist.
    EXPECT_FALSE(WriteIniValue((m_dir / "missing" / "com.ini").string(), "CONFIG", "COM", "4"));
    EXPECT_EQ(EntriesInDir(), 1u);
}

// The directory is read-only: the save fails and the old file stays as it
// was. Root ignores directory permissions, so the save runs in a child
// process that has given up root.
TEST_F(IniFile, ReadOnlyDirectoryFailsTheSaveAndKeepsTheOldFile) {
    WriteRaw("[CONFIG]\nCOM=3\n");
    ASSERT_EQ(::chmod(m_path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0) {
                ::_exit(3);
            }
        }
        const bool saved = WriteIniValue(m_path, "CONFIG", "COM", "4");
        const bool readable = ReadIniValue(m_path, "CONFIG", "COM") == "3";
        ::_exit(saved ? 1 : (readable ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: save reported success, 2: old value lost, 3: setup";
    EXPECT_EQ(ReadRaw(), "[CONFIG]\nCOM=3\n");
    EXPECT_EQ(EntriesInDir(), 1u);
}

}  // namespace
}  // namespace platform
