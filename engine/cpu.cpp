// Tier detection: the CPU is asked once (CPUID for the instruction sets, XGETBV for whether the
// operating system saves the YMM and ZMM state that AVX2 and AVX-512 code leaves in the
// registers), and the answer is capped at the best tier this build has.
#include "engine/cpu.h"

#include <cstdint>
#include <cstdlib>

#include "engine/kernels.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define KORVANE_X86 1
#endif

namespace korvane {
namespace {

constexpr std::string_view kNames[] = {"scalar", "sse4.1", "avx2", "avx512"};

#ifdef KORVANE_X86
std::uint64_t read_xcr0() {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    // xgetbv with ecx = 0; spelled as bytes so that no -mxsave is needed.
    __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

CpuTier detect_tier() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return CpuTier::scalar;
    const bool ssse3 = (c >> 9) & 1;
    const bool sse41 = (c >> 19) & 1;
    const bool osxsave = (c >> 27) & 1;
    const bool avx = (c >> 28) & 1;
    if (!ssse3 || !sse41) return CpuTier::scalar;
    if (!osxsave || !avx) return CpuTier::sse41;
    const std::uint64_t xcr0 = read_xcr0();
    if ((xcr0 & 0x6) != 0x6) return CpuTier::sse41;  // XMM and YMM state
    unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf < 7) return CpuTier::sse41;
    __cpuid_count(7, 0, a, b, c, d);
    const bool avx2 = (b >> 5) & 1;
    const bool avx512f = (b >> 16) & 1;
    const bool avx512dq = (b >> 17) & 1;
    const bool avx512bw = (b >> 30) & 1;
    const bool avx512vl = (b >> 31) & 1;
    if (!avx2) return CpuTier::sse41;
    // Opmask, upper halves of ZMM0-15 and ZMM16-31.
    if ((xcr0 & 0xe0) != 0xe0 || !(avx512f && avx512dq && avx512bw && avx512vl))
        return CpuTier::avx2;
    return CpuTier::avx512;
}
#else
CpuTier detect_tier() { return CpuTier::scalar; }
#endif

}  // namespace

const char* tier_name(CpuTier tier) { return kNames[static_cast<int>(tier)].data(); }

std::optional<CpuTier> parse_tier(std::string_view name) {
    for (int i = 0; i < 4; ++i)
        if (kNames[i] == name) return static_cast<CpuTier>(i);
    return std::nullopt;
}

CpuTier best_tier() {
    // kernels_for stops at the best tier the build has.
    static const CpuTier best = kernels_for(detect_tier()).tier;
    return best;
}

bool tier_runs_here(CpuTier tier) {
    return static_cast<int>(tier) <= static_cast<int>(best_tier());
}

CpuTier plugin_tier() {
    if (const char* env = std::getenv("KORVANE_CPU")) {
        const std::optional<CpuTier> wanted = parse_tier(env);
        if (wanted && tier_runs_here(*wanted)) return *wanted;
    }
    return best_tier();
}

}  // namespace korvane
