// com.ini as the window reads and writes it.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/exe_dir.h"

namespace app {
namespace {

namespace fs = std::filesystem;

class Settings : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "settings_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_ini = (m_dir / "com.ini").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }
    void Write(const std::string& text) { std::ofstream(m_ini, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(m_ini, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path m_dir;
    std::string m_ini;
};

TEST_F(Settings, PortNumberIsReadAsAtoiReadsItAndKeptFrom1To255) {
    EXPECT_EQ(ReadSetting("CONFIG", "COM", m_ini), "");
    EXPECT_EQ(ReadPortSetting(m_ini), 0) << "missing file";
    const struct {
        const char* value;
        int port;
    } cases[] = {
        {"3", 3},     {"0", 0},           {"256", 0},   {"abc", 0}, {"", 0},
        {" 7", 7},    {"7x", 7},          {"255", 255}, {"-3", 0},  {"+5", 5},
        {"\t12", 12}, {"99999999999", 0}, {"1 2", 1},
    };
    for (const auto& c : cases) {
        Write(std::string("[CONFIG]\r\nCOM=") + c.value + "\r\n");
        EXPECT_EQ(ReadPortSetting(m_ini), c.port) << "COM=" << c.value;
    }
    Write("[OTHER]\nCOM=3\n");
    EXPECT_EQ(ReadPortSetting(m_ini), 0) << "missing section";
    Write("[config]\ncom = 9\n");
    EXPECT_EQ(ReadPortSetting(m_ini), 9) << "names in another case";
}

TEST_F(Settings, FirstSaveCreatesTheFileAndLaterSavesKeepOtherEntries) {
    ASSERT_NE(WritePortSetting(m_ini, 3), 0);
    EXPECT_EQ(Read(), "[CONFIG]\nCOM=3\n");

    Write("; site notes\r\n[Site]\r\nName=bench 2\r\n\r\n[Config]\r\nCom=3\r\nBaud=1200\r\n");
    ASSERT_NE(WritePortSetting(m_ini, 12), 0);
    EXPECT_EQ(Read(),
              "; site notes\r\n[Site]\r\nName=bench 2\r\n\r\n[Config]\r\nCom=12\r\nBaud=1200\r\n");
    EXPECT_EQ(ReadPortSetting(m_ini), 12);
}

TEST_F(Settings, FailedSaveIsReported) {
    const std::string unreachable = (m_dir / "no such dir" / "com.ini").string();
    EXPECT_EQ(WriteSetting("CONFIG", "COM", unreachable, "3"), 0);
    EXPECT_EQ(WritePortSetting(unreachable, 3), 0);
    // A name that the file cannot hold is a failed save too, not a silent one.
    EXPECT_EQ(WriteSetting("CONFIG", "COM", m_ini, "3\n[X]"), 0);
    EXPECT_FALSE(fs::exists(m_ini));
}

TEST_F(Settings, ReadSettingTruncatesTo1023BytesThenTurnsBackslashNIntoNewlines) {
    Write("[S]\nk=line 1\\nline 2\\\\n\n");
    EXPECT_EQ(ReadSetting("S", "k", m_ini), "line 1\nline 2\\\n");

    // The pair that straddles the 1023rd byte is cut before it is replaced.
    const std::string head(1022, 'a');
    Write("[S]\nk=" + head + "\\n" + "tail\n");
    const std::string value = ReadSetting("S", "k", m_ini);
    EXPECT_EQ(value.size(), 1023u);
    EXPECT_EQ(value, head + "\\");
}

TEST(AppDirectory, IsTheExecutablesDirectoryWithItsSeparator) {
    const std::string dir = GetAppDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir, platform::ExecutableDirectory() + "/");
    EXPECT_TRUE(fs::exists(dir + "app_tests"));
}

}  // namespace
}  // namespace app
