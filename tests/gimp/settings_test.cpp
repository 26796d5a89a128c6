// The GIMP plug-in's settings and pixels, without GIMP: every option of the
// host's table is taken, at its limits and no further, and lands in the
// right field; grey layers run as equal R, G and B.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "plugin_settings.h"

namespace polarmosaic {
namespace {

void ExpectSameOptions(const MosaicOptions& a, const MosaicOptions& b) {
    EXPECT_EQ(a.geometry, b.geometry);
    EXPECT_EQ(a.sectors, b.sectors);
    EXPECT_EQ(a.ringWidth, b.ringWidth);
    EXPECT_EQ(a.centreX2, b.centreX2);
    EXPECT_EQ(a.centreY2, b.centreY2);
    EXPECT_EQ(a.angle, b.angle);
    EXPECT_EQ(a.hardEdges, b.hardEdges);
    EXPECT_EQ(a.tileWidth, b.tileWidth);
    EXPECT_EQ(a.tileHeight, b.tileHeight);
    EXPECT_EQ(a.splitRemainder, b.splitRemainder);
    EXPECT_EQ(a.borderMode, b.borderMode);
    EXPECT_EQ(a.borderWidth, b.borderWidth);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(a.borderColor[c], b.borderColor[c]);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(a.shade[s], b.shade[s]);
}

// The table's defaults give what the host gives a user who sets nothing,
// in both geometries, and so does a value left empty.
TEST(GimpSettings, DefaultsAreTheHostsDefaults) {
    for (bool classic : {false, true}) {
        SCOPED_TRACE(classic ? "classic" : "fitted");
        UserSettings host_default;
        host_default.classic = classic;
        std::string reason;
        const MosaicOptions want = ResolveSettings(host_default, 640, 480, &reason);
        ASSERT_EQ(reason, "");
        SettingValues empty;
        if (classic) empty["geometry"] = "classic";
        for (const SettingValues& values : {DefaultValues(classic), empty}) {
            UserSettings settings;
            ASSERT_TRUE(ValuesToSettings(values, &settings, &reason)) << reason;
            ExpectSameOptions(ResolveSettings(settings, 640, 480, &reason), want);
        }
    }
}

// Each option moves its own field and no other.
TEST(GimpSettings, EachOptionSetsItsField) {
    struct Case {
        const char* name;
        const char* text;
        std::function<void(UserSettings*)> expect;
    };
    const std::vector<Case> cases = {
        {"geometry", "classic", [](UserSettings* s) { s->classic = true; }},
        {"sectors", "24", [](UserSettings* s) { s->sectors = 24; }},
        {"ring", "30",
         [](UserSettings* s) {
             s->ring = {30.0, false};
         }},
        {"ring", "2.5%",
         [](UserSettings* s) {
             s->ring = {2.5, true};
         }},
        {"border", "spokes", [](UserSettings* s) { s->mosaic.borderMode = kBorderSpokes; }},
        {"border", "none", [](UserSettings* s) { s->mosaic.borderMode = kBorderNone; }},
        {"border-width", "3",
         [](UserSettings* s) {
             s->line_width = {3.0, false};
         }},
        {"border-colour", "200,40,30",
         [](UserSettings* s) {
             s->mosaic.borderColor[0] = 200, s->mosaic.borderColor[1] = 40, s->mosaic.borderColor[2] = 30;
         }},
        {"shade-outer", "2", [](UserSettings* s) { s->mosaic.shade[POLARMOSAIC_SIDE_OUTER] = 2.0f; }},
        {"shade-inner", "0.5", [](UserSettings* s) { s->mosaic.shade[POLARMOSAIC_SIDE_INNER] = 0.5f; }},
        {"shade-ccw", "2.5", [](UserSettings* s) { s->mosaic.shade[POLARMOSAIC_SIDE_CCW] = 2.5f; }},
        {"shade-cw", "0.25", [](UserSettings* s) { s->mosaic.shade[POLARMOSAIC_SIDE_CW] = 0.25f; }},
        {"centre", "30%,120",
         [](UserSettings* s) {
             s->centre = {30.0, 120.0, true, false};
         }},
        {"angle", "-15.5", [](UserSettings* s) { s->mosaic.angle = -15.5; }},
        {"hard-edges", "1", [](UserSettings* s) { s->mosaic.hardEdges = true; }},
        {"split", "1", [](UserSettings* s) { s->mosaic.splitRemainder = true; }},
    };
    std::vector<std::string> covered;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.text);
        SettingValues values = DefaultValues(false);
        values[c.name] = c.text;
        UserSettings got, want;
        std::string reason;
        ASSERT_TRUE(ValuesToSettings(values, &got, &reason)) << reason;
        ASSERT_TRUE(ValuesToSettings(DefaultValues(false), &want, &reason)) << reason;
        c.expect(&want);
        if (std::string(c.name) == "border-width") want.line_width_given = true;
        // The classic geometry resolves its own lengths: compare the fitted
        // ones as given, then what the host makes of both.
        EXPECT_EQ(got.classic, want.classic);
        EXPECT_EQ(got.sectors, want.sectors);
        EXPECT_EQ(got.ring.value, want.ring.value);
        EXPECT_EQ(got.ring.relative, want.ring.relative);
        EXPECT_EQ(got.line_width.value, want.line_width.value);
        EXPECT_EQ(got.centre.x, want.centre.x);
        EXPECT_EQ(got.centre.y, want.centre.y);
        EXPECT_EQ(got.centre.x_relative, want.centre.x_relative);
        EXPECT_EQ(got.centre.y_relative, want.centre.y_relative);
        ExpectSameOptions(got.mosaic, want.mosaic);
        covered.push_back(c.name);
    }
    // A new table option must get a place in the plug-in and a case here.
    for (const OptionEntry& entry : OptionTable()) {
        EXPECT_NE(std::find(covered.begin(), covered.end(), entry.name), covered.end()) << entry.name;
    }
}

std::string Text(double v) {
    char text[32];
    snprintf(text, sizeof(text), "%.10g", v);
    return text;
}

// Every limit of the table is taken and a step beyond it refused, with the
// option's name in the reason.
TEST(GimpSettings, TableLimitsHold) {
    struct Probe {
        std::string text;
        bool usable;
    };
    for (const OptionEntry& e : OptionTable()) {
        std::vector<Probe> probes;
        switch (e.kind) {
            case kOptionWhole:
            case kOptionNumber:
                probes = {{Text(e.min), true},      {Text(e.max), true}, {Text(e.min - 1), false},
                          {Text(e.max + 1), false}, {"x", false},        {"1e999", false}};
                break;
            case kOptionLength:
                probes = {{Text(e.min), true},
                          {Text(e.max), true},
                          {Text(e.max_percent) + "%", true},
                          {Text(e.max + 1), false},
                          {Text(e.max_percent + 1) + "%", false},
                          {"-1", false},
                          {"4 %", false}};
                if (e.min > 0) probes.push_back({Text(e.min / 2), false});
                break;
            case kOptionChoice:
                for (const std::string& choice : e.choices) probes.push_back({choice, true});
                probes.push_back({"Grid", false});
                break;
            case kOptionFlag:
                probes = {{"0", true}, {"1", true}, {"2", false}, {"yes", false}};
                break;
            case kOptionColour:
                probes = {{"0,0,0", true}, {"255,255,255", true}, {"256,0,0", false}, {"0,0,-1", false},
                          {"1,2", false},  {"1,2,3,", false},     {"1,2,3,4", false}, {"#ff0000", false}};
                break;
            case kOptionCentre:
                probes = {{Text(e.min_percent) + "%," + Text(e.max_percent) + "%", true},
                          {"12,34", true},
                          {Text(e.max_percent + 1) + "%,50%", false},
                          {"50%", false}};
                break;
        }
        ASSERT_FALSE(probes.empty()) << e.name;
        for (const Probe& probe : probes) {
            SettingValues values = DefaultValues(false);
            values[e.name] = probe.text;
            UserSettings settings;
            std::string reason;
            EXPECT_EQ(ValuesToSettings(values, &settings, &reason), probe.usable)
                << e.name << "=" << probe.text;
            if (!probe.usable) EXPECT_NE(reason.find(e.name), std::string::npos) << reason;
        }
    }
}

TEST(GimpSettings, LastValuesRoundTrip) {
    SettingValues values = DefaultValues(true);
    values["centre"] = "10,20%";
    values["border-colour"] = "1,2,3";
    EXPECT_EQ(ParseSerializedValues(SerializeValues(values)), values);
    // Names the table no longer has, and broken lines, are dropped.
    EXPECT_EQ(ParseSerializedValues("gone=1\nsectors=12\nbroken\n"), (SettingValues{{"sectors", "12"}}));
}

TEST(GimpSettings, GreyOfColourIsRec709Luma) {
    const struct {
        int rgb[3];
        int grey;
    } cases[] = {{{0, 0, 0}, 0},     {{255, 255, 255}, 255}, {{255, 0, 0}, 54},
                 {{0, 255, 0}, 182}, {{0, 0, 255}, 18},      {{48, 48, 48}, 48}};
    for (const auto& c : cases) EXPECT_EQ(GreyOfColour(c.rgb), c.grey);
}

// Grey and grey+alpha run as RGB and RGBA with R = G = B and the line colour
// made grey; the result is their red channel, and the three stay equal.
TEST(GimpSettings, GreyRunsAsEqualChannels) {
    const int width = 97, height = 61;
    for (bool classic : {false, true}) {
        for (int grey_channels : {1, 2}) {
            SCOPED_TRACE(std::to_string(grey_channels) + (classic ? " classic" : " fitted"));
            if (classic && grey_channels == 2) continue;  // alpha is weighed by the fitted geometry only
            UserSettings user;
            user.classic = classic;
            user.sectors = 9;
            user.mosaic.borderColor[0] = 250, user.mosaic.borderColor[1] = 10,
            user.mosaic.borderColor[2] = 90;
            std::string reason;
            MosaicOptions options = ResolveSettings(user, width, height, &reason);
            options.threads = 1;
            const int colour_channels = grey_channels + 2;
            std::vector<uint8_t> grey(static_cast<size_t>(width) * height * grey_channels);
            std::vector<uint8_t> colour(static_cast<size_t>(width) * height * colour_channels);
            for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
                const uint8_t level = static_cast<uint8_t>((i * 37) ^ (i / width * 11));
                const uint8_t alpha = static_cast<uint8_t>(i % 3 == 0 ? 0 : i % 256);
                grey[i * grey_channels] = level;
                colour[i * colour_channels] = colour[i * colour_channels + 1] =
                    colour[i * colour_channels + 2] = level;
                if (grey_channels == 2) grey[i * 2 + 1] = colour[i * 4 + 3] = alpha;
            }
            PixelRunner runner;
            ASSERT_TRUE(runner.Run(grey.data(), width, height, width * grey_channels, grey_channels, options,
                                   &reason))
                << reason;
            MosaicOptions grey_lines = options;
            const int level = GreyOfColour(options.borderColor);
            for (int& c : grey_lines.borderColor) c = level;
            MosaicHost host;
            ASSERT_TRUE(host.Prepare(width, height, grey_lines, &reason)) << reason;
            host.Apply(colour.data(), width * colour_channels, colour.data(), width * colour_channels,
                       colour_channels);
            int changed = 0;
            for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
                const uint8_t* c = &colour[i * colour_channels];
                ASSERT_EQ(c[0], c[1]) << i;
                ASSERT_EQ(c[0], c[2]) << i;
                ASSERT_EQ(grey[i * grey_channels], c[0]) << i;
                if (grey_channels == 2) ASSERT_EQ(grey[i * 2 + 1], c[3]) << i;
                changed += c[0] != static_cast<uint8_t>((i * 37) ^ (i / width * 11));
            }
            EXPECT_GT(changed, width * height / 4);  // the effect did run
        }
    }
}

}  // namespace
}  // namespace polarmosaic
