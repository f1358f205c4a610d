// What the korvane-dct tests share: the command, the samples, and a picture to feed it.
#pragma once

#include <string>
#include <vector>

#include "run_command.h"

namespace korvane::test {

inline const std::string kTool = KORVANE_DCT;
inline const std::string kSamples = KORVANE_SAMPLES;

inline Result tool(std::vector<std::string> args, const std::string& in = "",
                   const std::string& out = "") {
    std::vector<std::string> command{kTool};
    command.insert(command.end(), args.begin(), args.end());
    return run_command(command, in, out);
}

// An 8-bit RGB picture of w x h pixels with a smooth gradient in each channel.
inline std::vector<unsigned char> gradient_rgb(int w, int h) {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            rgb.push_back(static_cast<unsigned char>(40 + 6 * x));
            rgb.push_back(static_cast<unsigned char>(60 + 5 * y));
            rgb.push_back(static_cast<unsigned char>(150 - 2 * x - y));
        }
    return rgb;
}

}  // namespace korvane::test
