#include "engine/ne43.h"

#include <cmath>

namespace engine {

Ne43Band Ne43BandOf(double milliamps) {
    const double shown = std::round(milliamps * 1000.0) / 1000.0;
    if (shown < 3.6 || shown > 21.0 || std::isnan(shown)) return Ne43Band::kFault;
    if (shown < 3.8) return Ne43Band::kUnder;
    if (shown > 20.5) return Ne43Band::kOver;
    return Ne43Band::kOk;
}

const char* Ne43BandName(Ne43Band band) {
    switch (band) {
        case Ne43Band::kOk:
            return "ok";
        case Ne43Band::kUnder:
            return "under";
        case Ne43Band::kOver:
            return "over";
        case Ne43Band::kFault:
            break;
    }
    return "fault";
}

const std::vector<Ne43Range>& Ne43Ranges() {
    static const std::vector<Ne43Range> ranges{
        {Ne43Band::kFault, 0.0, 3.6},  {Ne43Band::kUnder, 3.6, 3.8},   {Ne43Band::kOk, 3.8, 20.5},
        {Ne43Band::kOver, 20.5, 21.0}, {Ne43Band::kFault, 21.0, 24.0},
    };
    return ranges;
}

}  // namespace engine
