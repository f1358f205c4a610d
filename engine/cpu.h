// Instruction-set tiers of the engine's kernels and the choice among them.
//
// Every tier gives bit-identical output; they differ only in speed. By default the engine uses
// the best tier that both this build and this CPU support ("auto"); a test, a benchmark or a
// user can pin a lower one.
#pragma once

#include <optional>
#include <string_view>

namespace korvane {

enum class CpuTier { scalar = 0, sse41 = 1, avx2 = 2, avx512 = 3 };

// "scalar", "sse4.1", "avx2", "avx512".
const char* tier_name(CpuTier tier);
// Accepts the names above; nullopt for anything else.
std::optional<CpuTier> parse_tier(std::string_view name);

// The best tier this build and this machine support.
CpuTier best_tier();
// Selects the kernels of `tier` (nullopt: the best). Returns false, and changes nothing, when
// the machine or the build lacks that tier. Not to be called while a frame is filtered.
bool select_tier(std::optional<CpuTier> tier);
// The tier whose kernels run now.
CpuTier active_tier();

}  // namespace korvane
