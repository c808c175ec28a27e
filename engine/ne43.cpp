#include "engine/ne43.h"

#include <cmath>

namespace engine {

Ne43Band Ne43BandOf(float ma) {
    // In microamps as the three decimals show them: a float times 1000 is
    // exact in a double, and nearbyint rounds ties to even as printf does.
    const double ua = std::nearbyint(static_cast<double>(ma) * 1000.0);
    if (!(ua >= 3600.0 && ua <= 21000.0)) return Ne43Band::kFault;
    if (ua < 3800.0) return Ne43Band::kUnder;
    if (ua > 20500.0) return Ne43Band::kOver;
    return Ne43Band::kOk;
}

const char* Ne43BandText(Ne43Band band) {
    switch (band) {
        case Ne43Band::kOk:
            return "ok";
        case Ne43Band::kUnder:
            return "under";
        case Ne43Band::kOver:
            return "over";
        case Ne43Band::kFault:
            return "fault";
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
