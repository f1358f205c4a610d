// The jpeg-settings parasite read as GIMP 2.10 lays it out (gimp/jpeg_settings.h).
#include "gimp/jpeg_settings.h"

#include <gtest/gtest.h>

#include <vector>

#include "strength/strength.h"

namespace korvane::gimp {
namespace {

// A parasite of `components` components (sampling 1x1) and `tables` tables, table t holding
// steps base + t, base + t + 1, ... (big-endian).
std::vector<std::uint8_t> parasite(int quality, int components, int tables, int base = 300) {
    const std::size_t sampling = 2 * static_cast<std::size_t>(components);
    std::vector<std::uint8_t> d(4 + sampling + 128 * static_cast<std::size_t>(tables), 1);
    d[0] = 3;  // Y'CbCr
    d[1] = static_cast<std::uint8_t>(quality);
    d[2] = static_cast<std::uint8_t>(components);
    d[3] = static_cast<std::uint8_t>(tables);
    std::size_t at = 4 + sampling;
    for (int t = 0; t < tables; ++t)
        for (int i = 0; i < 64; ++i) {
            const int step = base + t + i;
            d[at++] = static_cast<std::uint8_t>(step >> 8);
            d[at++] = static_cast<std::uint8_t>(step & 0xFF);
        }
    return d;
}

TEST(JpegSettings, TableZeroIsLumaInRowMajorOrder) {
    const auto table = luma_table_of_jpeg_settings(parasite(19, 3, 2));
    ASSERT_TRUE(table);
    ASSERT_EQ(table->size(), 64u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ((*table)[static_cast<std::size_t>(i)], 300 + i);
}

TEST(JpegSettings, NoTablesMeansLibjpegsAtTheQuality) {
    const auto table = luma_table_of_jpeg_settings(parasite(50, 1, 0));
    ASSERT_TRUE(table);
    const auto libjpeg = libjpeg_luma_table(50);
    EXPECT_EQ(*table, std::vector<int>(libjpeg.begin(), libjpeg.end()));
}

TEST(JpegSettings, MalformedOrEmptyGivesNothing) {
    EXPECT_FALSE(luma_table_of_jpeg_settings({}));
    EXPECT_FALSE(luma_table_of_jpeg_settings(parasite(0, 3, 0)));    // no quality, no table
    EXPECT_FALSE(luma_table_of_jpeg_settings(parasite(101, 3, 0)));  // no libjpeg quality
    auto cut = parasite(20, 3, 2);
    cut.pop_back();  // the second table one byte short
    EXPECT_FALSE(luma_table_of_jpeg_settings(cut));
    auto few = parasite(20, 3, 0);
    few.pop_back();  // a sampling factor short
    EXPECT_FALSE(luma_table_of_jpeg_settings(few));
}

}  // namespace
}  // namespace korvane::gimp
