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

// Frames of a game's sprite bank back to back: palette indices of a figure on a backdrop of
// index 0 (half the bytes or more zero, whole columns of zeros at the edges), which tables of
// records are not: there the zeros are short fields or the rest lies scattered.
TEST(FindLook, SpriteFramesOnTheirBackdrop)
{
    const Bytes bank = readSample("sprite_frames_slice.bin");
    ASSERT_FALSE(bank.empty());
    const std::vector<Find> finds = findAll(bank);
    // Six frames of 88 x 64, each after a header of 8 bytes.
    for (int64_t k = 0; k < 6; ++k) {
        const Sample frame = {"sprite_frames_slice.bin", 16384 + k * (88 * 64 + 8), kGrey8, 88, 64, 88};
        double covered = 0.0;
        for (const Find& f : finds)
            covered = std::max(covered, coverage(f, frame, frame.offset));
        EXPECT_GE(covered, 0.5) << "frame " << k;
    }
}

// Icons decoded into memory, premultiplied B,G,R,A, one after another: transparent pixels are
// all four bytes zero, around the figure and in whole columns at its edges.
TEST(FindLook, IconOnTransparentPixels)
{
    const Bytes icons = readSample("icons_in_memory_slice.bin");
    ASSERT_FALSE(icons.empty());
    const Sample face = {"icons_in_memory_slice.bin", 26944, kColour32, 48, 48, 192};
    double covered = 0.0;
    for (const Find& f : findAll(icons))
        covered = std::max(covered, coverage(f, face, face.offset));
    EXPECT_GE(covered, 0.5);
}

}  // namespace
