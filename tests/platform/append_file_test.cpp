// The file a log appends to: only a regular file is opened, and what the
// log asks of it (size, last byte, append, cut back) on a real one.
#include "platform/append_file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

class AppendFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tarvok-append-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
};

// Nothing but a regular file is opened, and the caller learns what is
// there instead; a FIFO nobody reads is refused at once, not waited on.
TEST_F(AppendFileTest, RefusesWhatIsNoRegularFileAndSaysWhatItIs) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink("/dev/null", dir / "null");
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir / "socket").c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::pair<const char*, FileKind> cases[] = {{"fifo", FileKind::kFifo},
                                                      {"folder", FileKind::kFolder},
                                                      {"null", FileKind::kDevice},
                                                      {"socket", FileKind::kSocket}};
    for (const auto& [name, kind] : cases) {
        FileKind refused = FileKind::kRegular;
        std::string error = "untouched";
        EXPECT_EQ(OpenAppendFile((dir / name).string(), &refused, &error), nullptr) << name;
        EXPECT_EQ(refused, kind) << name;
        EXPECT_EQ(error, "untouched") << name << ": no system error to tell";
    }
    ::close(s);
    FileKind refused = FileKind::kMissing;
    std::string error;
    EXPECT_EQ(OpenAppendFile((dir / "none" / "log.csv").string(), &refused, &error), nullptr);
    EXPECT_EQ(refused, FileKind::kRegular);
    EXPECT_EQ(error, std::strerror(ENOENT));
}

TEST_F(AppendFileTest, AppendsAtTheEndWhoeverWroteLastAndCutsBack) {
    const fs::path path = dir / "log.csv";
    FileKind refused = FileKind::kMissing;
    std::string error;
    auto file = OpenAppendFile(path.string(), &refused, &error);
    ASSERT_NE(file, nullptr) << error;
    uint64_t size = 1;
    ASSERT_TRUE(file->Size(&size, &error));
    EXPECT_EQ(size, 0u) << "made when missing";
    EXPECT_EQ(file->Append("a,1\n", &error), 4u);
    std::ofstream(path, std::ios::app) << "b,2";  // another writer
    EXPECT_EQ(file->Append("c,3\n", &error), 4u);
    ASSERT_TRUE(file->Size(&size, &error));
    EXPECT_EQ(size, 11u);
    char byte = 0;
    ASSERT_TRUE(file->ReadByte(6, &byte, &error));
    EXPECT_EQ(byte, '2');
    EXPECT_FALSE(file->ReadByte(11, &byte, &error)) << "past the end";
    ASSERT_TRUE(file->Truncate(4, &error));
    EXPECT_EQ(file->Append("d,4\n", &error), 4u);
    file.reset();
    EXPECT_EQ(Read(path), "a,1\nd,4\n");
}

}  // namespace
}  // namespace platform
