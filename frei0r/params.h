// The four settings as frei0r parameters: doubles in 0..1 laid linearly over each setting's
// range, 0 at its minimum and 1 at its maximum, rounded to the nearest setting (halves up).
#pragma once

#include <cmath>
#include <cstdint>

#include "engine/engine.h"

namespace korvane::frei0r {

// min + round(x * (max - min)), x clamped to 0..1. Not for NaN.
inline std::int32_t setting_from_param(Track t, double x) {
    const double c = x < 0 ? 0 : x > 1 ? 1 : x;
    const std::int32_t range = kTrackMax[t] - kTrackMin[t];
    return kTrackMin[t] + static_cast<std::int32_t>(std::floor(c * range + 0.5));
}

// The parameter that stands for `value`: setting_from_param gives `value` back.
inline double param_from_setting(Track t, std::int32_t value) {
    return static_cast<double>(value - kTrackMin[t]) / (kTrackMax[t] - kTrackMin[t]);
}

}  // namespace korvane::frei0r
