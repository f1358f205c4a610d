// What the four settings do, in the words every front end shows: korvane-dct's --help, the
// frei0r parameters, the GIMP dialog and procedure, and (checked by a test) the README and the
// plug-ins' readmes. Written once here so that no front end describes a setting differently.
#pragma once

#include <cctype>
#include <string>

#include "engine/engine.h"

namespace korvane {

struct SettingText {
    const char* name;     // as the AviUtl track bars and the README name it
    const char* meaning;  // one sentence, lower case first, no full stop
};

inline constexpr SettingText kSettingTexts[kTrackCount] = {
    {"threshold",
     "strength: detail whose DCT coefficient is weaker than this is smoothed; 0 smooths nothing, "
     "higher values also flatten stronger texture"},
    {"quant",
     "how coarsely weak luma detail is kept: it is rounded to a multiple of quant (1 keeps luma "
     "detail as it is; weak colour detail is always removed)"},
    {"n_shift",
     "how many shifted 8x8 grids are averaged: more grids give smoother, cleaner block edges and "
     "take longer"},
    {"zero_weight",
     "how much of the unfiltered picture is mixed back in: each unit weighs as much as one grid"},
};

// The meaning of setting `t` as the start of a sentence (its first letter upper case).
inline std::string setting_sentence(int t) {
    std::string text = kSettingTexts[t].meaning;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace korvane
