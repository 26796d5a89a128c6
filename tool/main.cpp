// main.cpp - the polarmosaic command-line tool: the command line, then a
// single run or a batch (runs.h).
#include <stdio.h>
// After a C header, which defines __GLIBC__.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <new>

#include "file_io.h"
#include "memory_budget.h"
#include "polarmosaic_version.h"
#include "runs.h"
#include "tool_options.h"

namespace polarmosaic {
namespace {

int Main(int argc, char** argv) {
    try {
        ToolOptions options = ParseArguments(argc, argv);
        if (options.help) {
            fputs(HelpText().c_str(), stdout);
            return kExitOk;
        }
        if (options.version) {
            printf("polarmosaic %s (fitted geometry version %d)\n", POLARMOSAIC_TOOL_VERSION,
                   POLARMOSAIC_FITTED_VERSION);
            return kExitOk;
        }
        if (options.demo && options.batch) Fail("--demo cannot be used with -d");
        if (options.frames && (options.batch || options.demo))
            Fail("--frames cannot be used with -d, -o or --demo");
        InstallCleanupOnSignal();
#if defined(__GLIBC__)
        // Image buffers are mapped and unmapped on their own, so that what a
        // finished picture freed goes back to the system at once instead of
        // staying in a worker thread's heap, where the memory budget cannot see it.
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
        MemoryBudget budget(options.memory ? options.memory : DefaultMemoryBudget());
        if (options.frames) return RunFrames(options, &budget);
        return options.batch ? RunBatch(options, &budget) : RunSingle(options, &budget);
    } catch (const UsageError& error) {
        fprintf(stderr, "polarmosaic: %s (see polarmosaic --help)\n", error.message.c_str());
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        fputs("polarmosaic: out of memory\n", stderr);
        return kExitFileFailed;
    }
}

}  // namespace
}  // namespace polarmosaic

int main(int argc, char** argv) { return polarmosaic::Main(argc, argv); }
