// com.ini as the window reads and writes it.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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

// com.ini as users leave it: a FIFO in its place is no port at once (start-up
// must not wait on it), a read-only one is a failed save and stays, and a
// link (dangling or not) is written through and stays a link.
TEST_F(Settings, FifoReadOnlyFileAndLinksAsComIni) {
    ASSERT_EQ(::mkfifo(m_ini.c_str(), 0644), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(5);  // a blocked read ends the child with SIGALRM
        ::_exit(ReadPortSetting(m_ini) == 0 && SavePortSetting({m_ini, false}, 4) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "blocked on the FIFO";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::is_fifo(m_ini));
    fs::remove(m_ini);

    Write("[CONFIG]\nCOM=3\n");
    ASSERT_EQ(::chmod(m_ini.c_str(), 0444), 0);
    EXPECT_EQ(SavePortSetting({m_ini, false}, 5), 0);
    EXPECT_EQ(ReadPortSetting(m_ini), 3);
    fs::remove(m_ini);

    const fs::path target = m_dir / "kept" / "com.ini";
    fs::create_directory(target.parent_path());
    fs::create_symlink(target, m_ini);
    ASSERT_NE(SavePortSetting({m_ini, false}, 6), 0);
    EXPECT_TRUE(fs::is_symlink(m_ini));
    EXPECT_EQ(ReadPortSetting(target.string()), 6);
    ASSERT_NE(SavePortSetting({m_ini, false}, 7), 0);
    EXPECT_TRUE(fs::is_symlink(m_ini));
    EXPECT_EQ(ReadPortSetting(m_ini), 7);
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

// An environment variable set (or unset) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST_F(Settings, APortableFolderIsWritableByTheRealUserAndNoInstalledProgramsFolder) {
    EXPECT_TRUE(IsPortableFolder(m_dir.string() + "/"));
    // Root may write these, but an installed copy there is not a portable one.
    for (const char* system : {"/usr/bin/", "/usr/local/bin", "/bin/", "/sbin"})
        EXPECT_FALSE(IsPortableFolder(system)) << system;
    fs::create_directory_symlink("/usr/bin", m_dir / "linked");
    EXPECT_FALSE(IsPortableFolder((m_dir / "linked").string() + "/")) << "followed to /usr/bin";

    // A folder the user running the program cannot write, as that user: as
    // root, in a child that has become nobody.
    fs::permissions(m_dir, fs::perms(0755));
    const fs::path readOnly = m_dir / "read-only";
    const fs::path writable = m_dir / "writable";
    fs::create_directory(readOnly);
    fs::create_directory(writable);
    fs::permissions(readOnly, fs::perms(0555));
    fs::permissions(writable, fs::perms(0777));
    const auto probe = [&] {
        return (IsPortableFolder(readOnly.string() + "/") ? 1 : 0) |
               (IsPortableFolder(writable.string() + "/") ? 2 : 0);
    };
    int seen = 0;
    if (::geteuid() != 0) {
        seen = probe();
    } else {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
            ::_exit(probe());
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        seen = WEXITSTATUS(status);
    }
    EXPECT_EQ(seen, 2) << "read-only folder not portable, writable one portable";
}

TEST(UserSettingsFolder, XdgConfigHomeThenHomeThenTheAccountsHome) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/srv/cfg/");
        EXPECT_EQ(UserSettingsFolder(), "/srv/cfg/tarvok/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");  // invalid: ignored
        ScopedEnv home("HOME", "/home/op");
        EXPECT_EQ(UserSettingsFolder(), "/home/op/.config/tarvok/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "");
        ScopedEnv home("HOME", nullptr);
        const std::string folder = UserSettingsFolder();
        ASSERT_FALSE(folder.empty()) << "the account's home";
        EXPECT_EQ(folder.front(), '/');
        EXPECT_EQ(folder.substr(folder.size() - 16), "/.config/tarvok/");
    }
}

TEST_F(Settings, AnInstalledCopyKeepsItsFileInTheUsersFolderMadeByTheFirstSave) {
    const fs::path config = m_dir / "home" / ".config";
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());

    const SettingsLocation portable = LocateSettings(m_dir.string() + "/");
    EXPECT_EQ(portable.path, m_ini);
    EXPECT_FALSE(portable.userFolder);
    // Beside the program nothing is made: a missing folder is a failed save.
    EXPECT_EQ(SavePortSetting({(m_dir / "gone" / "com.ini").string(), false}, 3), 0);
    EXPECT_FALSE(fs::exists(m_dir / "gone"));

    const SettingsLocation installed = LocateSettings("/usr/bin/");
    EXPECT_EQ(installed.path, (config / "tarvok" / "com.ini").string());
    EXPECT_TRUE(installed.userFolder);
    EXPECT_EQ(ReadPortSetting(installed.path), 0) << "nothing made before a save";
    EXPECT_FALSE(fs::exists(config));

    ASSERT_NE(SavePortSetting(installed, 7), 0);
    EXPECT_EQ(fs::status(config / "tarvok").permissions() & fs::perms::all, fs::perms(0700));
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all, fs::perms(0700));
    ASSERT_NE(SavePortSetting(installed, 12), 0);
    EXPECT_EQ(ReadPortSetting(installed.path), 12);
    EXPECT_FALSE(fs::exists("/usr/bin/com.ini"));

    // A folder that cannot be made (a file stands in its way) fails the save.
    std::ofstream(m_dir / "blocked") << "x";
    ScopedEnv blocked("XDG_CONFIG_HOME", (m_dir / "blocked").c_str());
    EXPECT_EQ(SavePortSetting(LocateSettings("/usr/bin/"), 3), 0);
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
