// What GIMP's JPEG loader keeps with an image it opened: the "jpeg-settings" parasite, which its
// exporter reads back to save the picture as it came. Layout, as found by loading JPEGs of known
// tables into GIMP 2.10.34 and dumping the parasite:
//   byte 0          the JPEG colour space (libjpeg's J_COLOR_SPACE: 1 gray, 3 Y'CbCr)
//   byte 1          the libjpeg quality GIMP estimated from the tables (0 when none)
//   byte 2          n, the number of components
//   byte 3          t, the number of quantisation tables kept
//   2 n bytes       each component's horizontal and vertical sampling factor
//   t x 64 x 2      the tables, 16-bit big-endian steps in row-major order of frequency
//                   (vertical, horizontal); table 0 is luma's
// A JPEG GIMP wrote at quality 50 came back with no tables (t = 0) and quality 50; one at 20 with
// its two tables and quality 19. So t = 0 stands for libjpeg's tables at the quality named.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvane::gimp {

// The luma quantisation table (64 steps, row-major) the parasite stands for, or nothing when
// it is malformed or names neither a table nor a quality.
std::optional<std::vector<int>> luma_table_of_jpeg_settings(std::span<const std::uint8_t> data);

}  // namespace korvane::gimp
