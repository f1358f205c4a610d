// A plug-in that is wrong in one chosen way (FAULT_...), or in none: it shows that
// korvane-host32 notices each kind of fault it claims to check. Its callback filters nothing.
#include <cstdint>
#include <cstring>

namespace {

using Worker = void (*)(std::int32_t, std::int32_t, void*, void*);
using RunOnAllThreads = std::int32_t (*)(Worker, void*, void*);

std::uint32_t word(const void* record, std::uint32_t byte_offset) {
    std::uint32_t v;
    std::memcpy(&v, static_cast<const unsigned char*>(record) + byte_offset, 4);
    return v;
}

// Compiled without a realigning stack boundary: an over-aligned local then lands wherever the
// caller's stack pointer leaves it.
[[maybe_unused]] bool stack_is_aligned() {
    alignas(16) volatile unsigned char probe[16];
    probe[0] = 0;
    // The compiler takes the alignment for granted; the empty asm hides the address from it.
    auto address = reinterpret_cast<std::uintptr_t>(&probe[0]);
    asm volatile("" : "+r"(address));
    return (address & 15u) == 0;
}

extern "C" void worker(std::int32_t, std::int32_t, void* param1, void*) {
#if defined(FAULT_STACK)
    if (!stack_is_aligned()) *static_cast<volatile std::int32_t*>(param1) = 0;
#else
    (void)param1;
#endif
}

#if defined(FAULT_STDCALL)
#define CALLBACK_CONVENTION __attribute__((stdcall))
#else
#define CALLBACK_CONVENTION
#endif

extern "C" CALLBACK_CONVENTION std::int32_t callback(void* state, void* frame) {
    const auto run =
        reinterpret_cast<RunOnAllThreads>(word(reinterpret_cast<void*>(word(state, 96)), 204));
    volatile std::int32_t ok = 1;
    run(&worker, const_cast<std::int32_t*>(&ok), nullptr);
#if defined(FAULT_STACK)
    if (!stack_is_aligned()) ok = 0;
#endif
#if defined(FAULT_GUARD)
    auto* pixels = reinterpret_cast<std::int16_t*>(word(frame, 4));
    const auto w = static_cast<std::int32_t>(word(frame, 12));
    pixels[w * 3] = static_cast<std::int16_t>(pixels[w * 3] + 1);  // first sample past the row
#elif defined(FAULT_RECORDS)
    *reinterpret_cast<std::int32_t*>(static_cast<unsigned char*>(frame) + 16) -= 1;
#else
    (void)frame;
#endif
    return ok;
}

const char kName[] = "Korvane for AviUtl DCT";
#if defined(FAULT_SHARED_TEXT)
const char* const kInformation = kName;
#else
const char kInformation[] = "Korvane for AviUtl DCT";
#endif
const char* track_names[4] = {"threshold", "quant", "n_shift", "zero_weight"};
std::int32_t defaults[4] = {24, 8, 4, 0};
std::int32_t minimums[4] = {0, 1, 1, 0};
#if defined(FAULT_MAXIMUM)
std::int32_t maximums[4] = {255, 255, 63, 64};
#else
std::int32_t maximums[4] = {255, 255, 64, 64};
#endif

struct Table {
    std::int32_t flags;
    std::int32_t unused_1_2[2];
    const char* name;
    std::int32_t track_count;
    const char** track_names;
    std::int32_t* defaults;
    std::int32_t* minimums;
    std::int32_t* maximums;
    std::int32_t check_count;
    void* check_arrays[2];
    void* callback;
    std::uint32_t words_13_20[8];
    const char* information;
    std::uint32_t words_22_34[13];
};
static_assert(sizeof(Table) == 140);

#if defined(FAULT_READ_ONLY_TABLE)
const
#endif
    Table table = {0x40000,
                   {},
                   kName,
                   4,
                   track_names,
                   defaults,
                   minimums,
                   maximums,
                   0,
                   {},
                   reinterpret_cast<void*>(&callback),
#if defined(FAULT_WORD_17)
                   {0, 0, 0, 0, 1, 0, 0, 0},
#else
               {},
#endif
                   kInformation,
                   {}};

}  // namespace

extern "C" const void* GetFilterTable() { return &table; }
