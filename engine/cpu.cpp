#include "engine/cpu.h"

namespace korvane {
namespace {

// Only the scalar kernels exist so far.
CpuTier g_active = CpuTier::scalar;

constexpr std::string_view kNames[] = {"scalar", "sse4.1", "avx2", "avx512"};

}  // namespace

const char* tier_name(CpuTier tier) { return kNames[static_cast<int>(tier)].data(); }

std::optional<CpuTier> parse_tier(std::string_view name) {
    for (int i = 0; i < 4; ++i)
        if (kNames[i] == name) return static_cast<CpuTier>(i);
    return std::nullopt;
}

CpuTier best_tier() { return CpuTier::scalar; }

bool select_tier(std::optional<CpuTier> tier) {
    const CpuTier want = tier.value_or(best_tier());
    if (static_cast<int>(want) > static_cast<int>(best_tier())) return false;
    g_active = want;
    return true;
}

CpuTier active_tier() { return g_active; }

}  // namespace korvane
