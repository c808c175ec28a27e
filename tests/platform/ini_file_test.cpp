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
#include <filesystem>
#include <fstream>
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
