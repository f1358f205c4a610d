// The passes of PictureFilter around the engine for converted samples, in AVX-512 vectors (x86
// builds, KORVANE_HAVE_CARRY_VECTORS; call them only where tier_runs_here(CpuTier::avx512)).
// Each works on whole runs of 96 samples (y, cb, cr, ...), whose low 4 bits are kept in 48
// bytes: byte j holds those of sample j in its low half and of sample j + 48 in its high half.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Per sample: its low 4 bits kept in `low`, `luma_by` added to luma with saturation, then the
// arithmetic shift right by 4.
void keep_low_and_prescale_avx512(std::int16_t* s, std::uint8_t* low, std::size_t runs,
                                  std::int16_t luma_by);
// Per sample: `luma_by` added to luma, then the kept low bits, both with saturation.
void move_and_add_low_avx512(std::int16_t* s, const std::uint8_t* low, std::size_t runs,
                             std::int16_t luma_by);

}  // namespace korvane
