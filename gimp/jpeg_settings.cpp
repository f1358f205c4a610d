#include "gimp/jpeg_settings.h"

#include "strength/strength.h"

namespace korvane::gimp {

std::optional<std::vector<int>> luma_table_of_jpeg_settings(std::span<const std::uint8_t> data) {
    if (data.size() < 4) return std::nullopt;
    const int quality = data[1];
    const std::size_t components = data[2], tables = data[3];
    const std::size_t first_table = 4 + 2 * components;
    if (data.size() < first_table + tables * 128) return std::nullopt;
    if (tables > 0) {
        std::vector<int> luma(64);
        for (std::size_t i = 0; i < 64; ++i)
            luma[i] = data[first_table + 2 * i] << 8 | data[first_table + 2 * i + 1];
        return luma;
    }
    if (quality < 1 || quality > 100) return std::nullopt;
    const auto table = libjpeg_luma_table(quality);
    return std::vector<int>(table.begin(), table.end());
}

}  // namespace korvane::gimp
