// runs.h - the tool's two ways of running: one INPUT to one OUTPUT, and a
// batch of INPUTs into a folder or beside themselves.
#ifndef POLARMOSAIC_TOOL_RUNS_H
#define POLARMOSAIC_TOOL_RUNS_H

#include <string>

#include "image.h"
#include "memory_budget.h"
#include "tool_options.h"

namespace polarmosaic {

// Both return the exit status; bad usage throws UsageError.
int RunSingle(const ToolOptions& options, MemoryBudget* budget);
int RunBatch(const ToolOptions& options, MemoryBudget* budget);
// --frames: a stream of PPM frames from INPUT to OUTPUT.
int RunFrames(const ToolOptions& options, MemoryBudget* budget);

// The output of input in a batch: in folder (empty: beside the input),
// named by the template ("%s" the input's name without its last extension)
// or after the input with format's extension.
std::string BatchOutputName(const std::string& folder, const std::string& name_template,
                            const std::string& input, ImageFormat format);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_RUNS_H
