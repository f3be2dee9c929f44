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

static void roughnessTail(const uint8_t* p, int64_t i, int64_t n, uint64_t sums[4])
{
    for (; i + 4 < n; ++i)
        for (int k = 0; k < 4; ++k)
            sums[k] += static_cast<uint64_t>(absDiff(p[i], p[i + k + 1]));
}

static void roughnessScalar(const uint8_t* p, int64_t n, uint64_t sums[4])
{
    sums[0] = sums[1] = sums[2] = sums[3] = 0;
    roughnessTail(p, 0, n, sums);
}

static uint64_t sumCappedScalar(const uint8_t* a, const uint8_t* b, int64_t n, int32_t cap)
{
    uint64_t sum = 0;
    for (int64_t i = 0; i < n; ++i)
        sum += static_cast<uint64_t>(std::min(absDiff(a[i], b[i]), cap));
    return sum;
}

static void pixelNeighboursScalar(const uint8_t* u, const int32_t* offsets, int32_t count, const int32_t reach[4],
                                  int32_t cap, int64_t near[5], int64_t far[4])
{
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* p = u + offsets[i];
        for (int k = 1; k <= 5; ++k)
            near[k - 1] += std::min(absDiff(p[0], p[k]), cap);
        for (int k = 0; k < 4; ++k)
            far[k] += std::min(absDiff(p[0], p[reach[k]]), cap);
    }
}

#ifdef FIND_X86
// The near bytes and the four far ones in one vector against the sample's own, widened to
// 16-bit sums that are emptied before they could overflow.
static void pixelNeighboursSse2(const uint8_t* u, const int32_t* offsets, int32_t count, const int32_t reach[4],
                                int32_t cap, int64_t near[5], int64_t far[4])
{
    const __m128i limit = _mm_set1_epi8(static_cast<char>(cap)), zero = _mm_setzero_si128();
    for (int32_t first = 0; first < count; first += 4096) {
        __m128i nearSums = zero, farSums = zero;
        for (int32_t i = first; i < std::min(count, first + 4096); ++i) {
            const uint8_t* p = u + offsets[i];
            const uint32_t farBytes = static_cast<uint32_t>(p[reach[0]]) | static_cast<uint32_t>(p[reach[1]]) << 8 |
                                      static_cast<uint32_t>(p[reach[2]]) << 16 | static_cast<uint32_t>(p[reach[3]]) << 24;
            const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                                 _mm_cvtsi32_si128(static_cast<int>(farBytes)));
            const __m128i c = _mm_set1_epi8(static_cast<char>(p[0]));
            const __m128i d = _mm_min_epu8(_mm_or_si128(_mm_subs_epu8(x, c), _mm_subs_epu8(c, x)), limit);
            nearSums = _mm_add_epi16(nearSums, _mm_unpacklo_epi8(d, zero));
            farSums = _mm_add_epi16(farSums, _mm_unpackhi_epi8(d, zero));
        }
        alignas(16) uint16_t lanes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), nearSums);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 8), farSums);
        for (int k = 0; k < 5; ++k)
            near[k] += lanes[k + 1];
        for (int k = 0; k < 4; ++k)
            far[k] += lanes[8 + k];
    }
}

static void roughnessSse2(const uint8_t* p, int64_t n, uint64_t sums[4])
{
    __m128i s1 = _mm_setzero_si128(), s2 = _mm_setzero_si128(), s3 = _mm_setzero_si128(), s4 = s3;
    int64_t i = 0;
    for (; i + 20 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        s1 = _mm_add_epi64(s1, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1))));
        s2 = _mm_add_epi64(s2, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2))));
        s3 = _mm_add_epi64(s3, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 3))));
        s4 = _mm_add_epi64(s4, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 4))));
    }
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s1);
    sums[0] = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s2);
    sums[1] = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s3);
    sums[2] = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s4);
    sums[3] = lanes[0] + lanes[1];
    roughnessTail(p, i, n, sums);
}

// 64 lags at a time in registers. Byte sums cover 17 positions (17 x 15 = 255), then widen into
// 16-bit sums, which hold 4369 positions.
static void sumDifferencesSse2(const uint8_t* u, const int32_t* positions, int32_t count,
                               int32_t lagMax, int32_t cap, uint32_t* sums)
{
    const __m128i limit = _mm_set1_epi8(static_cast<char>(cap));
    const __m128i zero = _mm_setzero_si128();
    alignas(16) uint16_t lanes[64];
    for (int32_t first = 1; first <= lagMax; first += 64) {
        __m128i w[8];
        for (__m128i& v : w)
            v = zero;
        for (int32_t batch = 0; batch < count; batch += 17) {
            int32_t batchEnd = std::min(count, batch + 17);
            __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
            for (int32_t k = batch; k < batchEnd; ++k) {
                const uint8_t* q = u + positions[k] + first;
                __m128i c = _mm_set1_epi8(static_cast<char>(u[positions[k]]));
                __m128i x, d;
#define FIND_STEP(acc, off)                                                            \
    x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + (off)));                  \
    d = _mm_or_si128(_mm_subs_epu8(x, c), _mm_subs_epu8(c, x));                        \
    acc = _mm_add_epi8(acc, _mm_min_epu8(d, limit));
                FIND_STEP(a0, 0)
                FIND_STEP(a1, 16)
                FIND_STEP(a2, 32)
                FIND_STEP(a3, 48)
#undef FIND_STEP
            }
            w[0] = _mm_add_epi16(w[0], _mm_unpacklo_epi8(a0, zero));
            w[1] = _mm_add_epi16(w[1], _mm_unpackhi_epi8(a0, zero));
            w[2] = _mm_add_epi16(w[2], _mm_unpacklo_epi8(a1, zero));
            w[3] = _mm_add_epi16(w[3], _mm_unpackhi_epi8(a1, zero));
            w[4] = _mm_add_epi16(w[4], _mm_unpacklo_epi8(a2, zero));
            w[5] = _mm_add_epi16(w[5], _mm_unpackhi_epi8(a2, zero));
            w[6] = _mm_add_epi16(w[6], _mm_unpacklo_epi8(a3, zero));
            w[7] = _mm_add_epi16(w[7], _mm_unpackhi_epi8(a3, zero));
        }
        for (int j = 0; j < 8; ++j)
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 8 * j), w[j]);
        for (int32_t j = 0; j < 64 && first + j <= lagMax; ++j)
            sums[first + j] = lanes[j];
    }
}

// The same 32 lags for every position: byte sums over 17 positions, then 16-bit ones.
static void sumNearSse2(const uint8_t* u, const int32_t* positions, int32_t count, int64_t lag, int32_t cap,
                        uint32_t* sums)
{
    const __m128i limit = _mm_set1_epi8(static_cast<char>(cap));
    const __m128i zero = _mm_setzero_si128();
    __m128i w0 = zero, w1 = zero, w2 = zero, w3 = zero;
    for (int32_t batch = 0; batch < count; batch += 17) {
        const int32_t batchEnd = std::min(count, batch + 17);
        __m128i a0 = zero, a1 = zero;
        for (int32_t k = batch; k < batchEnd; ++k) {
            const uint8_t* q = u + positions[k] + lag;
            const __m128i c = _mm_set1_epi8(static_cast<char>(u[positions[k]]));
            const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16));
            a0 = _mm_add_epi8(a0, _mm_min_epu8(_mm_or_si128(_mm_subs_epu8(x0, c), _mm_subs_epu8(c, x0)), limit));
            a1 = _mm_add_epi8(a1, _mm_min_epu8(_mm_or_si128(_mm_subs_epu8(x1, c), _mm_subs_epu8(c, x1)), limit));
        }
        w0 = _mm_add_epi16(w0, _mm_unpacklo_epi8(a0, zero));
        w1 = _mm_add_epi16(w1, _mm_unpackhi_epi8(a0, zero));
        w2 = _mm_add_epi16(w2, _mm_unpacklo_epi8(a1, zero));
        w3 = _mm_add_epi16(w3, _mm_unpackhi_epi8(a1, zero));
    }
    alignas(16) uint16_t lanes[kNearLags];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), w0);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 8), w1);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 16), w2);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 24), w3);
    for (int32_t j = 0; j < kNearLags; ++j)
        sums[j] += lanes[j];
}

// Byte differences summed eight at a time into 64-bit lanes by their distance from zero.
static uint64_t sumCappedSse2(const uint8_t* a, const uint8_t* b, int64_t n, int32_t cap)
{
    const __m128i limit = _mm_set1_epi8(static_cast<char>(cap));
    __m128i s = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i d = _mm_min_epu8(_mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x)), limit);
        s = _mm_add_epi64(s, _mm_sad_epu8(d, _mm_setzero_si128()));
    }
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s);
    return lanes[0] + lanes[1] + sumCappedScalar(a + i, b + i, n - i, cap);
}
#endif

#ifdef FIND_AVX2
__attribute__((target("avx2"))) static void roughnessAvx2(const uint8_t* p, int64_t n,
                                                          uint64_t sums[4])
{
    __m256i s1 = _mm256_setzero_si256(), s2 = _mm256_setzero_si256(), s3 = _mm256_setzero_si256(), s4 = s3;
    int64_t i = 0;
    for (; i + 36 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        s1 = _mm256_add_epi64(s1, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1))));
        s2 = _mm256_add_epi64(s2, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2))));
        s3 = _mm256_add_epi64(s3, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 3))));
        s4 = _mm256_add_epi64(s4, _mm256_sad_epu8(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4))));
    }
    // The last bytes of a cell, 16 then 8 at a time, rather than one by one.
    __m128i t1 = _mm_setzero_si128(), t2 = t1, t3 = t1, t4 = t1;
    for (int64_t width = 16; width >= 8; width /= 2)
        for (; i + width + 4 <= n; i += width) {
            auto load = [&](int64_t k) {
                return width == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k))
                                   : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i + k));
            };
            const __m128i a = load(0);
            t1 = _mm_add_epi64(t1, _mm_sad_epu8(a, load(1)));
            t2 = _mm_add_epi64(t2, _mm_sad_epu8(a, load(2)));
            t3 = _mm_add_epi64(t3, _mm_sad_epu8(a, load(3)));
            t4 = _mm_add_epi64(t4, _mm_sad_epu8(a, load(4)));
        }
    s1 = _mm256_add_epi64(s1, _mm256_zextsi128_si256(t1));
    s2 = _mm256_add_epi64(s2, _mm256_zextsi128_si256(t2));
    s3 = _mm256_add_epi64(s3, _mm256_zextsi128_si256(t3));
    s4 = _mm256_add_epi64(s4, _mm256_zextsi128_si256(t4));
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s1);
    sums[0] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s2);
    sums[1] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s3);
    sums[2] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s4);
    sums[3] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    roughnessTail(p, i, n, sums);
}

__attribute__((target("avx2"))) static void sumDifferencesAvx2(const uint8_t* u,
                                                               const int32_t* positions,
                                                               int32_t count, int32_t lagMax,
                                                               int32_t cap, uint32_t* sums)
{
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(cap));
    const __m256i zero = _mm256_setzero_si256();
    alignas(32) uint16_t lanes[128];
    for (int32_t first = 1; first <= lagMax; first += 128) {
        __m256i w0 = zero, w1 = zero, w2 = zero, w3 = zero, w4 = zero, w5 = zero, w6 = zero, w7 = zero;
        for (int32_t batch = 0; batch < count; batch += 17) {
            int32_t batchEnd = std::min(count, batch + 17);
            __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
            for (int32_t k = batch; k < batchEnd; ++k) {
                const uint8_t* q = u + positions[k] + first;
                __m256i c = _mm256_set1_epi8(static_cast<char>(u[positions[k]]));
                __m256i x, d;
#define FIND_STEP(acc, off)                                                            \
    x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + (off)));               \
    d = _mm256_or_si256(_mm256_subs_epu8(x, c), _mm256_subs_epu8(c, x));               \
    acc = _mm256_add_epi8(acc, _mm256_min_epu8(d, limit));
                FIND_STEP(a0, 0)
                FIND_STEP(a1, 32)
                FIND_STEP(a2, 64)
                FIND_STEP(a3, 96)
#undef FIND_STEP
            }
#define FIND_WIDEN(wlo, whi, acc)                                                                  \
    wlo = _mm256_add_epi16(wlo, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(acc)));               \
    whi = _mm256_add_epi16(whi, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(acc, 1)));
            FIND_WIDEN(w0, w1, a0)
            FIND_WIDEN(w2, w3, a1)
            FIND_WIDEN(w4, w5, a2)
            FIND_WIDEN(w6, w7, a3)
#undef FIND_WIDEN
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), w0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 16), w1);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 32), w2);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 48), w3);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 64), w4);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 80), w5);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 96), w6);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 112), w7);
        if (first + 127 <= lagMax) {
            for (int32_t j = 0; j < 128; j += 8)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + first + j),
                                    _mm256_cvtepu16_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes + j))));
        } else {
            for (int32_t j = 0; first + j <= lagMax; ++j)
                sums[first + j] = lanes[j];
        }
    }
}

__attribute__((target("avx2"))) static void sumNearAvx2(const uint8_t* u, const int32_t* positions, int32_t count,
                                                        int64_t lag, int32_t cap, uint32_t* sums)
{
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(cap));
    const __m256i zero = _mm256_setzero_si256();
    __m256i w0 = zero, w1 = zero;
    for (int32_t batch = 0; batch < count; batch += 17) {
        const int32_t batchEnd = std::min(count, batch + 17);
        __m256i a = zero;
        for (int32_t k = batch; k < batchEnd; ++k) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + positions[k] + lag));
            const __m256i c = _mm256_set1_epi8(static_cast<char>(u[positions[k]]));
            a = _mm256_add_epi8(a, _mm256_min_epu8(_mm256_or_si256(_mm256_subs_epu8(x, c), _mm256_subs_epu8(c, x)), limit));
        }
        w0 = _mm256_add_epi16(w0, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(a)));
        w1 = _mm256_add_epi16(w1, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(a, 1)));
    }
    alignas(32) uint16_t lanes[kNearLags];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), w0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 16), w1);
    for (int32_t j = 0; j < kNearLags; ++j)
        sums[j] += lanes[j];
}

__attribute__((target("avx2"))) static uint64_t sumCappedAvx2(const uint8_t* a, const uint8_t* b, int64_t n, int32_t cap)
{
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(cap));
    __m256i s = _mm256_setzero_si256();
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i d = _mm256_min_epu8(_mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x)), limit);
        s = _mm256_add_epi64(s, _mm256_sad_epu8(d, _mm256_setzero_si256()));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + sumCappedSse2(a + i, b + i, n - i, cap);
}
#endif

static void sumDifferencesScalar(const uint8_t* u, const int32_t* positions, int32_t count,
                                 int32_t lagMax, int32_t cap, uint32_t* sums)
{
    std::fill(sums + 1, sums + lagMax + 1, 0u);
    for (int32_t k = 0; k < count; ++k) {
        const uint8_t* q = u + positions[k];
        for (int32_t lag = 1; lag <= lagMax; ++lag)
            sums[lag] += static_cast<uint32_t>(std::min(absDiff(q[0], q[lag]), cap));
    }
}

static void sumNearScalar(const uint8_t* u, const int32_t* positions, int32_t count, int64_t lag, int32_t cap,
                          uint32_t* sums)
{
    for (int32_t k = 0; k < count; ++k) {
        const uint8_t* q = u + positions[k];
        for (int32_t j = 0; j < kNearLags; ++j)
            sums[j] += static_cast<uint32_t>(std::min(absDiff(q[0], q[lag + j]), cap));
    }
}

struct Kernels {
    void (*roughness)(const uint8_t*, int64_t, uint64_t*);
    void (*sumDifferences)(const uint8_t*, const int32_t*, int32_t, int32_t, int32_t, uint32_t*);
    void (*sumNear)(const uint8_t*, const int32_t*, int32_t, int64_t, int32_t, uint32_t*);
    uint64_t (*sumCapped)(const uint8_t*, const uint8_t*, int64_t, int32_t);
    void (*pixelNeighbours)(const uint8_t*, const int32_t*, int32_t, const int32_t*, int32_t, int64_t*, int64_t*);
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
        return {roughnessAvx2, sumDifferencesAvx2, sumNearAvx2, sumCappedAvx2, pixelNeighboursSse2, "avx2"};
#endif
#ifdef FIND_X86
    if (!scalarOnly)
        return {roughnessSse2, sumDifferencesSse2, sumNearSse2, sumCappedSse2, pixelNeighboursSse2, "sse2"};
#endif
    return {roughnessScalar, sumDifferencesScalar, sumNearScalar, sumCappedScalar, pixelNeighboursScalar, "scalar"};
}

static const Kernels& kernels()
{
    static const Kernels picked = pickKernels();
    return picked;
}

void roughness(const uint8_t* p, int64_t n, uint64_t sums[4])
{
    kernels().roughness(p, n, sums);
}

void sumDifferences(const uint8_t* u, const int32_t* positions, int32_t count, int32_t lagMax,
                    int32_t cap, uint32_t* sums)
{
    kernels().sumDifferences(u, positions, count, lagMax, cap, sums);
}

void sumNearDifferences(const uint8_t* u, const int32_t* positions, int32_t count, int64_t lag, int32_t cap,
                        uint32_t* sums)
{
    kernels().sumNear(u, positions, count, lag, cap, sums);
}

uint64_t sumCappedDifferences(const uint8_t* a, const uint8_t* b, int64_t n, int32_t cap)
{
    return kernels().sumCapped(a, b, n, cap);
}

void sumPixelNeighbours(const uint8_t* u, const int32_t* offsets, int32_t count, const int32_t reach[4], int32_t cap,
                        int64_t near[5], int64_t far[4])
{
    kernels().pixelNeighbours(u, offsets, count, reach, cap, near, far);
}

uint32_t headerMarks(const uint8_t* p)
{
#ifdef FIND_X86
    const __m128i l0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i l1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i l2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i l7 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 7));
    auto is = [](__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    const __m128i zero1 = is(l1, 0);
    // BM; P5 or P6; TGA's colour map type 0 and image type 2 or 3; XWD's version 7; II or MM.
    __m128i m = _mm_and_si128(is(l0, 'B'), is(l1, 'M'));
    m = _mm_or_si128(m, _mm_and_si128(is(l0, 'P'), _mm_or_si128(is(l1, '5'), is(l1, '6'))));
    m = _mm_or_si128(m, _mm_and_si128(zero1, _mm_or_si128(is(l2, 2), is(l2, 3))));
    m = _mm_or_si128(m, _mm_and_si128(_mm_and_si128(is(l0, 0), zero1), is(l7, 7)));
    m = _mm_or_si128(m, _mm_and_si128(is(l0, 'I'), is(l1, 'I')));
    m = _mm_or_si128(m, _mm_and_si128(is(l0, 'M'), is(l1, 'M')));
    return static_cast<uint32_t>(_mm_movemask_epi8(m));
#else
    uint32_t marks = 0;
    for (int k = 0; k < 16; ++k) {
        const uint8_t* h = p + k;
        const bool may = (h[0] == 'B' && h[1] == 'M') || (h[0] == 'P' && (h[1] == '5' || h[1] == '6')) ||
                         (h[1] == 0 && (h[2] == 2 || h[2] == 3)) || (h[0] == 0 && h[1] == 0 && h[7] == 7) ||
                         (h[0] == 'I' && h[1] == 'I') || (h[0] == 'M' && h[1] == 'M');
        marks |= static_cast<uint32_t>(may) << k;
    }
    return marks;
#endif
}

const char* kernelName()
{
    return kernels().name;
}
