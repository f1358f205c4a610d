#include "table_check.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace host64 {
namespace {

// The table: 72 bytes of which these are read.
constexpr std::size_t kTableBytes = 72;
constexpr std::size_t kFlag = 0;
constexpr std::size_t kName = 8;
constexpr std::size_t kLabel = 16;
constexpr std::size_t kInformation = 24;
constexpr std::size_t kItems = 32;
constexpr std::size_t kProcVideo = 40;
constexpr std::size_t kProcAudio = 48;
constexpr std::size_t kCreate = 56;
constexpr std::size_t kDestroy = 64;

// A track item.
constexpr std::size_t kItemType = 0;
constexpr std::size_t kItemName = 8;
constexpr std::size_t kItemMin = 24;
constexpr std::size_t kItemMax = 32;
constexpr std::size_t kItemStep = 40;
constexpr std::size_t kItemZeroDisplay = 48;
constexpr std::size_t kItemSliderRatio = 56;

// Video filter (1) and usable as a filter object (8): no audio, no input, no user data.
constexpr std::int32_t kExpectedFlag = 1 | 8;
constexpr wchar_t kExpectedName[] = L"Korvane DCT";
constexpr const wchar_t* kTrackNames[4] = {L"threshold", L"quant", L"n_shift", L"zero_weight"};
constexpr double kDefaults[4] = {24, 8, 4, 0};
constexpr double kMinimums[4] = {0, 1, 1, 0};
constexpr double kMaximums[4] = {255, 255, 64, 64};

template <typename T>
T read_at(const unsigned char* base, std::size_t offset) {
    T v;
    std::memcpy(&v, base + offset, sizeof v);
    return v;
}

const unsigned char* pointer_at(const unsigned char* base, std::size_t offset) {
    return read_at<const unsigned char*>(base, offset);
}

bool in_image(HMODULE module, const void* p, std::size_t bytes) {
    for (const auto* q : {static_cast<const unsigned char*>(p),
                          static_cast<const unsigned char*>(p) + (bytes ? bytes - 1 : 0)}) {
        MEMORY_BASIC_INFORMATION info{};
        if (!p || VirtualQuery(q, &info, sizeof info) != sizeof info ||
            info.AllocationBase != static_cast<void*>(module) || info.State != MEM_COMMIT)
            return false;
    }
    return true;
}

bool executable(const void* p) {
    MEMORY_BASIC_INFORMATION info{};
    if (!p || VirtualQuery(p, &info, sizeof info) != sizeof info) return false;
    const DWORD prot = info.Protect & 0xFFu;
    return prot == PAGE_EXECUTE_READ || prot == PAGE_EXECUTE;
}

std::string narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// A zero-terminated UTF-16 string inside the plug-in's image (at most 1000 characters).
bool read_string(HMODULE module, const unsigned char* p, std::wstring& out) {
    out.clear();
    for (std::size_t i = 0; i < 1000; ++i) {
        if (!in_image(module, p + 2 * i, 2)) return false;
        const auto c = read_at<wchar_t>(p, 2 * i);
        if (c == 0) return true;
        out += c;
    }
    return false;
}

std::string hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return buf;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

void check_track(HMODULE module, int index, const unsigned char* item, PluginEntry& entry,
                 std::vector<std::string>& problems) {
    const std::string what = "item " + std::to_string(index);
    // The host writes the value: the whole item must be the plug-in's writable data.
    MEMORY_BASIC_INFORMATION info{};
    if (!in_image(module, item, kItemBytes) || VirtualQuery(item, &info, sizeof info) == 0 ||
        ((info.Protect & 0xFFu) != PAGE_READWRITE && (info.Protect & 0xFFu) != PAGE_WRITECOPY)) {
        problems.push_back(what + " at " + hex(item) + " is not 64 bytes of writable data of " +
                           "the plug-in");
        return;
    }
    std::wstring s;
    if (!read_string(module, pointer_at(item, kItemType), s) || s != L"track2") {
        problems.push_back(what + " is not of type track2");
        return;
    }
    if (!read_string(module, pointer_at(item, kItemName), s) || s != kTrackNames[index])
        problems.push_back(what + " is named \"" + narrow(s) + "\", expected \"" +
                           narrow(kTrackNames[index]) + "\"");
    const std::string name = narrow(kTrackNames[index]);
    struct Field {
        std::size_t offset;
        const char* field;
        double expected;
    };
    for (const Field f :
         {Field{kItemValue, "value", kDefaults[index]},
          Field{kItemMin, "minimum", kMinimums[index]},
          Field{kItemMax, "maximum", kMaximums[index]}, Field{kItemStep, "step", 1.0},
          Field{kItemSliderRatio, "slider ratio", 1.0}}) {
        const auto v = read_at<double>(item, f.offset);
        if (v != f.expected)
            problems.push_back(name + " " + f.field + " is " + number(v) + ", expected " +
                               number(f.expected));
    }
    if (const unsigned char* zero = pointer_at(item, kItemZeroDisplay))
        if (!read_string(module, zero, s))
            problems.push_back(name + ": the text shown for 0 is not a string of the plug-in");
    entry.tracks[index] = const_cast<unsigned char*>(item);
    entry.defaults[index] = read_at<double>(item, kItemValue);
    entry.minimums[index] = read_at<double>(item, kItemMin);
    entry.maximums[index] = read_at<double>(item, kItemMax);
}

}  // namespace

PluginEntry check_plugin_table(HMODULE module, const unsigned char* table,
                               std::vector<std::string>& problems) {
    PluginEntry entry;
    if (!in_image(module, table, kTableBytes)) {
        problems.push_back("the table at " + hex(table) + " is not 72 bytes of the plug-in");
        return entry;
    }
    const auto flag = read_at<std::int32_t>(table, kFlag);
    if (flag != kExpectedFlag)
        problems.push_back("flag is " + std::to_string(flag) + ", expected " +
                           std::to_string(kExpectedFlag) + " (video filter, filter object)");

    std::wstring s;
    if (!read_string(module, pointer_at(table, kName), s) || s != kExpectedName)
        problems.push_back("the name is \"" + narrow(s) + "\", expected \"Korvane DCT\"");
    if (pointer_at(table, kLabel) && !read_string(module, pointer_at(table, kLabel), s))
        problems.push_back("the label is neither null nor a string of the plug-in");
    if (!read_string(module, pointer_at(table, kInformation), s) || s.empty())
        problems.push_back("the information text is not a string of the plug-in");
    else
        entry.information = narrow(s);

    const unsigned char* items = pointer_at(table, kItems);
    if (!in_image(module, items, 5 * sizeof(void*))) {
        problems.push_back("the item list at " + hex(items) + " is not 5 pointers of the plug-in");
    } else {
        for (int i = 0; i < 4; ++i) {
            const unsigned char* item = pointer_at(items, static_cast<std::size_t>(i) * 8);
            if (!item) {
                problems.push_back("the item list ends after " + std::to_string(i) +
                                   " items, expected 4");
                break;
            }
            check_track(module, i, item, entry, problems);
        }
        if (pointer_at(items, 32))
            problems.push_back("the item list is not terminated after 4 items");
    }

    entry.proc_video = pointer_at(table, kProcVideo);
    if (!in_image(module, entry.proc_video, 1) || !executable(entry.proc_video))
        problems.push_back("func_proc_video at " + hex(entry.proc_video) +
                           " is not code of the plug-in");
    struct Unused {
        std::size_t offset;
        const char* name;
    };
    for (const Unused u : {Unused{kProcAudio, "func_proc_audio"}, Unused{kCreate, "func_create"},
                           Unused{kDestroy, "func_destroy"}})
        if (pointer_at(table, u.offset)) problems.push_back(std::string(u.name) + " is not null");
    return entry;
}

}  // namespace host64
