// The INI text model: lookup rules of the profile API and saves that touch
// one line only. Portable: these run in the Windows build too.
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(IniText, LookupIgnoresCaseAndBlanksAndTakesTheFirstMatch) {
    const IniText ini(
        "; settings\r\n"
        "orphan=1\r\n"
        "  [ Config ]  \r\n"
        "  com  =  7  \r\n"
        "Com=8\r\n"
        ";COM=9\r\n"
        "quoted=\"a b \"\r\n"
        "single='x'\r\n"
        "lone=\"\r\n"
        "bare\r\n"
        "[config]\r\n"
        "other=2\r\n");
    EXPECT_EQ(ini.Get("CONFIG", "COM"), "7");
    EXPECT_EQ(ini.Get(" config ", " Com "), "7");
    EXPECT_EQ(ini.Get("CONFIG", "quoted"), "a b ");
    EXPECT_EQ(ini.Get("CONFIG", "single"), "x");
    EXPECT_EQ(ini.Get("CONFIG", "lone"), "\"");
    EXPECT_EQ(ini.Get("CONFIG", "bare"), "");
    // Only the first section of a name is searched; keys before any section
    // and comments are no keys.
    EXPECT_EQ(ini.Get("CONFIG", "other"), std::nullopt);
    EXPECT_EQ(ini.Get("CONFIG", "orphan"), std::nullopt);
    EXPECT_EQ(ini.Get("CONFIG", ";COM"), std::nullopt);
    EXPECT_EQ(ini.Get("OTHER", "COM"), std::nullopt);
    EXPECT_EQ(ini.Get("", "COM"), std::nullopt);
    EXPECT_EQ(ini.Get("CONFIG", ""), std::nullopt);
}

TEST(IniText, ByteOrderMarkAndMissingLastLineEnd) {
    const IniText ini("\xEF\xBB\xBF[CONFIG]\nCOM=12");
    EXPECT_EQ(ini.Get("CONFIG", "COM"), "12");
}

// A new file takes the system's own line ends.
TEST(IniText, FirstSaveWritesSectionAndKey) {
#ifdef _WIN32
    const std::string end = "\r\n";
#else
    const std::string end = "\n";
#endif
    IniText ini;
    ASSERT_TRUE(ini.Set("CONFIG", "COM", "3"));
    EXPECT_EQ(ini.Text(), "[CONFIG]" + end + "COM=3" + end);
}

TEST(IniText, SaveChangesOnlyTheKeyLine) {
    const std::string before =
        "; written by hand\r\n"
        "[Other]\r\n"
        "Com = 1 ; not ours\r\n"
        "\r\n"
        "[config]\r\n"
        "   Com = 3   \r\n"
        "Extra=x\r\n";
    IniText ini(before);
    ASSERT_TRUE(ini.Set("CONFIG", "COM", "12"));
    EXPECT_EQ(ini.Text(),
              "; written by hand\r\n"
              "[Other]\r\n"
              "Com = 1 ; not ours\r\n"
              "\r\n"
              "[config]\r\n"
              "Com=12\r\n"
              "Extra=x\r\n");
}

TEST(IniText, NewKeyGoesToTheEndOfItsSectionBeforeTheBlankLines) {
    IniText ini("[CONFIG]\nA=1\n; note\n\n[NEXT]\nB=2\n");
    ASSERT_TRUE(ini.Set("config", "COM", "4"));
    EXPECT_EQ(ini.Text(), "[CONFIG]\nA=1\n; note\nCOM=4\n\n[NEXT]\nB=2\n");
}

TEST(IniText, NewSectionIsAppendedAfterABlankLineInTheFilesLineEnds) {
    IniText ini("[A]\r\nx=1");
    ASSERT_TRUE(ini.Set("CONFIG", "COM", "5"));
    EXPECT_EQ(ini.Text(), "[A]\r\nx=1\r\n\r\n[CONFIG]\r\nCOM=5\r\n");
    EXPECT_EQ(IniText(ini.Text()).Get("A", "x"), "1");
}

TEST(IniText, RefusesWhatTheFileCannotHold) {
    IniText ini("[CONFIG]\nCOM=1\n");
    EXPECT_FALSE(ini.Set("", "COM", "1"));
    EXPECT_FALSE(ini.Set("CONFIG", " ", "1"));
    EXPECT_FALSE(ini.Set("CONFIG", "A=B", "1"));
    EXPECT_FALSE(ini.Set("CONFIG", ";COM", "1"));
    EXPECT_FALSE(ini.Set("CONFIG", "[COM]", "1"));
    EXPECT_FALSE(ini.Set("CON\nFIG", "COM", "1"));
    EXPECT_FALSE(ini.Set("CONFIG", "COM", "1\r\n[EVIL]"));
    EXPECT_FALSE(ini.Set("CONFIG", "COM", std::string_view("1\0", 2)));
    EXPECT_EQ(ini.Text(), "[CONFIG]\nCOM=1\n");
}

// Garbage never crashes and never yields a value by accident.
TEST(IniText, BinaryGarbageReadsAsMissing) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) % 251));
    garbage += std::string(100, '\0');
    const IniText ini(garbage);
    EXPECT_EQ(ini.Get("CONFIG", "COM"), std::nullopt);
    IniText edited(garbage);
    ASSERT_TRUE(edited.Set("CONFIG", "COM", "9"));
    EXPECT_EQ(IniText(edited.Text()).Get("CONFIG", "COM"), "9");
    EXPECT_EQ(edited.Text().substr(0, garbage.size()), garbage);
}

}  // namespace
}  // namespace platform
