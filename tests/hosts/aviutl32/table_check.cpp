#include "table_check.h"

#include <cstring>

namespace host32 {
namespace {

constexpr std::uint32_t kWords = 35;
constexpr char kFilterName[] = "Korvane for AviUtl DCT";
constexpr const char* kTrackNames[4] = {"threshold", "quant", "n_shift", "zero_weight"};
constexpr std::int32_t kDefaults[4] = {24, 8, 4, 0};
constexpr std::int32_t kMinimums[4] = {0, 1, 1, 0};
constexpr std::int32_t kMaximums[4] = {255, 255, 64, 64};

// Word offsets the host reads; every other word must be zero.
enum Word : std::uint32_t {
    kFlags = 0,
    kName = 3,
    kTrackCount = 4,
    kTrackNamesWord = 5,
    kTrackDefaults = 6,
    kTrackMinimums = 7,
    kTrackMaximums = 8,
    kCheckCount = 9,
    kCheckNames = 10,
    kCheckDefaults = 11,
    kCallback = 12,
    kInformation = 21,
};

std::uint32_t word_at(const unsigned char* base, std::uint32_t byte_offset) {
    std::uint32_t v;
    std::memcpy(&v, base + byte_offset, sizeof v);
    return v;
}

const unsigned char* as_pointer(std::uint32_t word) {
    return reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(word));
}

std::string hex(std::uint32_t v) {
    char buf[16];
    wsprintfA(buf, "0x%08X", v);
    return buf;
}

std::string at_word(std::uint32_t word) {
    return "word " + std::to_string(word) + " (byte offset " + std::to_string(word * 4) + ")";
}

enum class Storage { writable, read_only, executable };

// True if [p, p + size) lies inside the plug-in's image in pages of the given kind.
bool lies_in(HMODULE module, const void* p, std::size_t size, Storage kind) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (const unsigned char* q : {bytes, bytes + (size ? size - 1 : 0)}) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(q, &info, sizeof info) != sizeof info) return false;
        if (info.AllocationBase != static_cast<void*>(module) || info.State != MEM_COMMIT)
            return false;
        const DWORD prot = info.Protect & 0xFFu;
        bool ok = false;
        switch (kind) {
            case Storage::writable:
                ok = prot == PAGE_READWRITE || prot == PAGE_WRITECOPY;
                break;
            case Storage::read_only:
                ok = prot == PAGE_READONLY;
                break;
            case Storage::executable:
                ok = prot == PAGE_EXECUTE_READ || prot == PAGE_EXECUTE;
                break;
        }
        if (!ok) return false;
    }
    return true;
}

// A read-only zero-terminated string inside the image, compared with `expected`.
void check_string(HMODULE module, std::uint32_t word, const char* what, const char* expected,
                  std::vector<std::string>& problems) {
    const unsigned char* s = as_pointer(word);
    const std::size_t length = std::strlen(expected);
    if (!s || !lies_in(module, s, length + 1, Storage::read_only)) {
        problems.push_back(std::string(what) + " at " + hex(word) +
                           " is not read-only storage of the plug-in");
        return;
    }
    if (std::memcmp(s, expected, length + 1) != 0)
        problems.push_back(std::string(what) + " is not \"" + expected + "\"");
}

// A pointer word to an array of four int32 in writable storage, with the expected values.
void check_int_array(HMODULE module, const unsigned char* table, std::uint32_t word,
                     const char* what, const std::int32_t (&expected)[4], std::int32_t (&out)[4],
                     std::vector<std::string>& problems) {
    const unsigned char* array = as_pointer(word_at(table, word * 4));
    if (!array || !lies_in(module, array, 16, Storage::writable)) {
        problems.push_back(at_word(word) + ", the track " + what +
                           ", does not point at writable storage of the plug-in");
        return;
    }
    for (std::uint32_t i = 0; i < 4; ++i) {
        const auto v = static_cast<std::int32_t>(word_at(array, i * 4));
        out[i] = v;
        if (v != expected[i])
            problems.push_back(std::string("track ") + std::to_string(i) + " " + what + " is " +
                               std::to_string(v) + ", expected " + std::to_string(expected[i]));
    }
}

}  // namespace

FilterEntry check_filter_table(HMODULE module, const unsigned char* table,
                               std::vector<std::string>& problems) {
    FilterEntry entry;
    if (!table || !lies_in(module, table, kWords * 4, Storage::writable)) {
        problems.push_back("the table is not 140 bytes of writable storage of the plug-in");
        return entry;
    }
    auto word = [&](std::uint32_t w) { return word_at(table, w * 4); };

    if (word(kFlags) != 0x40000u)
        problems.push_back("flags are " + hex(word(kFlags)) + ", expected 0x00040000");

    check_string(module, word(kName), "the name", kFilterName, problems);
    check_string(module, word(kInformation), "the information text", kFilterName, problems);
    if (word(kName) == word(kInformation))
        problems.push_back("the name and the information text are one string, not two");

    if (word(kTrackCount) != 4)
        problems.push_back("track count is " + std::to_string(word(kTrackCount)) + ", expected 4");
    const unsigned char* names = as_pointer(word(kTrackNamesWord));
    if (!names || !lies_in(module, names, 16, Storage::writable)) {
        problems.push_back(at_word(kTrackNamesWord) +
                           ", the track names, does not point at writable storage of the plug-in");
    } else {
        for (std::uint32_t i = 0; i < 4; ++i) {
            std::string what = "track name ";
            what += std::to_string(i);
            check_string(module, word_at(names, i * 4), what.c_str(), kTrackNames[i], problems);
        }
    }
    check_int_array(module, table, kTrackDefaults, "default", kDefaults, entry.defaults, problems);
    check_int_array(module, table, kTrackMinimums, "minimum", kMinimums, entry.minimums, problems);
    check_int_array(module, table, kTrackMaximums, "maximum", kMaximums, entry.maximums, problems);

    if (word(kCheckCount) != 0)
        problems.push_back("check box count is " + std::to_string(word(kCheckCount)) +
                           ", expected 0");
    for (std::uint32_t w : {kCheckNames, kCheckDefaults})
        if (word(w) != 0) problems.push_back(at_word(w) + ", a check-box array, is not null");

    entry.callback = as_pointer(word(kCallback));
    if (!entry.callback || !lies_in(module, entry.callback, 1, Storage::executable))
        problems.push_back(at_word(kCallback) + ", the frame callback, is not code of the plug-in");

    for (std::uint32_t w = 0; w < kWords; ++w) {
        switch (w) {
            case kFlags:
            case kName:
            case kTrackCount:
            case kTrackNamesWord:
            case kTrackDefaults:
            case kTrackMinimums:
            case kTrackMaximums:
            case kCheckCount:
            case kCheckNames:
            case kCheckDefaults:
            case kCallback:
            case kInformation:
                continue;
            default:
                if (word(w) != 0)
                    problems.push_back(at_word(w) + " is " + hex(word(w)) + ", expected 0");
        }
    }
    return entry;
}

}  // namespace host32
