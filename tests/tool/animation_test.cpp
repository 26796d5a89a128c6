// Animated GIF and WebP through TransformAnimation. Inputs are made in the
// test with giflib's and libwebp's encoders, the canvases they should show
// are composed here from the frames as drawn, and outputs are read back with
// giflib's DGifSlurp and WebPAnimDecoder (not with the code under test).
#include <gif_lib.h>
#include <png.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "animation.h"
#include "mosaic_host.h"
#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using polarmosaic::AnimationFormat;
using polarmosaic::AnimationInfo;
using polarmosaic::AnimationSettings;
using polarmosaic::ByteBuffer;
using polarmosaic::FrameEffect;
using polarmosaic::TransformAnimation;

using Rgba = std::vector<uint8_t>;  // width * height * 4

// ------------------------------------------------------------ GIF making

struct GifFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlace = false;
    std::vector<GifColorType> local_map;  // empty: the global one
    std::vector<uint8_t> indices;         // width * height, rows top down
    int transparent = NO_TRANSPARENT_COLOR;
    int disposal = 0;  // none given
    int delay_cs = 0;
};

struct GifMovie {
    int width = 0, height = 0;
    std::vector<GifColorType> global_map;
    int netscape_loop = -1;  // -1: no loop extension
    std::vector<GifFrame> frames;
};

int AppendBytes(GifFileType* gif, const GifByteType* bytes, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), bytes, bytes + length);
    return length;
}

// Maps of 2, 4, ... 256 entries: giflib wants a power of two.
ColorMapObject* MakeMap(const std::vector<GifColorType>& colours) {
    int size = 2;
    while (size < static_cast<int>(colours.size())) size *= 2;
    std::vector<GifColorType> padded(colours);
    padded.resize(size, GifColorType{0, 0, 0});
    return GifMakeMapObject(size, padded.data());
}

Bytes MakeGif(const GifMovie& movie) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, AppendBytes, &error);
    EXPECT_NE(gif, nullptr);
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = movie.global_map.empty() ? nullptr : MakeMap(movie.global_map);
    EXPECT_EQ(EGifPutScreenDesc(gif, movie.width, movie.height, 8, 0, global), GIF_OK);
    if (global) GifFreeMapObject(global);
    if (movie.netscape_loop >= 0) {
        const GifByteType loop[3] = {1, static_cast<GifByteType>(movie.netscape_loop & 0xff),
                                     static_cast<GifByteType>(movie.netscape_loop >> 8)};
        EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
        EGifPutExtensionBlock(gif, 3, loop);
        EGifPutExtensionTrailer(gif);
    }
    for (const GifFrame& frame : movie.frames) {
        GraphicsControlBlock gcb = {};
        gcb.DisposalMode = frame.disposal;
        gcb.DelayTime = frame.delay_cs;
        gcb.TransparentColor = frame.transparent;
        GifByteType extension[4];
        EGifGCBToExtension(&gcb, extension);
        EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension), GIF_OK);
        ColorMapObject* local = frame.local_map.empty() ? nullptr : MakeMap(frame.local_map);
        // giflib drops its copy of the last frame's map without freeing it
        // when a frame has none.
        if (!local && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        EXPECT_EQ(
            EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height, frame.interlace, local),
            GIF_OK);
        if (local) GifFreeMapObject(local);
        // giflib writes rows in the order given: interlaced ones go in the
        // four passes' order (rows 0, 8, ..; 4, 12, ..; 2, 6, ..; 1, 3, ..).
        std::vector<int> order;
        if (frame.interlace) {
            for (int start : {0, 4, 2, 1}) {
                int step = start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2;
                for (int row = start; row < frame.height; row += step) order.push_back(row);
            }
        } else {
            for (int row = 0; row < frame.height; ++row) order.push_back(row);
        }
        for (int row : order) {
            std::vector<GifPixelType> line(frame.indices.begin() + row * frame.width,
                                           frame.indices.begin() + (row + 1) * frame.width);
            EXPECT_EQ(EGifPutLine(gif, line.data(), frame.width), GIF_OK);
        }
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    return out;
}

// The canvases a browser shows: drawn frame by frame from a transparent
// start, disposal 2 clearing the frame's rectangle (to transparent) and 3
// restoring it before the next frame, frames clipped to the canvas.
std::vector<Rgba> ComposeGif(const GifMovie& movie) {
    std::vector<Rgba> shown;
    Rgba canvas(static_cast<size_t>(movie.width) * movie.height * 4, 0);
    for (const GifFrame& f : movie.frames) {
        Rgba before = canvas;
        const std::vector<GifColorType>& map = f.local_map.empty() ? movie.global_map : f.local_map;
        for (int y = 0; y < f.height; ++y) {
            for (int x = 0; x < f.width; ++x) {
                int cx = f.left + x, cy = f.top + y;
                int index = f.indices[y * f.width + x];
                if (cx >= movie.width || cy >= movie.height || index == f.transparent) continue;
                uint8_t* px = &canvas[(static_cast<size_t>(cy) * movie.width + cx) * 4];
                px[0] = map[index].Red;
                px[1] = map[index].Green;
                px[2] = map[index].Blue;
                px[3] = 255;
            }
        }
        shown.push_back(canvas);
        for (int y = f.top; y < f.top + f.height && y < movie.height; ++y) {
            for (int x = f.left; x < f.left + f.width && x < movie.width; ++x) {
                size_t at = (static_cast<size_t>(y) * movie.width + x) * 4;
                if (f.disposal == DISPOSE_BACKGROUND) memset(&canvas[at], 0, 4);
                if (f.disposal == DISPOSE_PREVIOUS) memcpy(&canvas[at], &before[at], 4);
            }
        }
    }
    return shown;
}

std::vector<GifColorType> RandomMap(std::mt19937* rng, int count) {
    std::vector<GifColorType> map(count);
    for (GifColorType& c : map) {
        c = {static_cast<GifByteType>((*rng)()), static_cast<GifByteType>((*rng)()),
             static_cast<GifByteType>((*rng)())};
    }
    return map;
}

// Blobs of one index rather than noise, so the effect's tiles differ.
GifFrame RandomFrame(std::mt19937* rng, int left, int top, int width, int height, int colours) {
    GifFrame f;
    f.left = left, f.top = top, f.width = width, f.height = height;
    f.indices.resize(static_cast<size_t>(width) * height);
    int cell = 1 + static_cast<int>((*rng)() % 6);
    std::vector<uint8_t> cells((width / cell + 1) * (height / cell + 1));
    for (uint8_t& c : cells) c = static_cast<uint8_t>((*rng)() % colours);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            f.indices[y * width + x] = cells[(y / cell) * (width / cell + 1) + x / cell];
    }
    return f;
}

// A GIF that uses every feature: global and local maps, transparency,
// interlace, disposals 0 to 3, a frame reaching beyond the canvas.
GifMovie FeatureGif(int width, int height, int netscape_loop) {
    std::mt19937 rng(7);
    GifMovie movie;
    movie.width = width, movie.height = height;
    movie.global_map = RandomMap(&rng, 64);
    movie.netscape_loop = netscape_loop;
    GifFrame first = RandomFrame(&rng, 0, 0, width, height, 64);
    first.transparent = 5;  // the canvas starts transparent: some pixels stay so
    first.disposal = DISPOSE_DO_NOT;
    first.delay_cs = 10;
    GifFrame second = RandomFrame(&rng, 5, 3, width / 2, height / 2, 16);
    second.local_map = RandomMap(&rng, 16);
    second.transparent = 2;
    second.disposal = DISPOSE_PREVIOUS;
    second.delay_cs = 0;
    GifFrame third = RandomFrame(&rng, width / 3, height / 4, width / 2, height / 2 + 3, 64);
    third.interlace = true;
    third.disposal = DISPOSE_BACKGROUND;
    third.delay_cs = 25;
    GifFrame fourth = RandomFrame(&rng, width - 10, height - 7, 30, 20, 64);  // mostly outside
    fourth.disposal = 0;                                                      // none given
    fourth.delay_cs = 7;
    movie.frames = {first, second, third, fourth};
    return movie;
}

// ----------------------------------------------------------- WebP making

Bytes MakeWebp(int width, int height, const std::vector<Rgba>& frames, const std::vector<int>& durations_ms,
               int loop_count) {
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    options.anim_params.loop_count = loop_count;
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(width, height, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    int timestamp = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.width = width, picture.height = height, picture.use_argb = 1;
        WebPPictureImportRGBA(&picture, frames[i].data(), width * 4);
        EXPECT_TRUE(WebPAnimEncoderAdd(encoder, &picture, timestamp, &config));
        WebPPictureFree(&picture);
        timestamp += durations_ms[i];
    }
    WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    EXPECT_TRUE(WebPAnimEncoderAssemble(encoder, &data));
    Bytes bytes(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return bytes;
}

// Gradient frames with a half-transparent band that moves.
std::vector<Rgba> WebpFrames(int width, int height, int count) {
    std::vector<Rgba> frames;
    for (int f = 0; f < count; ++f) {
        Rgba px(static_cast<size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 4];
                p[0] = static_cast<uint8_t>(x * 255 / width + f * 40);
                p[1] = static_cast<uint8_t>(y * 255 / height);
                p[2] = static_cast<uint8_t>((x + y) * 3 + f * 90);
                int band = (x + 2 * f * 7) % 23;
                p[3] = band < 4 ? 0 : band < 6 ? 100 : 255;
            }
        }
        frames.push_back(px);
    }
    return frames;
}

// ------------------------------------------------------- reading outputs

struct Decoded {
    int width = 0, height = 0;
    int loop_count = -1;  // as the format stores it
    std::vector<Rgba> frames;
    std::vector<int> durations;  // ms for WebP, centiseconds for GIF
    std::vector<std::vector<GifColorType>> palettes;
};

Decoded ReadWebp(const ByteBuffer& bytes) {
    Decoded d;
    WebPData data = {bytes.data(), bytes.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    EXPECT_NE(decoder, nullptr);
    if (!decoder) return d;
    WebPAnimInfo info;
    WebPAnimDecoderGetInfo(decoder, &info);
    d.width = info.canvas_width, d.height = info.canvas_height, d.loop_count = info.loop_count;
    int previous = 0;
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        uint8_t* px = nullptr;
        int timestamp = 0;
        EXPECT_TRUE(WebPAnimDecoderGetNext(decoder, &px, &timestamp));
        d.frames.emplace_back(px, px + static_cast<size_t>(d.width) * d.height * 4);
        d.durations.push_back(timestamp - previous);
        previous = timestamp;
    }
    WebPAnimDecoderDelete(decoder);
    return d;
}

int ReadBytes(GifFileType* gif, GifByteType* bytes, int length) {
    auto* input = static_cast<std::pair<const ByteBuffer*, size_t>*>(gif->UserData);
    int count = static_cast<int>(std::min<size_t>(length, input->first->size() - input->second));
    memcpy(bytes, input->first->data() + input->second, count);
    input->second += count;
    return count;
}

int NetscapeLoop(const ExtensionBlock* blocks, int count) {
    for (int i = 0; i + 1 < count; ++i) {
        if (blocks[i].Function == APPLICATION_EXT_FUNC_CODE && blocks[i].ByteCount == 11 &&
            memcmp(blocks[i].Bytes, "NETSCAPE2.0", 11) == 0 && blocks[i + 1].ByteCount >= 3) {
            return blocks[i + 1].Bytes[1] | blocks[i + 1].Bytes[2] << 8;
        }
    }
    return -1;
}

// The writer makes whole-canvas frames, so each frame is read on its own.
Decoded ReadGif(const ByteBuffer& bytes) {
    Decoded d;
    std::pair<const ByteBuffer*, size_t> input(&bytes, 0);
    int error = 0;
    GifFileType* gif = DGifOpen(&input, ReadBytes, &error);
    EXPECT_NE(gif, nullptr);
    if (!gif) return d;
    EXPECT_EQ(DGifSlurp(gif), GIF_OK);
    d.width = gif->SWidth, d.height = gif->SHeight;
    d.loop_count = NetscapeLoop(gif->ExtensionBlocks, gif->ExtensionBlockCount);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        if (i == 0 && d.loop_count < 0)
            d.loop_count = NetscapeLoop(image.ExtensionBlocks, image.ExtensionBlockCount);
        EXPECT_EQ(image.ImageDesc.Left, 0);
        EXPECT_EQ(image.ImageDesc.Top, 0);
        EXPECT_EQ(image.ImageDesc.Width, d.width);
        EXPECT_EQ(image.ImageDesc.Height, d.height);
        GraphicsControlBlock gcb;
        EXPECT_EQ(DGifSavedExtensionToGCB(gif, i, &gcb), GIF_OK);
        // Each frame covers the canvas and is cleared before the next.
        EXPECT_EQ(gcb.DisposalMode, DISPOSE_BACKGROUND);
        const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
        EXPECT_NE(map, nullptr);
        if (!map) break;
        d.palettes.emplace_back(map->Colors, map->Colors + map->ColorCount);
        Rgba px(static_cast<size_t>(d.width) * d.height * 4);
        for (size_t p = 0; p < px.size() / 4; ++p) {
            int index = image.RasterBits[p];
            bool clear = index == gcb.TransparentColor;
            px[p * 4] = clear ? 0 : map->Colors[index].Red;
            px[p * 4 + 1] = clear ? 0 : map->Colors[index].Green;
            px[p * 4 + 2] = clear ? 0 : map->Colors[index].Blue;
            px[p * 4 + 3] = clear ? 0 : 255;
        }
        d.frames.push_back(px);
        d.durations.push_back(gcb.DelayTime);
    }
    DGifCloseFile(gif, &error);
    return d;
}

// --------------------------------------------------------------- effect

// The mosaic with default settings on the RGBA canvas, as the tool runs it.
struct Mosaic {
    polarmosaic::MosaicHost host;
    int calls = 0;

    void Prepare(int width, int height) {
        std::string reason, error;
        polarmosaic::MosaicOptions options =
            polarmosaic::ResolveSettings(polarmosaic::UserSettings(), width, height, &reason);
        ASSERT_EQ(reason, "");
        ASSERT_TRUE(host.Prepare(width, height, options, &error)) << error;
    }
    FrameEffect Effect() {
        return [this](uint8_t* rgba, int width, int height, int, std::string*) {
            EXPECT_EQ(width, host.width());
            EXPECT_EQ(height, host.height());
            host.Apply(rgba, width * 4, rgba, width * 4, 4);
            ++calls;
            return true;
        };
    }
    Rgba Expected(Rgba canvas, int width) {
        host.Apply(canvas.data(), width * 4, canvas.data(), width * 4, 4);
        return canvas;
    }
};

FrameEffect Identity() {
    return [](uint8_t*, int, int, int, std::string*) { return true; };
}

// Pixels differ only where something shows: a fully transparent pixel's
// colour is not part of the picture, and WebP does not keep it.
int VisibleDifferences(const Rgba& a, const Rgba& b) {
    int count = 0;
    for (size_t p = 0; p + 3 < a.size() && a.size() == b.size(); p += 4) {
        bool same = a[p + 3] == b[p + 3] && (a[p + 3] == 0 || memcmp(&a[p], &b[p], 3) == 0);
        count += !same;
    }
    return a.size() == b.size() ? count : -1;
}

int ChannelDistance2(const uint8_t* a, const uint8_t* b) {
    int d = 0;
    for (int c = 0; c < 3; ++c) d += (a[c] - b[c]) * (a[c] - b[c]);
    return d;
}

// Mean RGB distance over the pixels opaque in both.
double MeanOpaqueError(const Rgba& a, const Rgba& b) {
    double total = 0;
    int count = 0;
    for (size_t p = 0; p < a.size(); p += 4) {
        if (a[p + 3] < 128 || b[p + 3] < 128) continue;
        total += std::sqrt(ChannelDistance2(&a[p], &b[p]));
        ++count;
    }
    return count ? total / count : 0;
}

ByteBuffer Transform(const Bytes& in, AnimationFormat format, const AnimationSettings& settings,
                     const FrameEffect& effect, AnimationInfo* info) {
    ByteBuffer out;
    std::string error;
    EXPECT_TRUE(TransformAnimation(in.data(), in.size(), format, settings, effect, &out, &error, info))
        << error;
    return out;
}

AnimationSettings Lossless() {
    AnimationSettings settings;
    settings.lossless = true;
    return settings;
}

// -------------------------------------------------------------- tests

TEST(Animation, GifToLosslessWebpIsTheMosaicOfEachComposedFrame) {
    const int width = 96, height = 64;
    GifMovie movie = FeatureGif(width, height, 2);
    Bytes gif = MakeGif(movie);
    Mosaic mosaic;
    mosaic.Prepare(width, height);
    AnimationInfo info;
    ByteBuffer out = Transform(gif, AnimationFormat::kWebp, Lossless(), mosaic.Effect(), &info);
    EXPECT_EQ(info.width, width);
    EXPECT_EQ(info.height, height);
    EXPECT_EQ(info.frames, 4);
    EXPECT_EQ(info.loop_count, 3);  // two repeats after the first play
    EXPECT_EQ(mosaic.calls, 4);

    Decoded webp = ReadWebp(out);
    EXPECT_EQ(webp.width, width);
    EXPECT_EQ(webp.height, height);
    EXPECT_EQ(webp.loop_count, 3);
    EXPECT_EQ(webp.durations, (std::vector<int>{100, 0, 250, 70}));
    std::vector<Rgba> shown = ComposeGif(movie);
    ASSERT_EQ(webp.frames.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(VisibleDifferences(webp.frames[i], mosaic.Expected(shown[i], width)), 0)
            << "frame " << i + 1;
    }
}

// Random frame rectangles, disposals, transparency and interlace: the
// canvases read are those a browser composes.
TEST(Animation, GifCompositionMatchesAnIndependentComposerOnRandomFiles) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        GifMovie movie;
        movie.width = 20 + static_cast<int>(rng() % 40);
        movie.height = 10 + static_cast<int>(rng() % 40);
        movie.global_map = RandomMap(&rng, 32);
        int frames = 2 + static_cast<int>(rng() % 6);
        for (int i = 0; i < frames; ++i) {
            int left = static_cast<int>(rng() % movie.width), top = static_cast<int>(rng() % movie.height);
            int w = 1 + static_cast<int>(rng() % movie.width), h = 1 + static_cast<int>(rng() % movie.height);
            bool local = rng() % 2;
            GifFrame f = RandomFrame(&rng, left, top, w, h, local ? 8 : 32);
            if (local) f.local_map = RandomMap(&rng, 8);
            f.interlace = rng() % 2;
            f.transparent = rng() % 3 == 0 ? NO_TRANSPARENT_COLOR : static_cast<int>(rng() % 8);
            f.disposal = static_cast<int>(rng() % 4);
            f.delay_cs = 1 + i;  // distinct, so no two output frames merge
            movie.frames.push_back(f);
        }
        Bytes gif = MakeGif(movie);
        AnimationInfo info;
        ByteBuffer out = Transform(gif, AnimationFormat::kWebp, Lossless(), Identity(), &info);
        Decoded webp = ReadWebp(out);
        std::vector<Rgba> shown = ComposeGif(movie);
        // Identical neighbours merge in WebP: compare against the distinct run.
        std::vector<Rgba> distinct;
        std::vector<int> durations;
        for (size_t i = 0; i < shown.size(); ++i) {
            if (!distinct.empty() && VisibleDifferences(distinct.back(), shown[i]) == 0) {
                durations.back() += movie.frames[i].delay_cs * 10;
                continue;
            }
            distinct.push_back(shown[i]);
            durations.push_back(movie.frames[i].delay_cs * 10);
        }
        EXPECT_EQ(info.frames, frames) << "seed " << seed;
        EXPECT_EQ(info.loop_count, 1) << "seed " << seed;  // no loop extension: one play
        ASSERT_EQ(webp.frames.size(), distinct.size()) << "seed " << seed;
        EXPECT_EQ(webp.durations, durations) << "seed " << seed;
        for (size_t i = 0; i < distinct.size(); ++i) {
            EXPECT_EQ(VisibleDifferences(webp.frames[i], distinct[i]), 0)
                << "seed " << seed << " frame " << i + 1;
        }
    }
}

TEST(Animation, WebpToGifKeepsDurationsLoopAndMapsEachPixelToItsPaletteEntry) {
    const int width = 80, height = 60;
    std::vector<Rgba> frames = WebpFrames(width, height, 3);
    Bytes webp = MakeWebp(width, height, frames, {124, 40, 1000}, 0);
    Mosaic mosaic;
    mosaic.Prepare(width, height);
    AnimationInfo info;
    ByteBuffer out = Transform(webp, AnimationFormat::kGif, AnimationSettings(), mosaic.Effect(), &info);
    EXPECT_EQ(info.frames, 3);
    EXPECT_EQ(info.loop_count, 0);

    Decoded gif = ReadGif(out);
    EXPECT_EQ(gif.width, width);
    EXPECT_EQ(gif.height, height);
    EXPECT_EQ(gif.loop_count, 0);                              // NETSCAPE2.0 0: for ever
    EXPECT_EQ(gif.durations, (std::vector<int>{12, 4, 100}));  // centiseconds, rounded
    ASSERT_EQ(gif.frames.size(), 3u);
    std::vector<Rgba> expected;
    for (const Rgba& frame : frames) expected.push_back(mosaic.Expected(frame, width));
    // The mosaic's blended edges give each frame about 2000 colours for 256
    // entries, and libimagequant moves each entry to the mean of its pixels
    // after mapping them, so neither "nearest entry" nor any exact colour
    // holds. What does: alpha exactly (below 128 transparent, else opaque);
    // a small mean error; a tail of far pixels no longer than 256 entries
    // for ~2000 colours leave (measured: mean 3.6 to 4.8, 99% within 16 to
    // 21 levels, none beyond 41; bounds 6, 28, 64); and each frame far
    // nearer to its own mosaic than to any other frame's, which a wrong
    // frame order, row order or palette would break.
    for (size_t i = 0; i < frames.size(); ++i) {
        std::vector<double> errors;
        for (size_t p = 0; p < expected[i].size(); p += 4) {
            const uint8_t* e = &expected[i][p];
            const uint8_t* o = &gif.frames[i][p];
            ASSERT_EQ(o[3], e[3] < 128 ? 0 : 255) << "frame " << i + 1 << " pixel " << p / 4;
            if (e[3] >= 128) errors.push_back(std::sqrt(ChannelDistance2(e, o)));
        }
        std::sort(errors.begin(), errors.end());
        double mean = 0;
        for (double e : errors) mean += e / errors.size();
        EXPECT_LT(mean, 6.0) << "frame " << i + 1;
        EXPECT_LE(errors[errors.size() * 99 / 100], 28.0) << "frame " << i + 1;
        EXPECT_LE(errors.back(), 64.0) << "frame " << i + 1;
        for (size_t j = 0; j < frames.size(); ++j) {
            if (j != i)
                EXPECT_GT(MeanOpaqueError(expected[j], gif.frames[i]), 3 * mean) << i + 1 << " vs " << j + 1;
        }
    }
}

// Loop counts: GIF stores the repeats after the first play (no extension:
// one play), WebP the plays. Frames of at most 256 colours come through a
// GIF round trip exactly: each colour gets its own palette entry.
TEST(Animation, LoopCountsAndFewColourFramesSurviveEveryPairOfFormats) {
    struct Case {
        int netscape_loop;  // of the GIF made
        int plays;          // AnimationInfo::loop_count
    };
    const Case cases[] = {{-1, 1}, {0, 0}, {4, 5}, {65534, 65535}};
    for (const Case& c : cases) {
        GifMovie movie = FeatureGif(40, 30, c.netscape_loop);
        std::vector<Rgba> shown = ComposeGif(movie);
        AnimationInfo info;
        Decoded gif =
            ReadGif(Transform(MakeGif(movie), AnimationFormat::kGif, AnimationSettings(), Identity(), &info));
        EXPECT_EQ(info.loop_count, c.plays) << c.netscape_loop;
        EXPECT_EQ(gif.loop_count, c.netscape_loop);
        EXPECT_EQ(gif.durations, (std::vector<int>{10, 0, 25, 7}));
        ASSERT_EQ(gif.frames.size(), shown.size());
        for (size_t i = 0; i < shown.size(); ++i)
            EXPECT_EQ(VisibleDifferences(gif.frames[i], shown[i]), 0) << i + 1;

        Decoded webp =
            ReadWebp(Transform(MakeGif(movie), AnimationFormat::kWebp, Lossless(), Identity(), &info));
        EXPECT_EQ(webp.loop_count, c.plays);
        Bytes webp_bytes = MakeWebp(40, 30, shown, {100, 30, 250, 70}, c.plays);
        gif = ReadGif(Transform(webp_bytes, AnimationFormat::kGif, AnimationSettings(), Identity(), &info));
        EXPECT_EQ(info.loop_count, c.plays);
        EXPECT_EQ(gif.loop_count, c.netscape_loop);
        EXPECT_EQ(gif.durations, (std::vector<int>{10, 3, 25, 7}));
        webp = ReadWebp(Transform(webp_bytes, AnimationFormat::kWebp, Lossless(), Identity(), &info));
        EXPECT_EQ(webp.loop_count, c.plays);
        EXPECT_EQ(webp.durations, (std::vector<int>{100, 30, 250, 70}));
        ASSERT_EQ(webp.frames.size(), shown.size());
        for (size_t i = 0; i < shown.size(); ++i)
            EXPECT_EQ(VisibleDifferences(webp.frames[i], shown[i]), 0) << i + 1;
    }
}

TEST(Animation, IsAnimationTellsGifAndAnimatedWebpFromOtherData) {
    std::vector<Rgba> frames = WebpFrames(8, 8, 2);
    uint8_t* still = nullptr;
    size_t still_size = WebPEncodeLosslessRGBA(frames[0].data(), 8, 8, 32, &still);
    Bytes still_webp(still, still + still_size);
    WebPFree(still);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    struct Case {
        const char* name;
        Bytes data;
        bool animation;
    };
    const Case cases[] = {
        {"GIF89a", MakeGif(FeatureGif(20, 20, 0)), true},
        {"GIF87a", {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0, 0, 0}, true},
        {"animated WebP", MakeWebp(8, 8, frames, {10, 10}, 0), true},
        {"still WebP", still_webp, false},
        {"PNG", png, false},
        {"short", {'G', 'I', 'F', '8'}, false},
        {"empty", {}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(polarmosaic::IsAnimation(c.data.data(), c.data.size()), c.animation) << c.name;
}

// Offset in the WebP file of frame `index`'s (from 1) bitstream.
size_t WebpFrameOffset(const Bytes& webp, int index) {
    WebPData data = {webp.data(), webp.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    WebPIterator iter;
    size_t offset = 0;
    if (demux && WebPDemuxGetFrame(demux, index, &iter)) {
        offset = static_cast<size_t>(iter.fragment.bytes - webp.data());
        WebPDemuxReleaseIterator(&iter);
    }
    WebPDemuxDelete(demux);
    EXPECT_GT(offset, 0u);
    return offset;
}

Bytes Prefix(const Bytes& data, size_t size) { return Bytes(data.begin(), data.begin() + size); }

TEST(Animation, HostileInputIsRefusedWithItsReasonBeforeAnyCanvasIsTaken) {
    GifMovie movie = FeatureGif(64, 48, 0);
    // End of frame k: a GIF of the first k frames, without its trailer.
    auto frames_end = [&movie](int k) {
        GifMovie part = movie;
        part.frames.resize(k);
        return MakeGif(part).size() - 1;
    };
    Bytes gif = MakeGif(movie);
    Bytes webp = MakeWebp(64, 48, ComposeGif(movie), {10, 20, 30, 40}, 0);

    // A 1 x 1 picture without any colour map: written by hand (LZW of one
    // index 0 with 2-bit codes: clear, 0, end).
    Bytes no_map = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0,    0,    0, 0x2c, 0,
                    0,   0,   0,   1,   0,   1,   0, 0, 2, 2, 0x44, 0x01, 0, 0x3b};
    GifMovie huge;
    huge.width = 40000, huge.height = 2;
    huge.global_map = {{1, 2, 3}, {4, 5, 6}};
    GifFrame dot;
    dot.width = dot.height = 1;
    dot.indices = {1};
    huge.frames = {dot};
    GifMovie many;
    many.width = many.height = 1;
    many.global_map = huge.global_map;
    many.frames.assign(polarmosaic::kMaxAnimationFrames + 1, dot);

    struct Case {
        const char* name;
        Bytes data;
        std::vector<std::string> message;  // parts the error must hold
    };
    const Case cases[] = {
        {"GIF cut in frame 2", Prefix(gif, frames_end(1) + 40), {"truncated GIF", "frame 2"}},
        {"GIF cut in frame 4", Prefix(gif, frames_end(4) - 2), {"truncated GIF", "frame 4"}},
        {"GIF cut in its header", Prefix(gif, 9), {"truncated GIF"}},
        {"WebP cut in frame 2", Prefix(webp, WebpFrameOffset(webp, 2) + 30), {"truncated WebP", "frame 2"}},
        {"WebP cut in frame 3", Prefix(webp, WebpFrameOffset(webp, 3) + 5), {"truncated WebP", "frame 3"}},
        {"WebP cut in its header", Prefix(webp, 20), {"truncated WebP"}},
        {"no colour map", no_map, {"frame 1", "no colour map"}},
        {"canvas too wide", MakeGif(huge), {"40000 x 2", "larger than 32752 x 32767"}},
        {"too many frames", MakeGif(many), {"more than 100000 frames"}},
        {"PNG", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}, {"not a GIF or WebP animation"}},
    };
    for (const Case& c : cases) {
        AnimationSettings settings;
        bool reserved = false;
        settings.reserve = [&reserved](int, int, uint64_t, std::string*) { return reserved = true; };
        int effect_calls = 0;
        FrameEffect effect = [&effect_calls](uint8_t*, int, int, int, std::string*) {
            return ++effect_calls > 0;
        };
        ByteBuffer out;
        std::string error;
        EXPECT_FALSE(TransformAnimation(c.data.data(), c.data.size(), AnimationFormat::kWebp, settings,
                                        effect, &out, &error))
            << c.name;
        for (const std::string& part : c.message)
            EXPECT_NE(error.find(part), std::string::npos) << c.name << ": " << error;
        // Truncation and limits are found before any pixel is decoded; a
        // missing map only when its frame comes.
        if (std::string(c.name) != "no colour map") {
            EXPECT_FALSE(reserved) << c.name;
            EXPECT_EQ(effect_calls, 0) << c.name;
        }
    }
}

TEST(Animation, ReserveSeesTheCanvasBeforeAllocationAndCanRefuse) {
    Bytes gif = MakeGif(FeatureGif(64, 48, 0));
    for (AnimationFormat format : {AnimationFormat::kGif, AnimationFormat::kWebp}) {
        AnimationSettings settings;
        int seen_width = 0, seen_height = 0;
        uint64_t seen_bytes = 0;
        settings.reserve = [&](int width, int height, uint64_t bytes, std::string* error) {
            seen_width = width, seen_height = height, seen_bytes = bytes;
            *error = "needs more memory than the budget";
            return false;
        };
        bool effect_ran = false;
        FrameEffect effect = [&effect_ran](uint8_t*, int, int, int, std::string*) {
            return effect_ran = true;
        };
        ByteBuffer out;
        std::string error;
        EXPECT_FALSE(TransformAnimation(gif.data(), gif.size(), format, settings, effect, &out, &error));
        EXPECT_EQ(error, "needs more memory than the budget");
        EXPECT_EQ(seen_width, 64);
        EXPECT_EQ(seen_height, 48);
        // At least the composed canvas, the one disposal 3 restores and the
        // effect's copy.
        EXPECT_GE(seen_bytes, 3u * 64 * 48 * 4);
        EXPECT_FALSE(effect_ran);
    }
}

// Frames wholly or partly off the canvas are clipped (the GIF format lets a
// frame's position reach 65535); an effect's failure names its frame.
TEST(Animation, FramesOffTheCanvasAreClippedAndEffectFailuresNameTheFrame) {
    GifMovie movie = FeatureGif(30, 20, 0);
    std::mt19937 rng(3);
    GifFrame away = RandomFrame(&rng, 200, 5, 10, 10, 64);
    away.delay_cs = 3;
    GifFrame far_below = RandomFrame(&rng, 2, 65000, 10, 535, 64);
    far_below.delay_cs = 4;
    movie.frames.insert(movie.frames.begin() + 1, {away, far_below});
    Bytes gif = MakeGif(movie);
    AnimationInfo info;
    Decoded out = ReadGif(Transform(gif, AnimationFormat::kGif, AnimationSettings(), Identity(), &info));
    std::vector<Rgba> shown = ComposeGif(movie);
    EXPECT_EQ(info.frames, 6);
    ASSERT_EQ(out.frames.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(VisibleDifferences(out.frames[i], shown[i]), 0) << i + 1;
    EXPECT_EQ(VisibleDifferences(out.frames[1], out.frames[0]), 0);

    FrameEffect failing = [](uint8_t*, int, int, int index, std::string* error) {
        *error = "effect refused";
        return index < 2;
    };
    ByteBuffer bytes;
    std::string error;
    EXPECT_FALSE(TransformAnimation(gif.data(), gif.size(), AnimationFormat::kGif, AnimationSettings(),
                                    failing, &bytes, &error));
    EXPECT_EQ(error, "frame 3: effect refused");
}

}  // namespace

// ------------------------------------------------------------ the tool

// RGBA pixels of a PNG, read with libpng's simplified API.
Rgba ReadPngRgba(const Bytes& data, int* width, int* height) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_memory(&image, data.data(), data.size()));
    image.format = PNG_FORMAT_RGBA;
    Rgba px(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr));
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return px;
}

// The tool's result for one canvas given as an RGBA PNG, as RGBA.
Rgba ToolStill(const pmtest::TempDir& dir, const Rgba& canvas, int width, int height,
               const std::vector<std::string>& settings) {
    pmtest::WriteFileBytes(dir.File("still.png"),
                           pmtest::PngBytes(width, height, PNG_FORMAT_RGBA, canvas.data()));
    std::vector<std::string> args = settings;
    args.insert(args.end(), {"still.png", "still-out.png"});
    pmtest::ToolRun run = pmtest::RunTool(dir.path(), args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    int w = 0, h = 0;
    return ReadPngRgba(pmtest::ReadFileBytes(dir.File("still-out.png")), &w, &h);
}

// Animated GIF and WebP through the tool: the same frames, durations and
// loop count, and each frame the tool's result for that frame as a still
// picture (exactly, in lossless WebP); a still output takes the first frame
// and says so.
TEST(ToolAnimation, EachFrameIsTheToolsStillResult) {
    pmtest::TempDir dir;
    const GifMovie movie = FeatureGif(64, 48, 2);
    const std::vector<Rgba> gif_canvases = ComposeGif(movie);
    pmtest::WriteFileBytes(dir.File("in.gif"), MakeGif(movie));
    const std::vector<Rgba> webp_frames = WebpFrames(50, 40, 3);
    pmtest::WriteFileBytes(dir.File("in.webp"), MakeWebp(50, 40, webp_frames, {120, 40, 300}, 0));
    struct Case {
        const char* input;
        std::vector<std::string> settings;
    };
    const Case cases[] = {
        {"in.gif", {}},
        {"in.gif", {"--classic"}},
        {"in.webp", {"-s", "12", "--centre", "30%,40%", "-c", "200,40,10"}},
    };
    for (const Case& c : cases) {
        const bool gif = std::string(c.input) == "in.gif";
        const std::vector<Rgba>& canvases = gif ? gif_canvases : webp_frames;
        const int width = gif ? 64 : 50, height = gif ? 48 : 40;
        std::vector<std::string> args = c.settings;
        args.insert(args.end(), {"--lossless", c.input, "out.webp"});
        pmtest::ToolRun run = pmtest::RunTool(dir.path(), args);
        ASSERT_EQ(run.exit_code, 0) << c.input << ": " << run.err;
        ByteBuffer out;
        const Bytes written = pmtest::ReadFileBytes(dir.File("out.webp"));
        out.assign(written.begin(), written.end());
        const Decoded decoded = ReadWebp(out);
        ASSERT_EQ(decoded.frames.size(), canvases.size()) << c.input;
        EXPECT_EQ(decoded.loop_count, gif ? 3 : 0) << c.input;  // GIF: 2 repeats, 3 plays
        const std::vector<int> durations =
            gif ? std::vector<int>{100, 0, 250, 70} : std::vector<int>{120, 40, 300};
        EXPECT_EQ(decoded.durations, durations) << c.input;
        for (size_t i = 0; i < canvases.size(); ++i) {
            EXPECT_EQ(
                VisibleDifferences(decoded.frames[i], ToolStill(dir, canvases[i], width, height, c.settings)),
                0)
                << c.input << " frame " << i + 1;
        }
    }
    // GIF out keeps the frame count and timing; a still output takes the
    // first frame, with a warning.
    pmtest::ToolRun run = pmtest::RunTool(dir.path(), {"in.webp", "out.gif"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ByteBuffer gif_out;
    const Bytes gif_bytes = pmtest::ReadFileBytes(dir.File("out.gif"));
    gif_out.assign(gif_bytes.begin(), gif_bytes.end());
    const Decoded gif_decoded = ReadGif(gif_out);
    EXPECT_EQ(gif_decoded.frames.size(), 3u);
    EXPECT_EQ(gif_decoded.durations, (std::vector<int>{12, 4, 30}));
    run = pmtest::RunTool(dir.path(), {"in.gif", "first.png"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(pmtest::Contains(run.err, "an animation of 4 frames: only the first is written")) << run.err;
    int w = 0, h = 0;
    EXPECT_EQ(VisibleDifferences(ReadPngRgba(pmtest::ReadFileBytes(dir.File("first.png")), &w, &h),
                                 ToolStill(dir, gif_canvases[0], 64, 48, {})),
              0);
}
