// worker.cpp - one picture from file to file, within the memory budget: a
// decoder that finds the picture too big for what is free now gives all
// back, waits for the whole need and reads the file again.
#include "worker.h"

#include <stdio.h>
#include <string.h>

#include <new>
#include <thread>

#include "animation.h"
#include "demo_image.h"
#include "file_io.h"
#include "image_io.h"
#include "metadata.h"
#include "pixel_checksum.h"

namespace polarmosaic {
namespace {

// The host options for one image: lengths and the centre depend on its
// size, the classic polar terms on its width. Empty reason when usable.
MosaicOptions OptionsForImage(const ToolOptions& options, int width, int height, std::string* reason) {
    return ResolveSettings(options.effect, width, height, reason);
}

}  // namespace

void Worker::Run(Job* job) {
    try {
        RunOnce(job);
    } catch (const std::bad_alloc&) {
        Drop();
        job->error = job->input + ": out of memory";
    }
}

bool Worker::TryHold(const MemoryParts& need) {
    MemoryParts target = retained_.Max(need);
    uint64_t sum = target.Sum();
    if (sum > held_ && !budget_->TryAcquire(sum - held_)) return false;
    if (sum > held_) held_ = sum;
    retained_ = target;
    return true;
}

bool Worker::Hold(const MemoryParts& need, const std::string& name, std::string* error) {
    if (need.Sum() > budget_->total()) {
        *error = name + ": " + OverBudgetText(need.Sum(), budget_->total());
        return false;
    }
    if (TryHold(need)) return true;
    WaitForWhole(need);
    return true;
}

void Worker::WaitForWhole(const MemoryParts& need) {
    Drop();
    budget_->Acquire(need.Sum());
    held_ = need.Sum();
    retained_ = need;
}

void Worker::Drop() {
    file_ = ByteBuffer();
    image_.rgb = ByteBuffer();
    encoded_ = ByteBuffer();
    host_ = MosaicHost();
    if (held_ > 0) budget_->Release(held_);
    held_ = 0;
    retained_ = MemoryParts();
}

MemoryParts Worker::ImageParts(MemoryParts need, int width, int height, int channels, uint64_t decoder_bytes,
                               bool estimate_plan) {
    uint64_t pixels = static_cast<uint64_t>(width) * height;
    need.part[MemoryParts::kDecoder] = decoder_bytes;
    need.part[MemoryParts::kRgb] = pixels * channels;
    // Three planes in and three out; with alpha kept, an alpha plane each.
    need.part[MemoryParts::kPlanes] =
        options_.no_effect ? 0 : (channels == 4 ? 8 : 6) * static_cast<uint64_t>((width + 15) & ~15) * height;
    // The fitted plan and a frame's scratch, measured for this size (or
    // estimated, for a plan built while the picture decodes).
    need.part[MemoryParts::kPlan] = 0;
    if (FittedEffect() && estimate_plan) {
        need.part[MemoryParts::kPlan] = kPlanEstimatePerPixel * pixels + kPlanEstimateExtra;
    } else if (FittedEffect()) {
        std::string ignored;  // the same reason comes again from Prepare
        MosaicOptions mosaic = OptionsForImage(options_, width, height, &ignored);
        mosaic.threads = threads_;
        // The rest of the budget bounds the plan's head, which measuring takes.
        const uint64_t others = need.Sum();
        const uint64_t room = budget_->total() > others ? budget_->total() - others : 0;
        if (ignored.empty())
            need.part[MemoryParts::kPlan] = host_.PlanBytes(width, height, mosaic, &ignored, room);
    }
    // Compressed output stays below the raw size but for a little framing.
    need.part[MemoryParts::kEncoded] = pixels * channels + pixels / 32 + (1 << 20);
    return need;
}

bool Worker::FittedEffect() const { return !options_.no_effect && !options_.effect.classic; }

void Worker::PrepareWhileDecoding(int width, int height, uint64_t plan_bytes, JoinOnExit* preparing,
                                  bool* built) {
    *built = false;
    std::string reason;
    MosaicOptions mosaic = OptionsForImage(options_, width, height, &reason);
    if (!reason.empty()) return;
    mosaic.threads = threads_;
    // Only a head start: the Prepare after decoding finds the plan built,
    // or builds it and reports what went wrong. Nothing may be thrown back
    // through the decoder.
    try {
        preparing->thread = std::thread([this, width, height, mosaic, plan_bytes, built] {
            try {
                if (plan_bytes > 0) {
                    *built = host_.BuildPlanHere(width, height, mosaic, plan_bytes);
                } else {
                    std::string ignored;
                    host_.Prepare(width, height, mosaic, &ignored);
                }
            } catch (const std::bad_alloc&) {
            }
        });
    } catch (const std::exception&) {
    }
}

void Worker::RunOnce(Job* job) {
    const std::string& name = job->input;
    std::string reason;
    MemoryParts need;
    if (options_.demo) {
        need = ImageParts(need, kDemoWidth, kDemoHeight, 3, 0);
        if (!Hold(need, name, &job->error)) return;
        const DemoImage demo = MakeDemoImage();
        image_ = Image();
        image_.width = demo.width;
        image_.height = demo.height;
        image_.rgb.assign(demo.rgb.begin(), demo.rgb.end());
    } else {
        int64_t file_size = RegularFileSize(job->input);
        // What the file is decides before its size: a large file that is
        // no image is "not an image", not "needs 8 GiB".
        ByteBuffer head;
        if (file_size > 0 && ReadFileHead(job->input, 64, &head) &&
            !CheckImageHead(head.data(), head.size(), &reason)) {
            job->error = name + ": " + reason;
            return;
        }
        need.part[MemoryParts::kFile] = file_size > 0 ? file_size : 0;
        if (!Hold(need, name, &job->error)) return;
        // Set when the decoder found the image too big for what is free now:
        // then everything is freed, the whole need waited for, and the file
        // read again.
        bool retry = false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            ReadOptions read;
            read.max_bytes = budget_->total();
            read.check_head = CheckImageHead;
            // A stream is counted as it is read: the memory taken for it is
            // held before the buffer grows.
            read.grow = [&](uint64_t bytes, std::string* error) {
                MemoryParts more = need;
                more.part[MemoryParts::kFile] = std::min(bytes, budget_->total());
                if (TryHold(more)) {
                    need = more;
                    return true;
                }
                *error = "not enough of the memory budget free to read it (--memory)";
                return false;
            };
            if (!ReadWholeFile(job->input, read, &file_, &reason)) {
                job->error = name + ": " + reason;
                return;
            }
            if (need.part[MemoryParts::kFile] < file_.size()) {  // standard input
                need.part[MemoryParts::kFile] = file_.size();
                if (!TryHold(need)) {
                    job->error = name + ": not enough of the memory budget free (--memory)";
                    return;
                }
            }
            // An animation into an animated format goes frame by frame.
            if ((job->format == ImageFormat::kGif || job->format == ImageFormat::kWebp) &&
                IsAnimation(file_.data(), file_.size())) {
                retry = false;
                if (RunAnimation(job, &need, &retry, &reason)) return;
                if (!retry || attempt > 0 || file_size < 0) {
                    job->error = name + ": " + reason;
                    return;
                }
                WaitForWhole(need);
                continue;
            }
            LoadSettings settings;
            memcpy(settings.background, options_.background, 3);
            settings.auto_orient = options_.auto_orient;
            // Alpha is kept where the output holds it and the geometry averages
            // it (the classic one lays it over the background).
            settings.keep_alpha = FormatHasAlpha(job->format) && !options_.effect.classic;
            // The fitted plan needs only the picture's size: it is built
            // while the picture decodes. With its memory estimated it is
            // built in one walk on another thread; when the budget will not
            // hold the estimate, it is measured first and then built on the
            // host's threads.
            JoinOnExit preparing;
            bool estimated = false;  // the plan's memory in need is an estimate
            bool built_here = false;
            int upright_width = 0, upright_height = 0;
            settings.reserve = [&](int width, int height, uint64_t decoder_bytes, std::string* error) {
                preparing.Join();
                // Upright sizes: turned pictures swap them after decoding.
                if (settings.auto_orient && image_.orientation >= 5) std::swap(width, height);
                upright_width = width;
                upright_height = height;
                if (FittedEffect()) {
                    const MemoryParts quick =
                        ImageParts(need, width, height, image_.channels, decoder_bytes, true);
                    if (quick.Sum() <= budget_->total() && TryHold(quick)) {
                        need = quick;
                        estimated = true;
                        PrepareWhileDecoding(width, height, quick.part[MemoryParts::kPlan], &preparing,
                                             &built_here);
                        return true;
                    }
                }
                estimated = false;
                need = ImageParts(need, width, height, image_.channels, decoder_bytes);
                if (need.Sum() > budget_->total()) {
                    *error = OverBudgetText(need.Sum(), budget_->total());
                    return false;
                }
                if (!TryHold(need)) {
                    retry = true;
                    *error = "memory budget busy";
                    return false;
                }
                if (FittedEffect()) PrepareWhileDecoding(width, height, 0, &preparing, &built_here);
                return true;
            };
            retry = false;
            bool loaded = LoadImage(file_.data(), file_.size(), settings, &image_, &reason);
            // While the plan is still being built: the planes, and the picture
            // converted into them unless --srgb may change it first.
            if (loaded && estimated && preparing.thread.joinable()) {
                host_.TakePicture(options_.srgb ? nullptr : image_.rgb.data(),
                                  static_cast<ptrdiff_t>(image_.width) * image_.channels, image_.width,
                                  image_.height, image_.channels);
            }
            preparing.Join();
            if (loaded && estimated && !built_here) {
                // The plan needs more than the estimate (it has been measured
                // meanwhile): hold what it needs, or wait as for a busy budget.
                std::string ignored;
                MosaicOptions mosaic = OptionsForImage(options_, upright_width, upright_height, &ignored);
                mosaic.threads = threads_;
                if (ignored.empty()) {
                    need.part[MemoryParts::kPlan] =
                        host_.PlanBytes(upright_width, upright_height, mosaic, &ignored, budget_->total());
                }
                if (need.Sum() > budget_->total()) {
                    job->error = name + ": " + OverBudgetText(need.Sum(), budget_->total());
                    return;
                }
                if (!TryHold(need)) {
                    loaded = false;
                    retry = true;
                    reason = "memory budget busy";
                }
            }
            if (loaded) {
                for (const std::string& warning : image_.warnings)
                    job->warnings.push_back(name + ": " + warning);
                break;
            }
            // A stream cannot be read a second time.
            if (!retry || attempt > 0 || file_size < 0) {
                job->error = name + ": " + reason;
                return;
            }
            WaitForWhole(need);
        }
    }
    if (options_.srgb && !ConvertToSrgb(&image_, &reason)) {
        job->error = name + ": " + reason;
        return;
    }
    if (!options_.no_effect) {
        reason.clear();
        MosaicOptions mosaic = OptionsForImage(options_, image_.width, image_.height, &reason);
        mosaic.threads = threads_;
        if (!reason.empty() || !host_.Prepare(image_.width, image_.height, mosaic, &reason)) {
            job->error = name + ": " + reason;
            return;
        }
        ptrdiff_t stride = static_cast<ptrdiff_t>(image_.width) * image_.channels;
        host_.Apply(image_.rgb.data(), stride, image_.rgb.data(), stride, image_.channels);
    }
    encoded_.reserve(need.part[MemoryParts::kEncoded]);
    std::vector<std::string> left_out;
    if (!EncodeImage(image_, job->format, options_.encode, &encoded_, &reason, &left_out) ||
        !WriteFileAtomically(job->output, encoded_.data(), encoded_.size(), &reason)) {
        job->error = job->output + ": " + reason;
        return;
    }
    for (const std::string& warning : left_out) job->warnings.push_back(job->output + ": " + warning);
    if (options_.checksum) {
        // The pixels as computed, before encoding; "-" keeps stdout for them.
        // Of the RGB bytes, alpha skipped, as the page has it.
        const ptrdiff_t stride = static_cast<ptrdiff_t>(image_.width) * image_.channels;
        std::string hex = ChecksumHex(
            image_.channels == 4 ? PixelChecksumRgba(image_.rgb.data(), image_.width, image_.height, stride)
                                 : PixelChecksum(image_.rgb.data(), image_.width, image_.height, stride));
        fprintf(job->output == "-" ? stderr : stdout, "%s  %s\n", hex.c_str(), job->output.c_str());
    }
    job->ok = true;
    job->width = image_.width;
    job->height = image_.height;
}

bool Worker::RunAnimation(Job* job, MemoryParts* need, bool* retry, std::string* reason) {
    AnimationSettings settings;
    settings.quality = options_.encode.quality;
    settings.lossless = options_.encode.lossless;
    settings.reserve = [&](int width, int height, uint64_t bytes, std::string* error) {
        *need = ImageParts(*need, width, height, 4, bytes);
        if (need->Sum() > budget_->total()) {
            *error = OverBudgetText(need->Sum(), budget_->total());
            return false;
        }
        if (TryHold(*need)) return true;
        *retry = true;
        *error = "memory budget busy";
        return false;
    };
    bool prepared = false;
    ByteBuffer rgb;  // the classic geometry's frame, laid over the background
    const FrameEffect effect = [&](uint8_t* rgba, int width, int height, int, std::string* error) {
        if (options_.no_effect) return true;
        if (!prepared) {
            MosaicOptions mosaic = OptionsForImage(options_, width, height, error);
            mosaic.threads = threads_;
            if (!error->empty() || !host_.Prepare(width, height, mosaic, error)) return false;
            prepared = true;
        }
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
        if (!options_.effect.classic) {
            const ptrdiff_t stride = static_cast<ptrdiff_t>(width) * 4;
            host_.Apply(rgba, stride, rgba, stride, 4);
            return true;
        }
        rgb.resize(pixels * 3);
        for (size_t i = 0; i < pixels; ++i) {
            for (int c = 0; c < 3; ++c)
                rgb[3 * i + c] = AlphaOver(rgba[4 * i + c], rgba[4 * i + 3], options_.background[c]);
        }
        const ptrdiff_t stride = static_cast<ptrdiff_t>(width) * 3;
        host_.Apply(rgb.data(), stride, rgb.data(), stride, 3);
        for (size_t i = 0; i < pixels; ++i) {
            for (int c = 0; c < 3; ++c) rgba[4 * i + c] = rgb[3 * i + c];
            rgba[4 * i + 3] = 255;
        }
        return true;
    };
    const AnimationFormat format =
        job->format == ImageFormat::kGif ? AnimationFormat::kGif : AnimationFormat::kWebp;
    AnimationInfo info;
    if (!TransformAnimation(file_.data(), file_.size(), format, settings, effect, &encoded_, reason, &info)) {
        return false;
    }
    if (!WriteFileAtomically(job->output, encoded_.data(), encoded_.size(), reason)) {
        job->error = job->output + ": " + *reason;
        return true;
    }
    if (options_.checksum) {
        job->warnings.push_back(job->output + ": no checksum for an animation of " +
                                std::to_string(info.frames) + " frames");
    }
    job->ok = true;
    job->width = info.width;
    job->height = info.height;
    return true;
}

int CoreCount() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

void WarnUnusedQuality(const ToolOptions& options, ImageFormat format) {
    if (options.quality_given && !FormatUsesQuality(format, options.encode)) {
        fprintf(stderr, "polarmosaic: warning: -q has no effect on %s%s output\n",
                options.encode.lossless && format == ImageFormat::kWebp ? "lossless " : "",
                FormatName(format));
    }
}

}  // namespace polarmosaic
