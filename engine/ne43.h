// The NAMUR NE 43 bands of a 4-20 mA loop current: what the scan, the
// overview and the trend say about a reading.
#pragma once

#include <string>
#include <vector>

namespace engine {

enum class Ne43Band {
    kOk,     // 3.8 to 20.5 mA: a measurement
    kUnder,  // 3.6 to below 3.8: below the range, still a signal
    kOver,   // above 20.5 to 21.0: above the range, still a signal
    kFault,  // below 3.6 or above 21.0: the transmitter signals a failure
};

// The band of a reading, judged on the reading as shown (three decimals),
// so that a value and the band printed beside it always agree.
Ne43Band Ne43BandOf(double milliamps);
// "ok", "under", "over", "fault".
const char* Ne43BandName(Ne43Band band);

struct Ne43Range {
    Ne43Band band;
    double low;
    double high;
};
// The bands from 0 to 24 mA, lowest first, for drawing.
const std::vector<Ne43Range>& Ne43Ranges();

}  // namespace engine
