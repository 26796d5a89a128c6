// memory_budget.h - the memory that the images processed at once may take.
#ifndef POLARMOSAIC_TOOL_MEMORY_BUDGET_H
#define POLARMOSAIC_TOOL_MEMORY_BUDGET_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>

namespace polarmosaic {

// A pool of bytes shared by the workers of a batch. A worker takes what an
// image needs before it allocates it and gives it back when done; a worker
// that has to wait holds nothing, so the workers cannot block each other
// for good.
class MemoryBudget {
public:
    explicit MemoryBudget(uint64_t total) : total_(total) {}
    uint64_t total() const { return total_; }
    // Takes bytes, waiting until they are free; false at once when bytes is
    // more than the whole budget.
    bool Acquire(uint64_t bytes);
    // Takes bytes only when they are free now.
    bool TryAcquire(uint64_t bytes);
    void Release(uint64_t bytes);

private:
    const uint64_t total_;
    uint64_t used_ = 0;
    std::mutex mutex_;
    std::condition_variable freed_;
};

// Half the physical memory, and at most three quarters of the process's
// address-space limit (ulimit -v) when it has one.
uint64_t DefaultMemoryBudget();

// "512M", "2G", "1.5G", "300000K" or plain bytes; suffixes are powers of
// 1024. Returns false for anything else or below 1 MiB.
bool ParseMemorySize(const std::string& text, uint64_t* bytes);

// "1.5 GiB", "12 MiB": for messages.
std::string MemoryText(uint64_t bytes);

// Two amounts for one message, as MemoryText gives them unless that makes
// them look the same: then in one unit with as many decimals as it takes
// for them to differ ("1.501 GiB" against "1.500 GiB"), in bytes when even
// three do not tell them apart.
void MemoryTexts(uint64_t a, uint64_t b, std::string* a_text, std::string* b_text);

// "needs NEED of memory, more than the budget of BUDGET (--memory)".
std::string OverBudgetText(uint64_t need, uint64_t budget);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_MEMORY_BUDGET_H
