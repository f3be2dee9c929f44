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
