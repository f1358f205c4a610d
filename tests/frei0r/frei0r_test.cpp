// The frei0r plug-in loaded as its hosts load it: what it tells them, how their 0..1 doubles
// become settings, its output against korvane-dct's, and instances used at once.
#include <cmath>
#include <limits>
#include <thread>

#include "frei0r/params.h"
#include "tests/frei0r/frei0r_util.h"

namespace korvane::test {
namespace {

TEST(Frei0r, DescribesAFilterOfFourDoublesOnRgba) {
    Frei0rPlugin plugin;
    f0r_plugin_info_t info{};
    plugin.get_plugin_info(&info);
    EXPECT_STREQ(info.name, "Korvane DCT");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    ASSERT_EQ(info.num_params, 4);

    const char* names[] = {"threshold", "quant", "n_shift", "zero_weight"};
    const int defaults[] = {24, 8, 4, 0};
    f0r_instance_t inst = plugin.construct(64, 48);
    ASSERT_NE(inst, nullptr);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        f0r_param_info_t p{};
        plugin.get_param_info(&p, i);
        EXPECT_STREQ(p.name, names[i]);
        EXPECT_EQ(p.type, F0R_PARAM_DOUBLE);
        // Each explanation says what both ends stand for.
        ASSERT_NE(p.explanation, nullptr);
        EXPECT_NE(std::string(p.explanation).find("0 = "), std::string::npos) << p.explanation;
        EXPECT_NE(std::string(p.explanation).find("1 = "), std::string::npos) << p.explanation;
        // A host that reads the value of a new instance and sets it again (GStreamer does) keeps
        // the default.
        double v = -1;
        plugin.get_param_value(inst, &v, i);
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 1.0);
        EXPECT_EQ(frei0r::setting_from_param(Track(i), v), defaults[i]);
    }
    plugin.destruct(inst);
}

// Settings from doubles: min + round(x * (max - min)), halves up, clamped to 0..1.
TEST(Frei0r, EachDoubleBecomesTheNearestSetting) {
    struct Case {
        Track track;
        double x;
        std::int32_t setting;
    };
    const Case cases[] = {
        {kThreshold, 0, 0},
        {kThreshold, 1, 255},
        {kThreshold, 0.0941, 24},
        {kThreshold, 0.2, 51},
        {kThreshold, 0.5, 128},
        {kThreshold, -2, 0},
        {kThreshold, 3, 255},
        {kQuant, 0, 1},
        {kQuant, 1, 255},
        {kQuant, 0.0276, 8},
        {kQuant, 0.5, 128},
        {kQuant, 1.0 / 254, 2},
        {kNShift, 0, 1},
        {kNShift, 1, 64},
        {kNShift, 0.0476, 4},
        {kNShift, 0.0555, 4},
        {kNShift, 0.0556, 5},
        {kNShift, 0.3, 20},
        {kNShift, 1.5, 64},
        {kZeroWeight, 0, 0},
        {kZeroWeight, 1, 64},
        {kZeroWeight, 0.1, 6},
        {kZeroWeight, 1.0 / 128, 1},
        {kZeroWeight, -0.1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(frei0r::setting_from_param(c.track, c.x), c.setting)
            << "track " << c.track << " x " << c.x;
    // Every setting has a double that gives it back.
    for (int t = 0; t < kTrackCount; ++t)
        for (std::int32_t v = kTrackMin[t]; v <= kTrackMax[t]; ++v)
            ASSERT_EQ(frei0r::setting_from_param(Track(t), frei0r::param_from_setting(Track(t), v)),
                      v)
                << "track " << t;
}

// Parameter sets shared with the host tests: doubles as a user types them, and the settings
// korvane-dct is given for them.
struct ParamCase {
    const char* what;
    std::optional<std::array<double, 4>> params;
    std::vector<std::string> options;
};
const ParamCase kParamCases[] = {
    {"defaults", std::nullopt, {}},
    {"rounding",
     std::array{0.2, 0.5, 0.0556, 1.0 / 128},
     {"--threshold", "51", "--quant", "128", "--n-shift", "5", "--zero-weight", "1"}},
    {"ends and beyond",
     std::array{1.0, -1.0, 1.0, 2.0},
     {"--threshold", "255", "--quant", "1", "--n-shift", "64", "--zero-weight", "64"}},
};

TEST(Frei0r, OutputEqualsTheCommandOnTheSamePicture) {
    Frei0rPlugin plugin;
    TempDir dir;
    // A frame of frei0r's usual shape, and one of any size (MLT passes those on).
    for (auto [w, h] : {std::array{64, 48}, std::array{37, 29}}) {
        const std::vector<std::uint8_t> in = test_picture(w, h, 3);
        for (const ParamCase& c : kParamCases) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << ", " << c.what);
            const auto expected = command_output(in, w, h, c.options, dir);
            const auto out = plugin.filter(in, w, h, c.params);
            EXPECT_EQ(first_difference(out, expected, w, h), "");
            ASSERT_NE(out, in);
            // In place (inframe == outframe) too.
            f0r_instance_t inst =
                plugin.construct(static_cast<unsigned>(w), static_cast<unsigned>(h));
            if (c.params)
                for (int i = 0; i < 4; ++i) {
                    double v = (*c.params)[i];
                    plugin.set_param_value(inst, &v, i);
                }
            std::vector<std::uint8_t> frame = in;
            auto* p = reinterpret_cast<std::uint32_t*>(frame.data());
            plugin.update2(inst, 0.0, p, nullptr, nullptr, p);
            plugin.destruct(inst);
            EXPECT_EQ(first_difference(frame, expected, w, h), "");
        }
    }
}

TEST(Frei0r, ParametersKeepTheirValueAndIgnoreWhatIsNotANumber) {
    Frei0rPlugin plugin;
    f0r_instance_t inst = plugin.construct(16, 16);
    ASSERT_NE(inst, nullptr);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double in[] = {0.3, 7.0, nan, -1.0};
    const double want[] = {0.3, 1.0, frei0r::param_from_setting(kNShift, 4), 0.0};
    for (int i = 0; i < 4; ++i) plugin.set_param_value(inst, const_cast<double*>(&in[i]), i);
    for (int i = 0; i < 4; ++i) {
        double v = -5;
        plugin.get_param_value(inst, &v, i);
        EXPECT_EQ(v, want[i]) << "parameter " << i;
    }
    // Indices that do not exist are ignored.
    double v = 0.5;
    plugin.set_param_value(inst, &v, 4);
    plugin.set_param_value(inst, &v, -1);
    f0r_param_info_t info{"untouched", 99, nullptr};
    plugin.get_param_info(&info, 4);
    EXPECT_STREQ(info.name, "untouched");
    plugin.destruct(inst);
    EXPECT_EQ(plugin.construct(0, 16), nullptr);
    EXPECT_EQ(plugin.construct(16, 0), nullptr);
    plugin.update(nullptr, 0, nullptr, nullptr);  // no instance: nothing happens
}

// Hosts run instances side by side (MLT filters several frames at once, an ffmpeg graph may
// hold the filter twice): each on its own thread gives the bytes it gives alone.
TEST(Frei0r, InstancesWorkAtTheSameTime) {
    Frei0rPlugin plugin;
    struct Job {
        int w, h;
        std::array<double, 4> params;
        std::vector<std::uint8_t> in, alone;
        int matches = 0;
    };
    std::vector<Job> jobs = {{64, 48, {0.1, 0.03, 0.05, 0}, {}, {}},
                             {40, 32, {0.3, 0.01, 0.1, 0.05}, {}, {}},
                             {64, 48, {0.1, 0.03, 0.05, 0}, {}, {}}};
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].in = test_picture(jobs[i].w, jobs[i].h, static_cast<std::uint32_t>(10 + i));
        jobs[i].alone = plugin.filter(jobs[i].in, jobs[i].w, jobs[i].h, jobs[i].params);
    }
    std::vector<std::thread> threads;
    for (Job& job : jobs)
        threads.emplace_back([&plugin, &job] {
            f0r_instance_t inst =
                plugin.construct(static_cast<unsigned>(job.w), static_cast<unsigned>(job.h));
            std::vector<std::uint8_t> out(job.in.size());
            for (int frame = 0; frame < 4; ++frame) {
                for (int i = 0; i < 4; ++i) plugin.set_param_value(inst, &job.params[i], i);
                plugin.update(inst, frame / 25.0,
                              reinterpret_cast<const std::uint32_t*>(job.in.data()),
                              reinterpret_cast<std::uint32_t*>(out.data()));
                job.matches += out == job.alone;
            }
            plugin.destruct(inst);
        });
    for (std::thread& t : threads) t.join();
    for (const Job& job : jobs) EXPECT_EQ(job.matches, 4);
}

}  // namespace
}  // namespace korvane::test
