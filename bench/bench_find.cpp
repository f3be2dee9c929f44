// The finder over noise, the common case in a dump, against plainly reading the same bytes in the
// same run. findFileVsRead scans a 512 MiB noise file from the page cache with every core and,
// in each iteration, also reads it through in 8 MiB windows on as many threads: "ratio" is scan
// time over read time, "scan_MBps" and "read_MBps" the rates (wall clock, since both use threads).
// findBufferNoise is the single-threaded scan of noise already in memory. findCraftedHeaders scans
// 4 MiB of crafted headers (tests/support/crafted_headers.h: many a MiB, claiming more rows than
// there are, off the 16-byte boundary, endless PNM comments, tiny pictures) and the same bytes with
// their signatures broken, single-threaded in memory, in turns: "ratio" is the crafted scan's
// processor time over the plain one's; past kMostCraftedRatio the benchmark fails.
#include <benchmark/benchmark.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <time.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/raw_file.h"
#include "find/find.h"
#include "tests/support/crafted_headers.h"
#include "tests/support/find_path.h"

namespace {

constexpr int64_t kFileBytes = int64_t{512} << 20;
constexpr int64_t kWindowBytes = 8 << 20;

std::string benchPath;

void removeBenchFile()
{
    removeFile(benchPath.c_str());
}

std::vector<uint8_t> noise(size_t size, uint32_t seed)
{
    std::vector<uint8_t> out(size);
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            out[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return out;
}

const char* benchFile()
{
    if (benchPath.empty()) {
        benchPath = "/tmp/tessvane_bench_find_" + std::to_string(getpid()) + ".bin";
        int fd = createForWrite(benchPath.c_str());
        bool ok = fd != kNoFile;
        for (int64_t at = 0; ok && at < kFileBytes; at += kWindowBytes) {
            std::vector<uint8_t> window = noise(static_cast<size_t>(kWindowBytes), static_cast<uint32_t>(at >> 20));
            ok = writeFully(fd, window.data(), window.size());
        }
        if (!ok || !closeFile(fd)) {
            std::fprintf(stderr, "cannot write %s\n", benchPath.c_str());
            std::exit(1);
        }
        std::atexit(removeBenchFile);
    }
    return benchPath.c_str();
}

// Reads the whole file in windows on `threads` threads, as the finder's first pass does.
void readThrough(const char* path, int32_t threads)
{
    std::vector<std::thread> pool;
    for (int32_t t = 0; t < threads; ++t)
        pool.emplace_back([=] {
            std::vector<uint8_t> buffer(static_cast<size_t>(kWindowBytes));
            int fd = openForRead(path, false);
            for (int64_t at = t * kWindowBytes; at < kFileBytes; at += threads * kWindowBytes) {
                seekTo(fd, at);
                benchmark::DoNotOptimize(readFully(fd, buffer.data(), buffer.size()));
            }
            closeFile(fd);
        });
    for (std::thread& t : pool)
        t.join();
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void findFileVsRead(benchmark::State& state)
{
    const char* path = benchFile();
    const int32_t threads = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    readThrough(path, threads);  // into the page cache
    double scanTotal = 0, readTotal = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::vector<Find> finds;
        ScanResult result;
        char error[256];
        if (!findInPath(path, defaultFindOptions(), nullptr, nullptr, &finds, &result, error, sizeof error))
            state.SkipWithError(error);
        scanTotal += seconds(start);
        benchmark::DoNotOptimize(finds.data());
        state.PauseTiming();
        start = std::chrono::steady_clock::now();
        readThrough(path, threads);
        readTotal += seconds(start);
        state.ResumeTiming();
    }
    const double mb = static_cast<double>(kFileBytes) * static_cast<double>(state.iterations()) / 1e6;
    state.counters["scan_MBps"] = mb / scanTotal;
    state.counters["read_MBps"] = mb / readTotal;
    state.counters["ratio"] = scanTotal / readTotal;
    state.counters["threads"] = threads;
}
BENCHMARK(findFileVsRead)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void findBufferNoise(benchmark::State& state)
{
    const std::vector<uint8_t> data = noise(64 << 20, 7);
    for (auto _ : state) {
        std::vector<Find> finds;
        findInBuffer(data.data(), static_cast<int64_t>(data.size()), 0, defaultFindOptions(), &finds);
        benchmark::DoNotOptimize(finds.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(data.size()) * state.iterations());
}
BENCHMARK(findBufferNoise)->Unit(benchmark::kMillisecond);

constexpr double kMostCraftedRatio = 3.0;

double threadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The processor time of one scan on this thread: other work on the machine does not count.
double scanSeconds(const std::vector<uint8_t>& data)
{
    const double start = threadSeconds();
    std::vector<Find> finds;
    findInBuffer(data.data(), static_cast<int64_t>(data.size()), 0, defaultFindOptions(), &finds);
    benchmark::DoNotOptimize(finds.data());
    return threadSeconds() - start;
}

void findCraftedHeaders(benchmark::State& state)
{
    const CraftedKind kind = static_cast<CraftedKind>(state.range(0));
    const std::vector<uint8_t> crafted = craftedHeaders(kind, 4 << 20, false), plain = craftedHeaders(kind, 4 << 20, true);
    double craftedTotal = 0, plainTotal = 0;
    for (auto _ : state) {
        craftedTotal += scanSeconds(crafted);
        plainTotal += scanSeconds(plain);
    }
    state.SetLabel(craftedName(kind));
    state.counters["ratio"] = craftedTotal / plainTotal;
    state.counters["crafted_MBps"] = static_cast<double>(crafted.size()) * static_cast<double>(state.iterations()) / 1e6 / craftedTotal;
    if (craftedTotal > kMostCraftedRatio * plainTotal)
        state.SkipWithError(("crafted headers scan " + std::to_string(craftedTotal / plainTotal) + " times as slow as the plain bytes").c_str());
}
BENCHMARK(findCraftedHeaders)->DenseRange(0, kCraftedKinds - 1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
