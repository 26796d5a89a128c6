// single_run.cpp - one INPUT (or the built-in picture) to one OUTPUT.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "file_io.h"
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
             ".ppm, .pgm or --format)");
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
}  // namespace polarmosaic
