// Fuzz target: the fitted plan and its frames on settings built from the
// input, in or out of range. The head, the plan and the scratch are
// allocated at exactly the sizes the module asks for, so one byte out of
// bounds is caught. Checked besides memory safety: refused settings and
// short buffers write nothing, and a plan built and run with the jobs in
// reverse order gives the bytes of the plain run.
#include <string.h>

#include <vector>

#include <polarmosaic/fitted.h>
#include "fuzz_input.h"

namespace {

// Pictures up to 48 x 48 (or 2 x 1100): thousands of runs a second.
const int32_t kMaxPixels = 48 * 48;

int reverseRunner(void*, void* jobData, PolarMosaicJob job, uint32_t count) {
    for (uint32_t i = count; i-- > 0;) job(jobData, i);
    return 0;
}

// Builds the plan of s into plan through runner; the status.
int buildPlan(const PolarPlanSettings& s, std::vector<uint8_t>* plan, PolarMosaicRunner runner) {
    const size_t head = polarPlanHeadBytes(&s);
    if (head == 0) return -1;
    plan->assign(head, 0xcd);
    size_t bytes = 0;
    int status = polarPlanMeasure(&s, plan->data(), head, runner, nullptr, &bytes);
    if (status != POLARMOSAIC_OK) return status;
    if (bytes < head) __builtin_trap();
    plan->resize(bytes, 0xcd);
    // One byte short is refused.
    if (polarPlanBuild(plan->data(), bytes - 1, runner, nullptr) != POLARMOSAIC_PLAN_TOO_SMALL)
        __builtin_trap();
    return polarPlanBuild(plan->data(), bytes, runner, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    PolarPlanSettings s;
    memset(&s, 0, sizeof s);
    s.width = in.u8() % 64;
    if (in.u8() == 7) s.width = 1100;
    s.height = in.u8() % 64;
    s.centreX2 = static_cast<int32_t>(in.u16() % 160) - 8;
    s.centreY2 = static_cast<int32_t>(in.u16() % 160) - 8;
    s.sectors = static_cast<int32_t>(in.u16()) - 2;
    s.ringWidth = static_cast<int32_t>(in.u16() % 80) - 1;
    s.angle = static_cast<int32_t>(in.u32());
    s.borderMode = in.u8() % 6;
    s.borderWidth = static_cast<int32_t>(in.u16() % 1100) - 2;
    s.hardEdges = in.u8() & 1;
    const bool alpha = in.u8() & 1;
    const int status = checkPolarPlanSettings(&s);
    if (status != POLARMOSAIC_OK) {
        if (polarPlanHeadBytes(&s) != 0) __builtin_trap();
        uint8_t untouched[64];
        memset(untouched, 0x5a, sizeof untouched);
        size_t bytes = 7;
        if (polarPlanMeasure(&s, untouched, sizeof untouched, nullptr, nullptr, &bytes) == POLARMOSAIC_OK ||
            bytes != 7)
            __builtin_trap();
        for (uint8_t b : untouched) {
            if (b != 0x5a) __builtin_trap();
        }
        return 0;
    }
    if (static_cast<int64_t>(s.width) * s.height > kMaxPixels) return 0;

    std::vector<uint8_t> plan, reversed;
    if (buildPlan(s, &plan, nullptr) != POLARMOSAIC_OK) __builtin_trap();
    if (buildPlan(s, &reversed, reverseRunner) != POLARMOSAIC_OK) __builtin_trap();
    if (plan != reversed) __builtin_trap();

    const size_t pixels = static_cast<size_t>(s.width) * s.height;
    std::vector<uint8_t> src[4], dst[4], other[4];
    PolarPlanFrame f;
    memset(&f, 0, sizeof f);
    for (int c = 0; c < 4; ++c) {
        src[c].resize(pixels);
        for (uint8_t& v : src[c]) v = in.u8();
        dst[c].assign(pixels, 0x11);
        other[c].assign(pixels, 0x22);
        if (c < 3 || alpha) {
            f.srcPlane[c] = src[c].data();
            f.dstPlane[c] = dst[c].data();
        }
    }
    f.srcLineBytes = f.dstLineBytes = s.width;
    for (int c = 0; c < 3; ++c) f.borderValue[c] = in.i16();
    for (int k = 0; k < 4; ++k) f.shade[k] = static_cast<float>(in.u8()) / 32.0f;
    const size_t scratchBytes = polarPlanScratchBytes(plan.data());
    std::vector<uint8_t> scratch(scratchBytes, 0xcd);
    if (polarPlanFrame(plan.data(), &f, scratch.data(), scratchBytes - 1, nullptr, nullptr) !=
        POLARMOSAIC_PLAN_TOO_SMALL)
        __builtin_trap();
    for (int c = 0; c < 4; ++c) {
        for (uint8_t v : dst[c]) {
            if (v != 0x11) __builtin_trap();
        }
    }
    if (polarPlanFrame(plan.data(), &f, scratch.data(), scratchBytes, nullptr, nullptr) != POLARMOSAIC_OK)
        __builtin_trap();
    for (int c = 0; c < 4; ++c) {
        if (f.dstPlane[c] != nullptr) f.dstPlane[c] = other[c].data();
    }
    if (polarPlanFrame(plan.data(), &f, scratch.data(), scratchBytes, reverseRunner, nullptr) !=
        POLARMOSAIC_OK)
        __builtin_trap();
    for (int c = 0; c < 4; ++c) {
        if ((c < 3 || alpha) && dst[c] != other[c]) __builtin_trap();
    }
    return 0;
}
