// Stage 1: which blocks of a buffer are worth a search at all.
#pragma once

#include <cstdint>
#include <vector>

enum BlockKind : uint8_t { kNoiseBlock, kFlatBlock, kSearchBlock };

// One kind per kBlockBytes block of [0, n), the last block possibly short.
void sieveBlocks(const uint8_t* data, int64_t n, std::vector<uint8_t>* kinds);
