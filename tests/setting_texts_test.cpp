// The README and the plug-ins' readmes describe the four settings in the words the compiled front
// ends take from engine/setting_texts.h: a text edited in one place and not the other fails here.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/setting_texts.h"

namespace korvane {
namespace {

// The file with every run of white space (line breaks and indentation of wrapped text) made one
// space.
std::string flattened(const std::string& relative) {
    std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
    EXPECT_TRUE(in) << relative;
    std::ostringstream text;
    text << in.rdbuf();
    std::string out;
    for (const char c : text.str()) {
        const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!space)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

TEST(SettingTexts, EveryDocumentSaysWhatTheFrontEndsSay) {
    for (const char* document :
         {"README.md", "packaging/aviutl/readme_en.txt.in", "aviutl2/package/package.txt.in"}) {
        const std::string text = flattened(document);
        for (int t = 0; t < kTrackCount; ++t) {
            const std::string meaning = kSettingTexts[t].meaning;
            // As a sentence start, or as written.
            const bool found = text.find(meaning) != std::string::npos ||
                               text.find(setting_sentence(t)) != std::string::npos;
            EXPECT_TRUE(found) << document << " does not describe " << kSettingTexts[t].name
                               << " as: " << meaning;
        }
    }
}

}  // namespace
}  // namespace korvane
