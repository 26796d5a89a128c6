// The tool's loader on damaged data: every prefix of a valid file and a
// few hostile headers must fail with a reason, never crash or hang.
#include <gtest/gtest.h>

#include <png.h>
#include <zlib.h>

#include "image_io.h"
#include "tool_test_support.h"

namespace {

using polarmosaic::Image;
using polarmosaic::LoadImage;
using polarmosaic::LoadSettings;

struct Sample {
    const char* name;
    pmtest::Bytes bytes;
};

std::vector<Sample> Samples() {
    pmtest::Rgb rgb = pmtest::Pattern(23, 17, 3);
    std::vector<Sample> samples;
    samples.push_back({"png", pmtest::PngBytes(23, 17, PNG_FORMAT_RGB, rgb.px.data())});
    samples.push_back({"jpeg", pmtest::JpegBytes(23, 17, 3, rgb.px, 90)});
    samples.push_back({"ppm", pmtest::PpmBytes(rgb)});
    return samples;
}

TEST(ImageLoader, EveryPrefixFailsWithAReason) {
    for (const Sample& sample : Samples()) {
        Image image;
        std::string error;
        ASSERT_TRUE(LoadImage(sample.bytes.data(), sample.bytes.size(), LoadSettings(), &image, &error))
            << sample.name << ": " << error;
        // The JPEG's last two bytes are its end marker, which libjpeg does not
        // need to finish the picture; everything shorter must be refused.
        size_t must_fail = sample.bytes.size() - (sample.name[0] == 'j' ? 2 : 0);
        for (size_t n = 0; n < must_fail; ++n) {
            error.clear();
            bool ok = LoadImage(sample.bytes.data(), n, LoadSettings(), &image, &error);
            ASSERT_FALSE(ok) << sample.name << " prefix " << n;
            ASSERT_FALSE(error.empty()) << sample.name << " prefix " << n;
        }
    }
}

TEST(ImageLoader, CutInsideThePixelsSaysTruncated) {
    for (const Sample& sample : Samples()) {
        Image image;
        std::string error;
        size_t cut = sample.bytes.size() * 2 / 3;
        ASSERT_FALSE(LoadImage(sample.bytes.data(), cut, LoadSettings(), &image, &error));
        EXPECT_NE(error.find("truncated"), std::string::npos) << sample.name << ": " << error;
    }
}

TEST(ImageLoader, HugeClaimedSizesAreRefusedUpFront) {
    struct Case {
        const char* name;
        pmtest::Bytes bytes;
        const char* reason;
    };
    std::string ppm = "P6\n40000 40000\n255\n";
    std::string pgm = "P5\n3 99999999999999999999\n255\n";
    // A 1 x 1 PNG whose header is edited to 30000 x 30000 (CRC fixed up).
    pmtest::Bytes png = pmtest::PngBytes(1, 1, PNG_FORMAT_RGB, "\0\0\0");
    for (int i = 0; i < 2; ++i) {
        png[16 + 4 * i] = 0;
        png[17 + 4 * i] = 0;
        png[18 + 4 * i] = 0x75;
        png[19 + 4 * i] = 0x30;
    }
    uint32_t crc = static_cast<uint32_t>(crc32(0, png.data() + 12, 17));
    for (int k = 0; k < 4; ++k) png[29 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
    pmtest::Bytes wide_png = png;
    wide_png[16] = 0;
    wide_png[17] = 1;  // 65536 + 30000 wide
    crc = static_cast<uint32_t>(crc32(0, wide_png.data() + 12, 17));
    for (int k = 0; k < 4; ++k) wide_png[29 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
    const Case cases[] = {
        {"ppm", pmtest::Bytes(ppm.begin(), ppm.end()), "larger than the effect"},
        {"pgm", pmtest::Bytes(pgm.begin(), pgm.end()), "bad PGM header"},
        {"png within limits", png, "truncated PNG"},
        {"png too wide", wide_png, "larger than the effect"},
    };
    for (const Case& c : cases) {
        Image image;
        std::string error;
        EXPECT_FALSE(LoadImage(c.bytes.data(), c.bytes.size(), LoadSettings(), &image, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
}

}  // namespace
