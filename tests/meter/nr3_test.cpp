#include "meter/nr3.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace meter {
namespace {

TEST(Nr3Test, NumbersInTheFormsMetersSend) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"+4.02130000E-03", 4.0213e-3},
        {"-4.02130000E-03", -4.0213e-3},
        {"4.0213e-3", 4.0213e-3},
        {"+1.0E+00", 1.0},
        {"1E3", 1000.0},
        {"-0.5", -0.5},
        {".5", 0.5},
        {"5.", 5.0},
        {"12", 12.0},
        {"  +4.02130000E-03\r\n", 4.0213e-3},
        {"\t-1.5e2 ", -150.0},
        {"1e-400", 0.0},  // too small for a double: zero, not garbage
    };
    for (const auto& c : cases) {
        const Number n = ParseNumber(c.text);
        EXPECT_EQ(n.kind, Number::kValue) << c.text;
        EXPECT_DOUBLE_EQ(n.value, c.value) << c.text;
    }
}

TEST(Nr3Test, TheOverRangeMarkAndBeyondAreOverloads) {
    for (const char* text :
         {"9.9E37", "+9.90000000E+37", "-9.9E37", "9.91E37", "1e400", "-1e400"}) {
        const Number n = ParseNumber(text);
        EXPECT_EQ(n.kind, Number::kOverload) << text;
    }
    EXPECT_LT(ParseNumber("-9.9E37").value, 0.0);
    // Just below the mark is a (huge) value.
    EXPECT_EQ(ParseNumber("9.89E37").kind, Number::kValue);
}

TEST(Nr3Test, AnythingElseIsNoNumber) {
    for (const char* text :
         {"",        "   ",  "\r\n", "ERR",   "1.2.3",    "NaN",      "nan", "NAN",
          "INF",     "-inf", "+",    "-",     ".",        "E5",       "1e",  "1e+",
          "1,2",     "1 2",  "+-1",  "0x1p3", "4.0E-03A", "4.0E-03,", "--1", "+4.0E-03\n+4.1E-03",
          "9.9E37 9"}) {
        EXPECT_EQ(ParseNumber(text).kind, Number::kNotANumber) << '"' << text << '"';
    }
}

// The window runs with the user's locale, whose decimal point may be a comma.
TEST(Nr3Test, DecimalCommaLocaleChangesNothing) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    bool changed = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"})
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            changed = true;
            break;
        }
    if (!changed) GTEST_SKIP() << "no locale with a decimal comma installed";
    const Number point = ParseNumber("+4.02130000E-03");
    const Number comma = ParseNumber("4,0213E-03");
    std::setlocale(LC_NUMERIC, before.c_str());
    EXPECT_EQ(point.kind, Number::kValue);
    EXPECT_DOUBLE_EQ(point.value, 4.0213e-3);
    EXPECT_EQ(comma.kind, Number::kNotANumber);
}

}  // namespace
}  // namespace meter
