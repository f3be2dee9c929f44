// The stages that judge by the bytes' look alone, on real bytes that are not pictures but look
// like them, beside real pictures that must still be found.
#include <gtest/gtest.h>

#include <algorithm>

#include "find/find.h"
#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

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
// Each picture is at least half found with its own layout, width and stride.
void expectEachFound(const std::vector<Find>& finds, const std::vector<Sample>& pictures)
{
    for (const Sample& picture : pictures) {
        double covered = 0.0;
        for (const Find& f : finds)
            covered = std::max(covered, coverage(f, picture, picture.offset));
        EXPECT_GE(covered, 0.5) << picture.file << " at " << picture.offset;
    }
}

// Each of `count` 8-bit frames of a sprite bank, the first at `first`, each after a header of 8
// bytes, is at least half found.
void expectFrames(const char* file, int64_t first, int32_t width, int32_t height, int64_t count)
{
    const Bytes bank = readSample(file);
    ASSERT_FALSE(bank.empty());
    const std::vector<Find> finds = findAll(bank);
    for (int64_t k = 0; k < count; ++k) {
        const Sample frame = {file, first + k * (int64_t{width} * height + 8), kGrey8, width, height, width};
        double covered = 0.0;
        for (const Find& f : finds)
            covered = std::max(covered, coverage(f, frame, frame.offset));
        EXPECT_GE(covered, 0.5) << file << ": frame " << k;
    }
}

TEST(FindLook, SpriteFramesOnTheirBackdrop)
{
    expectFrames("sprite_frames_slice.bin", 16384, 88, 64, 6);
}

// Sprite frames four fifths zeros, the figure in indices 0xA0 to 0xDF: counting the backdrop's
// zeros, the nibbles of a byte looked like two neighbouring 4-bit pixels.
TEST(FindLook, SpriteOnZerosIsEightBit)
{
    expectFrames("sprite_on_zeros_slice.bin", 4033, 101, 60, 4);
}

// Icons and cursors of 24 to 48 pixels in heap chunks one after another: a window over several
// sizes shows no one stride, so the rows are looked for in smaller windows.
TEST(FindLook, IconsOfSeveralSizesSideBySide)
{
    const Bytes heap = readSample("icons_in_heap_slice.bin");
    ASSERT_FALSE(heap.empty());
    expectEachFound(findAll(heap), {{"battery", 6720, kColour32, 32, 32, 128},
                                    {"user-busy", 35248, kColour32, 48, 48, 192},
                                    {"applications-science", 47840, kColour32, 48, 48, 192},
                                    {"mail-replied", 62752, kColour32, 48, 48, 192}});
}

// A symbolic icon in one dark colour, premultiplied: its colour bytes are zero throughout and only
// its alpha varies, where tables of little-endian numbers leave their high bytes quiet.
TEST(FindLook, DarkSymbolicIconIsNoTable)
{
    const Bytes heap = readSample("dark_icons_slice.bin");
    ASSERT_FALSE(heap.empty());
    expectEachFound(findAll(heap), {{"face-glasses", 28416, kColour32, 48, 48, 192}});
}

// Eight textures of 64 x 64 palette indices back to back, as a game's data holds its floors,
// each as grainy as its material: a window's likeness, set by the smoothest, turned the others
// down, and the bytes before a region turned down went unsearched. Found as one run or several,
// each texture at its own width.
std::vector<Sample> textures(const char* file, int64_t count, int64_t plainAt = -1)
{
    std::vector<Sample> run;
    for (int64_t k = 0; k < count; ++k)
        run.push_back({file, (k + (plainAt >= 0 && k >= plainAt)) * 4096, kGrey8, 64, 64, 64});
    return run;
}

TEST(FindLook, TexturesBackToBack)
{
    for (const char* file : {"texture_run_slice.bin", "texture_run_unordered_slice.bin"}) {
        const Bytes run = readSample(file);
        ASSERT_EQ(run.size(), 8u * 4096u) << file;
        expectEachFound(findAll(run), textures(file, 8));
    }
}

// A plain texture (one colour) says nothing either way: the run goes on past it.
TEST(FindLook, TexturesEitherSideOfAPlainOne)
{
    const char* file = "texture_run_unordered_slice.bin";
    Bytes run = readSample(file);
    ASSERT_EQ(run.size(), 8u * 4096u);
    run.insert(run.begin() + 3 * 4096, 4096, 0);
    append(&run, randomTestBytes(8192, 5));
    // The eighth is too grainy to stand on its own at the phase this run reaches it.
    expectEachFound(findAll(run), textures(file, 7, 3));
}

// Sprite frames 61 and 64 pixels wide back to back grow into one region at either stride; each
// run of one width is a find of its own.
TEST(FindLook, SpriteFramesOfSeveralWidthsBackToBack)
{
    const Bytes bank = readSample("sprite_widths_slice.bin");
    ASSERT_FALSE(bank.empty());
    expectEachFound(findAll(bank), {{"61", 8, kGrey8, 61, 81, 61},
                                    {"64", 4957, kGrey8, 64, 81, 64},
                                    {"64", 10149, kGrey8, 64, 81, 64},
                                    {"61", 15341, kGrey8, 61, 81, 61},
                                    {"61", 20290, kGrey8, 61, 81, 61}});
}

// Frames 64, 48 and 32 pixels wide back to back are alike at 96 and 192 bytes as well: the 48- and
// 32-wide frames are found at their own stride, not at a multiple of it.
TEST(FindLook, SpriteFramesAtAPartOfACommonStride)
{
    const Bytes bank = readSample("sprite_parts_slice.bin");
    ASSERT_FALSE(bank.empty());
    expectEachFound(findAll(bank), {{"48", 9087, kGrey8, 48, 110, 48},
                                    {"32", 14375, kGrey8, 32, 140, 32},
                                    {"32", 18863, kGrey8, 32, 140, 32}});
}

// A bank of 8-bit frames whose figure uses palette entries 0xA8 to 0xAB and 0x80 to 0x89: the
// nibbles of a byte step as little as two 4-bit pixels would, but only the low one wanders.
TEST(FindLook, SpriteOfFewEntriesIsNoFourBitPicture)
{
    const Bytes bank = readSample("sprite_bank_a8_slice.bin");
    ASSERT_FALSE(bank.empty());
    int64_t eightBit = 0;
    for (const Find& f : findAll(bank)) {
        EXPECT_NE(f.layout, kGrey4) << "width " << f.width << " stride " << f.stride << " at " << f.offset;
        eightBit += f.layout == kGrey8 && f.offset < 80000 && f.offset + f.bytes > 20000;
    }
    EXPECT_GE(eightBit, 1);
}

// Frames of a figure of thin strokes, 87 % index 0: its stretches of non-zero bytes are under 5
// bytes long on average.
TEST(FindLook, SpriteOfThinStrokesOnItsBackdrop)
{
    expectFrames("sprite_thin_figure_slice.bin", 200, 74, 139, 4);
}

// Frames 194 wide whose last two columns are the backdrop's zeros in every row: no padding, as
// rows of an odd multiple of 2 bytes are never padded to.
TEST(FindLook, SpriteEdgeOfZerosIsNoPadding)
{
    expectFrames("sprite_edge_zeros_slice.bin", 1409, 194, 36, 4);
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
