// The NE 43 band of a loop current: whether a 4-20 mA reading is a
// measurement, a signal just out of range, or a failure signal.
#pragma once

#include <vector>

namespace engine {

enum class Ne43Band {
    kOk,     // 3.8 to 20.5 mA: a measurement
    kUnder,  // 3.6 to below 3.8 mA: below the range
    kOver,   // above 20.5 to 21.0 mA: above the range
    kFault,  // below 3.6 or above 21.0 mA (or not a number): a failure signal
};

// The band of a reading as it is shown, rounded to three decimals: a reading
// shown as 3.600 is "under", whatever float lies behind it.
Ne43Band Ne43BandOf(float ma);

// "ok", "under", "over", "fault".
const char* Ne43BandText(Ne43Band band);

struct Ne43Range {
    Ne43Band band;
    double low;
    double high;
};
// The bands from 0 to 24 mA, lowest first, for drawing.
const std::vector<Ne43Range>& Ne43Ranges();

}  // namespace engine
