// BMP building against plain memcpy of the same output size, timed alternately in one loop so
// that both see the same machine load; the ratio counters are the figures to watch.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <benchmark/benchmark.h>

#include "capture/capture.h"
#include "page/page.h"

namespace {

using Clock = std::chrono::steady_clock;

PageImage* makeNoisePage(int32_t side)
{
    size_t bytes = static_cast<size_t>(side) * side * 4;
    PageImage* page = allocatePage(side, side);
    uint32_t seed = 12345;
    for (size_t i = 0; i < bytes; ++i) {
        seed = seed * 1664525u + 1013904223u;
        page->pixels[i] = static_cast<uint8_t>(seed >> 24);
    }
    return page;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void buildBmpVersusMemcpy(benchmark::State& state)
{
    PageImage* page = makeNoisePage(static_cast<int32_t>(state.range(0)));
    size_t size = 0;
    std::free(buildBmpFile(page, &size));
    uint8_t* source = static_cast<uint8_t*>(std::malloc(size));
    uint8_t* reused = static_cast<uint8_t*>(std::malloc(size));
    std::memset(source, 1, size);
    std::memset(reused, 2, size);

    double build = 0, fresh = 0, warm = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        uint8_t* file = buildBmpFile(page, &size);
        benchmark::DoNotOptimize(file);
        std::free(file);
        double took = secondsSince(start);
        build += took;
        state.SetIterationTime(took);

        // The fair counterpart: buildBmpFile has to allocate its result too.
        start = Clock::now();
        uint8_t* copy = static_cast<uint8_t*>(std::malloc(size));
        std::memcpy(copy, source, size);
        benchmark::DoNotOptimize(copy);
        std::free(copy);
        fresh += secondsSince(start);

        start = Clock::now();
        std::memcpy(reused, source, size);
        benchmark::DoNotOptimize(reused);
        benchmark::ClobberMemory();
        warm += secondsSince(start);
    }
    state.counters["ratio_fresh_memcpy"] = build / fresh;
    state.counters["ratio_warm_memcpy"] = build / warm;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    std::free(reused);
    std::free(source);
    freePage(page);
}

}  // namespace

BENCHMARK(buildBmpVersusMemcpy)
    ->Arg(256)
    ->Arg(4096)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
