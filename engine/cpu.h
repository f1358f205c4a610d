// Instruction-set tiers of the engine's kernels, and what this machine runs.
//
// Every tier gives bit-identical output; they differ only in speed. Nothing here is chosen
// process-wide: whoever makes a filter asks kernels_for (engine/kernels.h) for the table of the
// tier it wants, best_tier() by default, and hands that table to the engine with every frame.
#pragma once

#include <optional>
#include <string_view>

namespace korvane {

enum class CpuTier { scalar = 0, sse41 = 1, avx2 = 2, avx512 = 3 };

// "scalar", "sse4.1", "avx2", "avx512".
const char* tier_name(CpuTier tier);
// Accepts the names above; nullopt for anything else.
std::optional<CpuTier> parse_tier(std::string_view name);

// The best tier that this build has and this machine runs: CPUID, and XGETBV for whether the
// operating system saves the YMM and ZMM state, asked once (a fact of the machine).
CpuTier best_tier();
// Whether kernels_for(tier) runs here (tier <= best_tier()).
bool tier_runs_here(CpuTier tier);

// The tier of the plug-ins, whose hosts give them no options of their own: best_tier(), or a
// lower tier that the environment variable KORVANE_CPU names (scalar, sse4.1, avx2, avx512). A
// name not known, "auto", or a tier this machine lacks gives best_tier(). Read each time a
// plug-in makes its filter; the engine itself never reads the environment.
CpuTier plugin_tier();

}  // namespace korvane
