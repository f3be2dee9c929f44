// Page loading measured against a plain memcpy of the same image size, in the same run. The
// counter "vs_memcpy" is the time of one load divided by the time of one such memcpy, both in
// thread CPU time (which includes the kernel's side of the file calls), so that other processes
// on the machine disturb the ratio less.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/raw_file.h"
#include "page/page.h"

namespace {

double threadSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string benchPath;

void removeBenchFile()
{
    removeFile(benchPath.c_str());
}

// Written once, larger than any page; after the first load it is read from the page cache.
const char* benchFile()
{
    if (benchPath.empty()) {
        benchPath = "/tmp/tessvane_bench_page_" + std::to_string(getpid()) + ".bin";
        std::vector<uint8_t> bytes(1 << 20);
        std::mt19937 rng(42);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(rng());
        int fd = createForWrite(benchPath.c_str());
        if (fd == kNoFile || !writeFully(fd, bytes.data(), bytes.size()) || !closeFile(fd)) {
            std::fprintf(stderr, "cannot write %s\n", benchPath.c_str());
            std::exit(1);
        }
        std::atexit(removeBenchFile);
    }
    return benchPath.c_str();
}

// Times as many copies of a side x side image as the benchmark ran iterations, on their own
// after it, and reports the ratio. Both buffers are cache-line aligned: misaligned large copies
// take a far slower path on some CPUs, which would flatter the code under test.
void reportAgainstMemcpy(benchmark::State& state, int32_t side, double measuredSeconds)
{
    const size_t imageBytes = static_cast<size_t>(side) * side * 4;
    uint8_t* from = static_cast<uint8_t*>(std::aligned_alloc(64, imageBytes));
    uint8_t* to = static_cast<uint8_t*>(std::aligned_alloc(64, imageBytes));
    std::memset(from, 7, imageBytes);
    std::memcpy(to, from, imageBytes);
    const int64_t copies = state.iterations() > 0 ? state.iterations() : 1;
    double copyBegin = threadSeconds();
    for (int64_t i = 0; i < copies; ++i) {
        benchmark::DoNotOptimize(from);
        std::memcpy(to, from, imageBytes);
        benchmark::ClobberMemory();
    }
    double copySeconds = threadSeconds() - copyBegin;
    state.counters["memcpy_us"] = copySeconds / static_cast<double>(copies) * 1e6;
    state.counters["vs_memcpy"] = measuredSeconds / copySeconds;
    std::free(from);
    std::free(to);
}

void loadPageVsMemcpy(benchmark::State& state)
{
    const int32_t format = static_cast<int32_t>(state.range(0));
    const int32_t side = static_cast<int32_t>(state.range(1));
    const char* path = benchFile();
    double loadBegin = threadSeconds();
    for (auto _ : state) {
        PageImage* page = loadPage(path, format, side, side, 0, kPageSize[format]);
        if (!page) {
            state.SkipWithError("loadPage failed");
            break;
        }
        benchmark::DoNotOptimize(page->pixels);
        freePage(page);
    }
    double loadSeconds = threadSeconds() - loadBegin;

    reportAgainstMemcpy(state, side, loadSeconds);
}

// The decoding walk alone, from a page already in memory into an image allocated once.
void decodePageVsMemcpy(benchmark::State& state)
{
    const int32_t format = static_cast<int32_t>(state.range(0));
    const int32_t side = static_cast<int32_t>(state.range(1));
    std::vector<uint8_t> source(static_cast<size_t>(kPageSize[format]));
    std::mt19937 rng(7);
    for (uint8_t& b : source)
        b = static_cast<uint8_t>(rng());
    PageImage* page = allocatePage(side, side);
    double decodeBegin = threadSeconds();
    for (auto _ : state) {
        decodePage(page, format, side, side, source.data(), static_cast<int64_t>(source.size()));
        benchmark::DoNotOptimize(page->pixels);
        benchmark::ClobberMemory();
    }
    double decodeSeconds = threadSeconds() - decodeBegin;
    freePage(page);
    reportAgainstMemcpy(state, side, decodeSeconds);
}

}  // namespace

BENCHMARK(decodePageVsMemcpy)
    ->ArgNames({"format", "side"})
    ->ArgsProduct({{0, 1, 2, 3}, {256, 1024}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(loadPageVsMemcpy)
    ->ArgNames({"format", "side"})
    ->ArgsProduct({{0, 1, 2, 3}, {256, 1024}})
    ->Unit(benchmark::kMicrosecond);
