// single_run.cpp - one INPUT (or the built-in picture) to one OUTPUT.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "file_io.h"
#include "frame_stream.h"
#include "image_io.h"
#include "runs.h"
#include "worker.h"

namespace polarmosaic {
namespace {

constexpr const char* kDefaultDemoOutput = "polarmosaic-demo.png";

}  // namespace

int RunSingle(const ToolOptions& options, MemoryBudget* budget) {
    Job job;
    size_t wanted = options.demo ? 1 : 2;
    if (options.positional.size() > wanted || options.positional.size() + (options.demo ? 1 : 0) < wanted) {
        Fail(options.demo ? "--demo takes at most one OUTPUT"
                          : "expected INPUT and OUTPUT (or -d FOLDER for a batch)");
    }
    if (options.demo) {
        job.input = kDemoName;
        job.output = options.positional.empty() ? kDefaultDemoOutput : options.positional[0];
    } else {
        job.input = options.positional[0];
        job.output = options.positional[1];
    }
    job.format = options.format;
    if (job.format == ImageFormat::kUnknown) {
        job.format = job.output == "-" ? ImageFormat::kPng : FormatFromExtension(job.output);
    }
    if (job.format == ImageFormat::kUnknown) {
        Fail(job.output +
             ": unknown output format (use .png, .jpg, .webp, .tif, "
             ".gif, .ppm, .pgm or --format)");
    }
    WarnUnusedQuality(options, job.format);
    if (!options.demo && job.output != "-" && IsSameFile(job.input, job.output)) {
        fprintf(stderr, "polarmosaic: %s: refusing to overwrite the input file%s\n", job.output.c_str(),
                job.input == "-" ? " (standard input)" : "");
        return kExitFileFailed;
    }
    std::string refusal = CheckOutputPath(job.output);
    if (!refusal.empty()) {
        fprintf(stderr, "polarmosaic: %s: %s\n", job.output.c_str(), refusal.c_str());
        return kExitFileFailed;
    }
    {
        Worker worker(options, budget, options.threads >= 0 ? options.threads : 0);
        worker.Run(&job);
    }
    for (const std::string& warning : job.warnings)
        fprintf(stderr, "polarmosaic: warning: %s\n", warning.c_str());
    if (!job.ok) {
        fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
        return kExitFileFailed;
    }
    if (!options.quiet && job.output != "-") {
        // The full path, so a run from anywhere says where the picture is.
        char* full = realpath(job.output.c_str(), nullptr);
        printf("polarmosaic: wrote %s (%d x %d %s)\n", full ? full : job.output.c_str(), job.width,
               job.height, FormatName(job.format));
        free(full);
    }
    return kExitOk;
}
int RunFrames(const ToolOptions& options, MemoryBudget* budget) {
    if (options.positional.size() != 2) Fail("--frames expects INPUT and OUTPUT ('-' for the pipes)");
    if (options.no_effect) Fail("--frames cannot be used with --no-effect");
    const std::string& input = options.positional[0];
    const std::string& output = options.positional[1];
    if (input != "-" && output != "-" && IsSameFile(input, output)) {
        fprintf(stderr, "polarmosaic: %s: refusing to overwrite the input file\n", output.c_str());
        return kExitFileFailed;
    }
    const int in_fd = input == "-" ? STDIN_FILENO : open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (in_fd < 0) {
        fprintf(stderr, "polarmosaic: %s: cannot open (%s)\n", input.c_str(), strerror(errno));
        return kExitFileFailed;
    }
    // Frames are written as they are done: an output file grows with them.
    const int out_fd =
        output == "-" ? STDOUT_FILENO : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out_fd < 0) {
        fprintf(stderr, "polarmosaic: %s: cannot open (%s)\n", output.c_str(), strerror(errno));
        return kExitFileFailed;
    }
    UserSettings settings = options.effect;
    settings.mosaic.threads = options.threads >= 0 ? options.threads : 0;
    MosaicHost host;
    // One frame, the planes and the plan of its size must fit in the budget.
    const auto reserve = [&](int width, int height, std::string* error) {
        const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
        uint64_t need = pixels * 3 + 6 * static_cast<uint64_t>((width + 15) & ~15) * height;
        std::string reason;
        const MosaicOptions mosaic = ResolveSettings(settings, width, height, &reason);
        if (reason.empty()) need += host.PlanBytes(width, height, mosaic, &reason, budget->total());
        if (need <= budget->total()) return true;
        *error = OverBudgetText(need, budget->total());
        return false;
    };
    std::string error;
    int64_t frames = 0;
    const bool ok = RunFrameStream(in_fd, out_fd, settings, &host, reserve, &error, &frames);
    if (in_fd != STDIN_FILENO) close(in_fd);
    const bool closed = out_fd == STDOUT_FILENO || close(out_fd) == 0;
    if (!ok) {
        // A failed write is the output's, anything else the input stream's.
        const bool writing = error.find("cannot write") != std::string::npos;
        fprintf(stderr, "polarmosaic: %s: %s (%lld frames written)\n", (writing ? output : input).c_str(),
                error.c_str(), static_cast<long long>(frames));
        return kExitFileFailed;
    }
    if (!closed) {
        fprintf(stderr, "polarmosaic: %s: cannot write (%s)\n", output.c_str(), strerror(errno));
        return kExitFileFailed;
    }
    if (!options.quiet && output != "-") {
        printf("polarmosaic: wrote %lld frames to %s\n", static_cast<long long>(frames), output.c_str());
    }
    return kExitOk;
}
}  // namespace polarmosaic
