// The two inner loops that run over every byte, with SSE2 and AVX2 versions picked at run time.
#include "find/find_kernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define FIND_X86 1
// mingw does not keep the stack 32-byte aligned for AVX spills, so Windows stays on SSE2.
#if !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define FIND_AVX2 1
#endif
#endif

static int absDiff(int a, int b)
{
    return a > b ? a - b : b - a;
}

static void roughnessScalar(const uint8_t* p, int64_t n, uint64_t sums[3])
{
    sums[0] = sums[1] = sums[2] = 0;
    for (int64_t i = 0; i + 3 < n; ++i) {
        sums[0] += static_cast<uint64_t>(absDiff(p[i], p[i + 1]));
        sums[1] += static_cast<uint64_t>(absDiff(p[i], p[i + 2]));
        sums[2] += static_cast<uint64_t>(absDiff(p[i], p[i + 3]));
    }
}

#ifdef FIND_X86
static void roughnessSse2(const uint8_t* p, int64_t n, uint64_t sums[3])
{
    __m128i s1 = _mm_setzero_si128(), s2 = _mm_setzero_si128(), s3 = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 19 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        s1 = _mm_add_epi64(s1, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1))));
        s2 = _mm_add_epi64(s2, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2))));
        s3 = _mm_add_epi64(s3, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 3))));
    }
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s1);
    sums[0] = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s2);
    sums[1] = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s3);
    sums[2] = lanes[0] + lanes[1];
    for (; i + 3 < n; ++i) {
        sums[0] += static_cast<uint64_t>(absDiff(p[i], p[i + 1]));
        sums[1] += static_cast<uint64_t>(absDiff(p[i], p[i + 2]));
        sums[2] += static_cast<uint64_t>(absDiff(p[i], p[i + 3]));
    }
}

// 64 lags at a time in registers, over at most 255 positions so the byte counters cannot wrap.
static void countSimilarSse2(const uint8_t* u, const int32_t* positions, int32_t count,
                             int32_t lagMax, int32_t similar, uint32_t* counts)
{
    const __m128i limit = _mm_set1_epi8(static_cast<char>(similar));
    alignas(16) uint8_t lanes[64];
    for (int32_t first = 1; first <= lagMax; first += 64) {
        for (int32_t batch = 0; batch < count; batch += 255) {
            int32_t batchEnd = std::min(count, batch + 255);
            __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
            for (int32_t k = batch; k < batchEnd; ++k) {
                const uint8_t* q = u + positions[k] + first;
                __m128i c = _mm_set1_epi8(static_cast<char>(u[positions[k]]));
                __m128i x, d;
#define FIND_STEP(acc, off)                                                            \
    x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + (off)));                  \
    d = _mm_or_si128(_mm_subs_epu8(x, c), _mm_subs_epu8(c, x));                        \
    acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(_mm_min_epu8(d, limit), d));
                FIND_STEP(a0, 0)
                FIND_STEP(a1, 16)
                FIND_STEP(a2, 32)
                FIND_STEP(a3, 48)
#undef FIND_STEP
            }
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), a0);
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 16), a1);
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 32), a2);
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 48), a3);
            for (int32_t j = 0; j < 64 && first + j <= lagMax; ++j)
                counts[first + j] += lanes[j];
        }
    }
}
#endif

#ifdef FIND_AVX2
__attribute__((target("avx2"))) static void roughnessAvx2(const uint8_t* p, int64_t n,
                                                          uint64_t sums[3])
{
    __m256i s1 = _mm256_setzero_si256(), s2 = _mm256_setzero_si256(), s3 = _mm256_setzero_si256();
    int64_t i = 0;
    for (; i + 35 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        s1 = _mm256_add_epi64(s1, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1))));
        s2 = _mm256_add_epi64(s2, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2))));
        s3 = _mm256_add_epi64(s3, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 3))));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s1);
    sums[0] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s2);
    sums[1] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s3);
    sums[2] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i + 3 < n; ++i) {
        sums[0] += static_cast<uint64_t>(absDiff(p[i], p[i + 1]));
        sums[1] += static_cast<uint64_t>(absDiff(p[i], p[i + 2]));
        sums[2] += static_cast<uint64_t>(absDiff(p[i], p[i + 3]));
    }
}

__attribute__((target("avx2"))) static void countSimilarAvx2(const uint8_t* u,
                                                             const int32_t* positions,
                                                             int32_t count, int32_t lagMax,
                                                             int32_t similar, uint32_t* counts)
{
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(similar));
    alignas(32) uint8_t lanes[128];
    for (int32_t first = 1; first <= lagMax; first += 128) {
        for (int32_t batch = 0; batch < count; batch += 255) {
            int32_t batchEnd = std::min(count, batch + 255);
            __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
            for (int32_t k = batch; k < batchEnd; ++k) {
                const uint8_t* q = u + positions[k] + first;
                __m256i c = _mm256_set1_epi8(static_cast<char>(u[positions[k]]));
                __m256i x, d;
#define FIND_STEP(acc, off)                                                            \
    x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + (off)));               \
    d = _mm256_or_si256(_mm256_subs_epu8(x, c), _mm256_subs_epu8(c, x));               \
    acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(_mm256_min_epu8(d, limit), d));
                FIND_STEP(a0, 0)
                FIND_STEP(a1, 32)
                FIND_STEP(a2, 64)
                FIND_STEP(a3, 96)
#undef FIND_STEP
            }
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), a0);
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 32), a1);
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 64), a2);
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 96), a3);
            for (int32_t j = 0; j < 128 && first + j <= lagMax; ++j)
                counts[first + j] += lanes[j];
        }
    }
}
#endif

static void countSimilarScalar(const uint8_t* u, const int32_t* positions, int32_t count,
                               int32_t lagMax, int32_t similar, uint32_t* counts)
{
    for (int32_t k = 0; k < count; ++k) {
        const uint8_t* q = u + positions[k];
        for (int32_t lag = 1; lag <= lagMax; ++lag)
            counts[lag] += absDiff(q[0], q[lag]) <= similar;
    }
}

struct Kernels {
    void (*roughness)(const uint8_t*, int64_t, uint64_t*);
    void (*countSimilar)(const uint8_t*, const int32_t*, int32_t, int32_t, int32_t, uint32_t*);
    const char* name;
};

static Kernels pickKernels()
{
    // TESSVANE_FIND_KERNELS=scalar or sse2 holds the finder to a plainer kernel, for comparisons.
    const char* forced = std::getenv("TESSVANE_FIND_KERNELS");
    bool scalarOnly = forced && std::strcmp(forced, "scalar") == 0;
    bool noAvx2 = scalarOnly || (forced && std::strcmp(forced, "sse2") == 0);
    (void)noAvx2;
#ifdef FIND_AVX2
    if (!noAvx2 && __builtin_cpu_supports("avx2"))
        return {roughnessAvx2, countSimilarAvx2, "avx2"};
#endif
#ifdef FIND_X86
    if (!scalarOnly)
        return {roughnessSse2, countSimilarSse2, "sse2"};
#endif
    return {roughnessScalar, countSimilarScalar, "scalar"};
}

static const Kernels& kernels()
{
    static const Kernels picked = pickKernels();
    return picked;
}

void roughness(const uint8_t* p, int64_t n, uint64_t sums[3])
{
    kernels().roughness(p, n, sums);
}

void countSimilar(const uint8_t* u, const int32_t* positions, int32_t count, int32_t lagMax,
                  int32_t similar, uint32_t* counts)
{
    kernels().countSimilar(u, positions, count, lagMax, similar, counts);
}

const char* kernelName()
{
    return kernels().name;
}
