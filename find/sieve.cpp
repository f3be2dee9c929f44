#include "find/sieve.h"

#include <algorithm>

#include "find/find_kernels.h"
#include "find/tuning.h"

static BlockKind blockKind(const uint8_t* p, int64_t n)
{
    if (n < 64)
        return kNoiseBlock;
    uint64_t sums[4];
    roughness(p, n, sums);
    if (sums[0] == 0 && sums[1] == 0)
        return kFlatBlock;
    uint64_t least = std::min({sums[0], sums[1], sums[2], sums[3]});
    // Noise and compressed data differ at every distance; rows of a picture, even an indexed
    // one, repeat colours one pixel on often enough to bring one of these down.
    return least >= kNoiseRoughness * static_cast<uint64_t>(n - 4) ? kNoiseBlock : kSearchBlock;
}

void sieveBlocks(const uint8_t* data, int64_t n, std::vector<uint8_t>* kinds)
{
    kinds->clear();
    for (int64_t b = 0; b < n; b += kBlockBytes)
        kinds->push_back(blockKind(data + b, std::min(kBlockBytes, n - b)));
}
