// The file a log appends to: what the log asks of it (size, last byte,
// append, cut back) on a real one. What it refuses is the log's test.
#include "platform/append_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
