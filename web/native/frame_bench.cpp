// frame_bench.cpp - the web page's frame (pm_render on the built-in picture,
// default settings, classic geometry) on this processor, one thread, for
// comparison with the browser: polarmosaic_web_frame_bench_* WIDTH HEIGHT
// [FRAMES]. --fitted: the fitted geometry instead (its plan built once). Prints the median and fastest frame
// in milliseconds (wall and thread CPU time) and the result checksum.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

extern "C" {
uint8_t* pm_input(int width, int height);
void pm_fill_demo();
char* pm_settings_buffer(int size);
int pm_render();
const char* pm_checksum();
const char* pm_error();

double now_ms(void) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
}

static double ThreadCpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    const char* settings = "geometry=classic";  // the defaults otherwise
    while (argc > 1 && argv[1][0] == '-') {
        if (strcmp(argv[1], "--fitted") == 0) settings = "geometry=fitted";
        --argc;
        ++argv;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: %s [--fitted] WIDTH HEIGHT [FRAMES]\n", argv[0]);
        return 2;
    }
    int width = atoi(argv[1]), height = atoi(argv[2]);
    int frames = argc > 3 ? atoi(argv[3]) : 20;
    if (!pm_input(width, height)) {
        fprintf(stderr, "%s\n", pm_error());
        return 1;
    }
    pm_fill_demo();
    std::vector<double> wall, cpu;
    for (int i = 0; i < frames + 3; ++i) {
        double w0 = now_ms(), c0 = ThreadCpuMs();
        memcpy(pm_settings_buffer(static_cast<int>(strlen(settings))), settings, strlen(settings));
        if (!pm_render()) {
            fprintf(stderr, "%s\n", pm_error());
            return 1;
        }
        if (i >= 3) {  // the first frames size the buffers
            wall.push_back(now_ms() - w0);
            cpu.push_back(ThreadCpuMs() - c0);
        }
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    printf(
        "{\"width\": %d, \"height\": %d, \"median_ms\": %.2f, \"min_ms\": %.2f, "
        "\"cpu_median_ms\": %.2f, \"cpu_min_ms\": %.2f, \"checksum\": \"%s\"}\n",
        width, height, wall[wall.size() / 2], wall[0], cpu[cpu.size() / 2], cpu[0], pm_checksum());
    return 0;
}
