// A meter's numeric answer (SCPI NR1/NR2/NR3: "+4.02130000E-03"), read
// independently of the C locale, which the window sets from the user's.
#pragma once

#include <string_view>

namespace meter {

struct Number {
    enum Kind {
        kValue,     // value holds it
        kOverload,  // |value| >= 9.9E37: the meter's over-range mark
        kNotANumber,
    };
    Kind kind = kNotANumber;
    double value = 0.0;
};

// Blanks (space, tab, CR, LF) around the number are allowed; anything else
// (a second number, "NAN", "INF", hexadecimal, an empty line) is no number.
Number ParseNumber(std::string_view text);

inline constexpr double kOverloadMark = 9.9e37;

}  // namespace meter
