// worker.h - one picture from file to file: read within the memory budget,
// decoded, turned upright, run through the effect, encoded and written.
#ifndef POLARMOSAIC_TOOL_WORKER_H
#define POLARMOSAIC_TOOL_WORKER_H

#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>
#include <thread>

#include "byte_buffer.h"
#include "image.h"
#include "memory_budget.h"
#include "mosaic_host.h"
#include "tool_options.h"

namespace polarmosaic {

// The input name of --demo.
constexpr const char* kDemoName = "(built-in picture)";

struct Job {
    std::string input;   // path, "-" or kDemoName
    std::string output;  // path or "-"
    ImageFormat format = ImageFormat::kUnknown;
    std::string error;  // "FILE: reason" when it failed
    // "FILE: what was left out", for metadata that could not be carried.
    std::vector<std::string> warnings;
    bool ok = false;
    int width = 0;
    int height = 0;
};

// Memory one image takes, by buffer. A worker keeps its buffers for the
// next image, so it holds the largest of each part that it has needed.
struct MemoryParts {
    enum { kFile, kDecoder, kRgb, kPlanes, kPlan, kEncoded, kCount };
    uint64_t part[kCount] = {};
    uint64_t Sum() const {
        uint64_t sum = 0;
        for (uint64_t p : part) sum += p;
        return sum;
    }
    MemoryParts Max(const MemoryParts& other) const {
        MemoryParts result;
        for (int i = 0; i < kCount; ++i) {
            result.part[i] = std::max(part[i], other.part[i]);
        }
        return result;
    }
};

// The fitted plan's memory, estimated before it is measured: the default
// settings take under 3.5 bytes a pixel from 1024 x 768 up. A plan that
// needs more is measured by the same walk and held afterwards.
constexpr uint64_t kPlanEstimatePerPixel = 4;
constexpr uint64_t kPlanEstimateExtra = 1 << 20;

// A thread that is joined, if it runs, before it goes.
struct JoinOnExit {
    std::thread thread;
    void Join() {
        if (thread.joinable()) thread.join();
    }
    ~JoinOnExit() { Join(); }
};

// Runs jobs one after another, reusing its buffers, within its share of
// the memory budget.
class Worker {
public:
    Worker(const ToolOptions& options, MemoryBudget* budget, int threads)
        : options_(options), budget_(budget), threads_(threads) {}
    ~Worker() { Drop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Run(Job* job);

private:
    // Holds enough budget for the buffers kept so far and need together;
    // false when that is not free now.
    bool TryHold(const MemoryParts& need);

    // Like TryHold, but when the budget is short frees this worker's buffers
    // and waits for the whole amount while holding nothing.
    bool Hold(const MemoryParts& need, const std::string& name, std::string* error);

    void Drop();

    // Frees this worker's buffers, then waits until need is free and holds it.
    void WaitForWhole(const MemoryParts& need);

    MemoryParts ImageParts(MemoryParts need, int width, int height, int channels, uint64_t decoder_bytes,
                           bool estimate_plan = false);

    // The effect is the fitted geometry's.
    bool FittedEffect() const;

    void RunOnce(Job* job);

    // Starts on the fitted geometry for an upright width x height picture
    // on another thread: with plan_bytes, the plan in one walk in that much
    // plan memory (*built tells, once joined, whether it fitted); with 0,
    // Prepare on the host's threads.
    void PrepareWhileDecoding(int width, int height, uint64_t plan_bytes, JoinOnExit* preparing, bool* built);

    // An animated input written as an animation, frame by frame. True when
    // the job is done (job->error set if the output failed); false with the
    // reason, and *retry set when the budget was only busy.
    bool RunAnimation(Job* job, MemoryParts* need, bool* retry, std::string* reason);

    const ToolOptions& options_;
    MemoryBudget* budget_;
    int threads_;
    ByteBuffer file_;
    Image image_;
    MosaicHost host_;
    ByteBuffer encoded_;
    MemoryParts retained_;
    uint64_t held_ = 0;
};

// Cores of this machine, at least 1.
int CoreCount();

// Warns when -q was given for an output format it does not change.
void WarnUnusedQuality(const ToolOptions& options, ImageFormat format);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_WORKER_H
