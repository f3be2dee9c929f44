#include "tests/support/find_samples.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

const Sample kSamples[4] = {
    {"photo_101x_bmp24.bmp", 54, kColour24, 101, 63, 304},
    {"photo_97x_bmp8.bmp", 1078, kGrey8, 97, 61, 100},
    {"screen565_240x160.raw", 0, kColour565, 240, 160, 480},
    {"screen32_160x120.raw", 0, kColour32, 160, 120, 640},
};

const Sample kGrainySample = {"texture_100x100_rgb24.raw", 0, kColour24, 100, 100, 300};

Bytes readSample(const char* file)
{
    std::ifstream in(std::string(TESSVANE_FIND_SAMPLES) + "/" + file, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << file;
    return bytes;
}

Bytes samplePixels(const Sample& sample)
{
    Bytes file = readSample(sample.file);
    const int64_t end = std::min<int64_t>(static_cast<int64_t>(file.size()), sample.offset + sample.stride * sample.height);
    return Bytes(file.begin() + sample.offset, file.begin() + end);
}

int64_t append(Bytes* out, const Bytes& bytes)
{
    const int64_t at = static_cast<int64_t>(out->size());
    out->insert(out->end(), bytes.begin(), bytes.end());
    return at;
}

std::string scratchPath(const char* name)
{
    return "/tmp/find_test_" + std::to_string(getpid()) + "_" + name;
}

std::vector<Find> findAll(const Bytes& data, FindOptions options)
{
    std::vector<Find> finds;
    EXPECT_TRUE(findInBuffer(data.data(), static_cast<int64_t>(data.size()), 0, options, &finds));
    return finds;
}

double coverage(const Find& f, const Sample& sample, int64_t at)
{
    if (f.layout != sample.layout || f.width != sample.width || f.stride != sample.stride)
        return 0.0;
    const int64_t end = at + sample.stride * sample.height;
    const int64_t overlap = std::min(end, f.offset + f.bytes) - std::max(at, f.offset);
    return overlap > 0 ? static_cast<double>(overlap) / static_cast<double>(end - at) : 0.0;
}

void put(Bytes* out, uint32_t value, int bytes)
{
    for (int k = 0; k < bytes; ++k)
        out->push_back(static_cast<uint8_t>(value >> (8 * k)));
}

Bytes bmpHeader(const Sample& s, int32_t bitsPerPixel)
{
    Bytes h = {'B', 'M'};
    const uint32_t area = static_cast<uint32_t>(s.stride * s.height);
    for (uint32_t v : {54 + area, 0u, 54u, 40u, static_cast<uint32_t>(s.width), static_cast<uint32_t>(s.height)})
        put(&h, v, 4);
    put(&h, 1, 2);
    put(&h, static_cast<uint32_t>(bitsPerPixel), 2);
    for (uint32_t v : {0u, area, 2835u, 2835u, 0u, 0u})
        put(&h, v, 4);
    return h;
}

Bytes tgaHeader(const Sample& s)
{
    const int32_t bits = 8 * static_cast<int32_t>(s.stride / s.width);
    Bytes h = {0, 0, static_cast<uint8_t>(bits == 8 ? 3 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put(&h, static_cast<uint32_t>(s.width), 2);
    put(&h, static_cast<uint32_t>(s.height), 2);
    h.push_back(static_cast<uint8_t>(bits));
    h.push_back(bits == 32 ? 0x28 : 0x20);
    return h;
}

Bytes tiffHeader(const Sample& s)
{
    Bytes h = {'I', 'I', 42, 0};
    put(&h, 8 + static_cast<uint32_t>(s.stride * s.height), 4);
    return h;
}

Bytes tiffDirectory(const Sample& s)
{
    const uint32_t area = static_cast<uint32_t>(s.stride * s.height), directory = 8 + area;
    const uint32_t samples = static_cast<uint32_t>(s.stride / s.width);
    const uint32_t width = static_cast<uint32_t>(s.width), height = static_cast<uint32_t>(s.height);
    Bytes entries;
    put(&entries, 9, 2);
    const uint32_t fields[9][3] = {{256, 3, width}, {257, 3, height}, {258, 3, samples > 1 ? directory + 2 + 9 * 12 + 4 : 8},
                                   {259, 3, 1}, {262, 3, samples > 1 ? 2u : 1u}, {273, 4, 8}, {277, 3, samples},
                                   {278, 3, height}, {279, 4, area}};
    for (const auto& [tag, type, value] : fields) {
        put(&entries, tag, 2);
        put(&entries, type, 2);
        put(&entries, tag == 258 ? samples : 1, 4);
        put(&entries, value, 4);
    }
    put(&entries, 0, 4);
    for (uint32_t k = 0; samples > 1 && k < samples; ++k)
        put(&entries, 8, 2);
    return entries;
}
