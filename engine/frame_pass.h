// The frame pass behind filter_frame: how a frame is cut into bands of rows, one per thread.
#pragma once

#include <cstdint>

namespace korvane {

// Bands of rows, one per thread up to one per 8 rows: band k is rows begin(k) .. end(k)-1. Every
// band but the last starts and ends on a multiple of 8 and holds at least 8 rows, so the 7 rows
// that its blocks reach below it lie inside the next band.
struct BandPlan {
    std::int32_t h = 0;
    std::int32_t bands = 0;

    BandPlan(std::int32_t height, std::int32_t threads);
    std::int32_t begin(std::int32_t band) const;
    std::int32_t end(std::int32_t band) const { return band + 1 == bands ? h : begin(band + 1); }
    // First scratch row of the band.
    std::int64_t scratch_offset(std::int32_t band) const;
};

}  // namespace korvane
