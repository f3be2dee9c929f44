// The stages that judge by the bytes' look alone, on real bytes that are not pictures but look
// like them, beside real pictures that must still be found.
#include <gtest/gtest.h>

#include <algorithm>

#include "find/find.h"
#include "tests/support/find_samples.h"

namespace {

// 16-bit sound is alike at its period like rows of 16- or 32-bit pixels; between two real screen
// crops (565 and 32-bit) the screens are found and the sound is not.
TEST(FindLook, SixteenBitSoundIsNoPicture)
{
    const Sample& screen565 = kSamples[2];
    const Sample& screen32 = kSamples[3];
    ASSERT_EQ(screen565.layout, kColour565);
    ASSERT_EQ(screen32.layout, kColour32);
    for (const char* slice : kSoundSlices) {
        const Bytes sound = readSample(slice);
        ASSERT_FALSE(sound.empty()) << slice;
        for (const Find& f : findAll(sound))
            ADD_FAILURE() << slice << ": found layout " << f.layout << " width " << f.width << " stride " << f.stride
                          << " at " << f.offset;
        Bytes data;
        const int64_t at565 = append(&data, samplePixels(screen565));
        const int64_t soundAt = append(&data, sound);
        const int64_t at32 = append(&data, samplePixels(screen32));
        const std::vector<Find> finds = findAll(data);
        double covered565 = 0.0, covered32 = 0.0;
        for (const Find& f : finds) {
            covered565 = std::max(covered565, coverage(f, screen565, at565));
            covered32 = std::max(covered32, coverage(f, screen32, at32));
            const int64_t over = std::min(f.offset + f.bytes, soundAt + static_cast<int64_t>(sound.size())) -
                                 std::max(f.offset, soundAt);
            EXPECT_LE(2 * over, f.bytes) << slice << ": a find mostly over the sound at " << f.offset;
        }
        EXPECT_GE(covered565, 0.5) << slice;
        EXPECT_GE(covered32, 0.5) << slice;
    }
}

}  // namespace
