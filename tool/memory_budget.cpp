// memory_budget.cpp - the memory budget shared by a batch.
#include "memory_budget.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <cmath>

namespace polarmosaic {

bool MemoryBudget::Acquire(uint64_t bytes) {
    if (bytes > total_) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return used_ + bytes <= total_; });
    used_ += bytes;
    return true;
}

bool MemoryBudget::TryAcquire(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes > total_ - used_) return false;
    used_ += bytes;
    return true;
}

void MemoryBudget::Release(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        used_ -= bytes;
    }
    freed_.notify_all();
}

uint64_t DefaultMemoryBudget() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    uint64_t budget =
        pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * page_size / 2 : uint64_t(1) << 30;
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        // The code, the libraries and the thread stacks need some of it too.
        uint64_t usable = static_cast<uint64_t>(limit.rlim_cur) / 4 * 3;
        if (usable < budget) budget = usable;
    }
    return budget;
}

bool ParseMemorySize(const std::string& text, uint64_t* bytes) {
    if (text.empty()) return false;
    char* end = nullptr;
    double value = strtod(text.c_str(), &end);
    std::string suffix(end);
    double scale = 1;
    if (suffix == "K" || suffix == "k" || suffix == "KiB") {
        scale = 1024.0;
    } else if (suffix == "M" || suffix == "m" || suffix == "MiB") {
        scale = 1024.0 * 1024;
    } else if (suffix == "G" || suffix == "g" || suffix == "GiB") {
        scale = 1024.0 * 1024 * 1024;
    } else if (suffix == "T" || suffix == "t" || suffix == "TiB") {
        scale = 1024.0 * 1024 * 1024 * 1024;
    } else if (!suffix.empty()) {
        return false;
    }
    double total = value * scale;
    if (!std::isfinite(total) || total < 1024.0 * 1024 || total > 9e18) {
        return false;
    }
    *bytes = static_cast<uint64_t>(total);
    return true;
}

void MemoryTexts(uint64_t need, uint64_t budget, std::string* need_text, std::string* budget_text) {
    *need_text = MemoryText(need);
    *budget_text = MemoryText(budget);
    if (*need_text != *budget_text) return;
    const bool gib = std::max(need, budget) >= (uint64_t(1) << 30);
    const double unit = gib ? 1073741824.0 : 1048576.0;
    char a[64], b[64];
    for (int decimals = gib ? 1 : 0; decimals <= 3; ++decimals) {
        snprintf(a, sizeof(a), "%.*f %s", decimals, need / unit, gib ? "GiB" : "MiB");
        snprintf(b, sizeof(b), "%.*f %s", decimals, budget / unit, gib ? "GiB" : "MiB");
        if (strcmp(a, b) != 0) break;
        snprintf(a, sizeof(a), "%llu bytes", static_cast<unsigned long long>(need));
        snprintf(b, sizeof(b), "%llu bytes", static_cast<unsigned long long>(budget));
    }
    *need_text = a;
    *budget_text = b;
}

std::string OverBudgetText(uint64_t need, uint64_t budget) {
    std::string a, b;
    MemoryTexts(need, budget, &a, &b);
    return "needs " + a + " of memory, more than the budget of " + b + " (--memory)";
}

std::string MemoryText(uint64_t bytes) {
    char text[64];
    if (bytes >= (uint64_t(1) << 30)) {
        snprintf(text, sizeof(text), "%.1f GiB", bytes / 1073741824.0);
    } else {
        snprintf(text, sizeof(text), "%.0f MiB", std::ceil(bytes / 1048576.0));
    }
    return text;
}

}  // namespace polarmosaic
