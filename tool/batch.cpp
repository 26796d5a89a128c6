// batch.cpp - many INPUTs at once: their output names, refusals before any
// work (two outputs that are one file, an output that is an input), the
// workers that share the cores and the memory budget, and a progress bar.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "file_io.h"
#include "image_io.h"
#include "runs.h"
#include "worker.h"

namespace polarmosaic {

std::string BatchOutputName(const std::string& folder, const std::string& name_template,
                            const std::string& input, ImageFormat format) {
    size_t slash = input.find_last_of('/');
    std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
    std::string path = folder.empty() ? (slash == std::string::npos ? "" : input.substr(0, slash + 1))
                                      : folder + (folder.back() == '/' ? "" : "/");
    if (name_template.empty()) return path + base + FormatExtension(format);
    std::string name = name_template;
    name.replace(name.find("%s"), 2, base);
    return path + name;
}

namespace {

// The format of a file from its first bytes; unknown when unreadable.
ImageFormat SniffFile(const std::string& path) {
    ByteBuffer head;
    if (!ReadFileHead(path, 64, &head)) return ImageFormat::kUnknown;
    return SniffFormat(head.data(), head.size());
}

class Progress {
public:
    Progress(size_t total, bool shown) : total_(total), shown_(shown) {}

    void Report(const Job& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
        for (const std::string& warning : job.warnings) {
            if (shown_) fputs("\r\033[K", stderr);
            fprintf(stderr, "polarmosaic: warning: %s\n", warning.c_str());
        }
        if (!job.ok) {
            if (shown_) fputs("\r\033[K", stderr);
            fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
        }
        Draw();
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shown_) fputs("\r\033[K", stderr);
    }

private:
    void Draw() {
        if (!shown_) return;
        constexpr int kBarWidth = 30;
        int filled = static_cast<int>(done_ * kBarWidth / total_);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), '.');
        fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), done_, total_);
        fflush(stderr);
    }

    std::mutex mutex_;
    size_t total_;
    size_t done_ = 0;
    bool shown_;
};

}  // namespace

int RunBatch(const ToolOptions& options, MemoryBudget* budget) {
    if (options.positional.empty()) Fail("no INPUT files given for -d or -o");
    ImageFormat template_format = ImageFormat::kUnknown;
    if (!options.name_template.empty() && options.format == ImageFormat::kUnknown) {
        template_format = FormatFromExtension(options.name_template);
        if (template_format == ImageFormat::kUnknown) {
            Fail(options.name_template +
                 ": unknown output format (use .png, .jpg, "
                 ".webp, .tif, .ppm, .pgm or --format)");
        }
    }
    std::string folder_error;
    if (!options.out_dir.empty() && !MakeFolders(options.out_dir, &folder_error)) {
        fprintf(stderr, "polarmosaic: %s: %s\n", options.out_dir.c_str(), folder_error.c_str());
        return kExitFileFailed;
    }
    std::vector<Job> jobs(options.positional.size());
    std::vector<bool> warned(8, false);
    std::vector<bool> pending(jobs.size(), true);
    // Two outputs are the same file when their paths are (folders resolved:
    // "x-m.png" and "./x-m.png", "sub/../x.png" and "x.png"), or, for files
    // that exist, when their device and inode are (hard links).
    std::map<std::string, size_t> output_owner;
    std::map<std::pair<uint64_t, uint64_t>, size_t> existing_owner;
    for (size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        job.input = options.positional[i];
        if (job.input == "-") Fail("standard input cannot be part of a batch");
        // -f, then the template's extension, then the input's own format.
        job.format = options.format != ImageFormat::kUnknown ? options.format : template_format;
        if (job.format == ImageFormat::kUnknown) job.format = SniffFile(job.input);
        if (job.format == ImageFormat::kUnknown) job.format = ImageFormat::kPng;
        if (!warned[static_cast<int>(job.format)]) {
            warned[static_cast<int>(job.format)] = true;
            WarnUnusedQuality(options, job.format);
        }
        job.output = BatchOutputName(options.out_dir, options.name_template, job.input, job.format);
        std::string canonical = CanonicalOutputPath(job.output);
        auto owner = output_owner.find(canonical);
        size_t other = owner != output_owner.end() ? owner->second : jobs.size();
        std::pair<uint64_t, uint64_t> identity;
        bool exists = FileIdentity(job.output, &identity.first, &identity.second);
        if (other == jobs.size() && exists) {
            auto same = existing_owner.find(identity);
            if (same != existing_owner.end()) other = same->second;
        }
        if (other != jobs.size()) {
            job.error = job.input + ": output " + job.output + " would also be written from " +
                        jobs[other].input +
                        (jobs[other].output == job.output ? "" : " (as " + jobs[other].output + ")");
            pending[i] = false;
            continue;
        }
        output_owner[canonical] = i;
        if (exists) existing_owner[identity] = i;
        std::string refusal = CheckOutputPath(job.output);
        if (!refusal.empty()) {
            job.error = job.output + ": " + refusal;
            pending[i] = false;
        }
    }
    // No output may replace an input of the same run.
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (const std::string& input : options.positional) {
            if (pending[i] && IsSameFile(jobs[i].output, input)) {
                jobs[i].error = jobs[i].output + ": refusing to overwrite input file " + input;
                pending[i] = false;
            }
        }
    }

    Progress progress(jobs.size(), !options.quiet && isatty(STDERR_FILENO));
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (!pending[i]) progress.Report(jobs[i]);
    }
    size_t workers = options.jobs > 0 ? static_cast<size_t>(options.jobs) : static_cast<size_t>(CoreCount());
    if (workers > jobs.size()) workers = jobs.size();
    // The cores are shared between the pictures in progress.
    int threads =
        options.threads >= 0 ? options.threads : std::max(1, CoreCount() / static_cast<int>(workers));
    std::atomic<size_t> next{0};
    auto work = [&]() {
        Worker worker(options, budget, threads);
        for (;;) {
            size_t i = next.fetch_add(1);
            if (i >= jobs.size()) return;
            if (!pending[i]) continue;
            worker.Run(&jobs[i]);
            progress.Report(jobs[i]);
        }
    };
    std::vector<std::thread> others;
    for (size_t t = 1; t < workers; ++t) others.emplace_back(work);
    work();
    for (std::thread& thread : others) thread.join();
    progress.Finish();

    size_t written = 0;
    for (const Job& job : jobs) written += job.ok ? 1 : 0;
    size_t failed = jobs.size() - written;
    if (!options.quiet || failed > 0) {
        fprintf(stderr, "polarmosaic: %zu of %zu images written%s%s", written, jobs.size(),
                options.out_dir.empty() ? "" : " to ", options.out_dir.c_str());
        if (failed > 0) fprintf(stderr, "; %zu failed", failed);
        fputc('\n', stderr);
    }
    return failed == 0 ? kExitOk : kExitFileFailed;
}

}  // namespace polarmosaic
