// Every tuning constant of the finder, in one place, named for what it decides.
#pragma once

#include <cstdint>

// Sieve: blocks whose bytes differ from their neighbours 1 to 4 bytes on as much as noise does
// (a mean of 85 for uniform bytes) are not searched; neither are blocks of one value.
constexpr int64_t kBlockBytes = 4096;
constexpr uint64_t kNoiseRoughness = 74;

// Stride search: windows of up to kWindowBytes of searched blocks, kPositions sampled bytes each,
// compared with every lag up to the widest row, differences capped at kDifferenceCap so that a
// mismatch counts the same however large.
constexpr int64_t kWindowBytes = 64 << 10;
constexpr int64_t kSmallWindowBytes = 16 << 10;
constexpr int64_t kSmallWindowMaxLag = 4096;
constexpr int64_t kTinyWindowBytes = 8 << 10;
constexpr int64_t kTinyWindowMaxLag = 1024;
// Rows at most this many times a window's length are looked for in it (at least kSmallWindowMaxLag).
constexpr int64_t kShortWindowLagFactor = 2;
// A window is searched again in small windows when a lag up to kSmallWindowMaxLag lies this many
// median deviations below the median (a small picture's rows show so even among other data).
constexpr float kMinShortLead = 4.0f;
constexpr int32_t kPositions = 256;
// Lags whose mean differences give the median and spread that unrelated bytes show.
constexpr int64_t kMedianLags = 512;
// Cells of a window whose roughness is measured to pick the quiet ones.
constexpr int64_t kCellBytes = 256;
constexpr int32_t kDifferenceCap = 15;
// Rows up to this many bytes longer than their pixels are taken as padded, not wider.
constexpr int64_t kMaxPadBytes = 3;
// A screen's rows may be read a black column or two short, and a row or two more or fewer.
constexpr int64_t kMaxDisplayEdge = 2;

// A row stride stands out when the mean difference one row down is at most this share of the
// median over all lags; a smaller lag as good as it (within the slack) is the stride, the other
// a multiple of it.
constexpr float kMaxDownShare = 0.62f;
constexpr float kHarmonicSlack = 1.15f;
constexpr int64_t kMaxHarmonic = 16;
// Strides this close in likeness go to the one aligned to more bytes.
constexpr float kAlignedSlack = 1.04f;
// Bytes either side of a sampled stride that its refinement looks at, at most.
constexpr int64_t kMaxRefineReach = 16;
// The stride's difference over the least of those a pixel aside (1 to 4 bytes) on either side:
// records fall below it.
constexpr float kEarlySlant = 0.3f;
// Mean differences this small count as equally alike when compared.
constexpr float kAlikeFloor = 0.5f;
// A seam (rows wrapping at one column) settles the stride when its column's steps stand this far
// above the median column's and above the best of the neighbouring strides.
constexpr float kSeamStrength = 4.0f;
constexpr float kSeamLead = 2.0f;
// The median column's steps, against which a seam stands out, from this many columns.
constexpr int64_t kMedianColumns = 256;
// A lag less alike than that still stands out as a grainy picture's stride when it lies this
// many median deviations (over all lags) below the median, and at most kMaxGrainyShare of it.
// Its rows are then held to their own likeness times kGrainySlack, at most kMaxGrainyShare,
// and to that plus kGrainyRowSlack against half a row on.
constexpr float kGrainySpreads = 10.0f;
constexpr float kMaxGrainyShare = 0.85f;
constexpr float kGrainySlack = 1.15f;
constexpr float kGrainyRowSlack = 0.13f;
// Rows either side of a find are followed kTileBytes at a time (at least kMinRows rows) while
// one row down lies kTileSpreads spreads below lags a quarter, a half and three quarters of a row
// aside, 1 to kTileAsideRows rows down (and at most kTileMaxShare of their median).
constexpr int64_t kTileBytes = 4096;
constexpr int64_t kTileAsideRows = 5;
constexpr float kTileSpreads = 6.0f;
constexpr float kTileMaxShare = 0.93f;
// Nor when they are as alike at a half, a third or a quarter of the stride, as records are (a
// grainy picture is as alike a few pixels across as one row down).
constexpr int64_t kTileHarmonics = 4;
// Rows narrower than this are records' as often as textures': they are followed only from a
// find of kTileBytes or more, not from a few rows alike by chance.
constexpr int64_t kMinTileStride = 64;
// Plain tiles crossed on the way to the next alike one.
constexpr int64_t kMaxPlainTiles = 2;
// Below this median difference nearly everything is one value: no evidence either way.
constexpr float kMinBase = 1.5f;

// Layout: pixels of the right size are alike to the next one across more than bytes at other
// distances; grey stored in 3 or 4 bytes, and the grey and white areas of a colour picture, show
// as runs of equal bytes that are mostly whole pixels long (a third of them, by chance, in 8-bit).
constexpr float kGreyChannelsEqual = 0.7f;
// A lag of 2 to 4 bytes this much more alike than both its neighbours is the pixel's size.
constexpr float kMaxPixelDip = 0.85f;
// A dip at 4 bytes within this factor of one at 2 is the 2-byte pixel's.
constexpr float kPixelMultipleSlack = 1.15f;
// Bytes of rows over which runs of grey channels and nibbles are counted.
constexpr int64_t kLayoutBytes = 16 << 10;
// 4-bit: the two nibbles of a byte are neighbour pixels, so they differ little.
constexpr float kMaxNibbleSpread = 2.4f;
// ... or so many of its bytes (but zeros and 0xFF) hold two equal nibbles: plain 4-bit areas.
constexpr float kMinEqualNibbles = 0.4f;
// ... but not when the high and low nibbles' histograms differ by more than this share of the
// bytes (total variation): the left and right pixels of 4-bit bytes take the same colours.
constexpr float kMaxNibbleImbalance = 0.5f;
// 16-bit pixels whose top bit is clear are read as RGB565 only when their channels step this much
// more smoothly than as 15-bit (real 565 pictures: about half; screens of few colours: 0.8).
constexpr float kSixteenBitSmoother = 0.65f;

// Extent: a row belongs while it is alike to the next, more than to half a row on.
constexpr float kRowDownShare = 0.75f;
constexpr int32_t kRowSamples = 128;
constexpr int32_t kMaxFlatRows = 64;
constexpr int32_t kMinRows = 16;
// Rows from a find's start over which its stride is settled.
constexpr int64_t kSettleRows = 128;
// Bytes of a region whose likeness at parts of its stride (down to kMaxParts of it) is measured.
constexpr int64_t kPartBytes = 16 << 10;
constexpr int64_t kMaxParts = 16;
constexpr float kPartShare = 0.8f;
// Rows of a find of 8-bit pixels over which its stride is checked again, piece by piece, in rows
// up to kMaxPieceStride bytes (sprites).
constexpr int64_t kPieceRows = 24;
constexpr int64_t kMaxPieceStride = 320;
// A piece's own stride must be this much more alike one to three rows down than the find's.
constexpr float kPieceMargin = 0.9f;
// The most bytes between two finds of one reading that are joined (prune.cpp).
constexpr int64_t kMaxJoinGap = 16 << 10;

// Pruning. Pictures are alike one row down and a pixel aside nearly as much as straight down;
// tables of records are alike only at their exact length, in some fields, hold fields of one
// value in every row, or are mostly zeros. Narrower rows than these are rarely pictures and
// often records.
constexpr int64_t kMinStride = 32;
constexpr int32_t kMinWidth = 16;
// Per layout: a byte aside is two 4-bit pixels, or half a 16-bit one, which weakens the likeness.
constexpr float kMinSlant[6] = {0.35f, 0.45f, 0.35f, 0.45f, 0.45f, 0.35f};
constexpr float kMinAlikeColumns = 0.8f;
// Wide rows: a screen's dithered photo at depth 8 is unlike one row down in its own columns.
constexpr float kMinAlikeColumnsWide = 0.5f;
constexpr float kMaxZeros = 0.85f;
constexpr float kMaxRamp = 0.2f;
constexpr int64_t kNarrowStride = 256;
// Mean step from byte to byte of all-printable bytes at which they are text.
constexpr int64_t kTextMinLeap = 12;
constexpr float kMaxConstantNarrow = 0.3f;
constexpr float kMaxConstantColumns = 0.6f;
// Constant columns this many pixels wide side by side, repeating one pixel, are a plain
// background rather than fields of records, in rows of kPlainMinStride bytes or more.
constexpr int64_t kPlainRunPixels = 16;
constexpr int64_t kPlainMinStride = 1024;
constexpr float kMinScore = 0.25f;
// The least quality a region the rules accept is listed with, however unlikely the learned judge
// finds it.
constexpr float kMinJudged = 0.01f;
// 32-bit: a byte of the pixel holding at most kQuietLaneValues values is quiet, one holding more
// than kBusyLaneValues busy; two quiet beside a busy one are a table's, not a picture's.
constexpr int32_t kQuietLaneValues = 4;
constexpr int32_t kBusyLaneValues = 16;
// 16-bit PCM sound is alike at its period and passes for 16- or 32-bit pixels. Read as signed
// samples it crosses zero on a running slope (1.3 to 12 % of its samples on real sounds, mono or
// stereo); pictures' words do so at most 0.3 % (black beside white is a jump, not a slope).
constexpr float kMaxSlopeCrossings = 0.006f;
constexpr int64_t kCrossingBytes = 64 << 10;
// The lesser of rows and width (as a power of two) at which a find's size no longer adds to its
// score.
constexpr float kRankFullRows = 11.0f;
constexpr int64_t kNarrowMinRows = 32;
constexpr float kNarrowMaxAcross = 0.8f;
constexpr float kNarrowMaxZeros = 0.5f;
// 8-bit sprites: zeros in runs this long on average are a backdrop, not fields of records; then
// up to kMaxBackdropZeros of the bytes may be zero, and columns of zeros are not fields.
constexpr float kMinBackdropRun = 16.0f;
// The figure on it is whole stretches of a row, not scattered entries of a sparse table.
constexpr float kMinFigureRun = 4.0f;
// Icons in memory stand on transparent pixels (all four bytes zero), in shorter runs.
constexpr float kMinIconBackdropRun = 4.0f;
constexpr float kMinIconFigureRun = 3.0f;
constexpr float kMaxBackdropZeros = 0.9f;
constexpr int64_t kBackdropBytes = 64 << 10;
// The figure's non-zero bytes step little to the next one (sprites 0.2 to 5.2 of 15; records'
// text and numbers 8.8 and more), are no less alike down than half a row on, and hold a few
// values at least.
constexpr float kMaxBackdropAcross = 6.0f;
constexpr int32_t kMinBackdropValues = 8;
// ... and a figure is alike down nearly as much as across (sprites within 3.3 times; a smooth
// table read in rows of its own, 40 times).
constexpr float kBackdropDownAcross = 4.0f;
// Grainy pictures are barely more alike one row down than elsewhere; past this share of the
// unrelated difference a region must be a picture in every other way.
constexpr float kGrainyDown = 0.55f;
constexpr float kGrainyMinSlant = 0.80f;
constexpr float kGrainyMaxZeros = 0.2f;
constexpr int32_t kGrainyMinValues = 64;
constexpr float kGrainyMaxConstant = 0.05f;
// Rows found only as grainy must cover this many bytes: small grainy areas abound in compressed
// data and tables.
constexpr int64_t kGrainyMinBytes = 16 << 10;

// File scan. The file is searched in segments of kSegmentBytes on a grid from its first byte,
// each over its own bytes and kMarginBytes either side, and a picture across a segment's edge is
// seen from both sides and joined: where chunks, threads or a range begin changes nothing.
constexpr int64_t kSegmentBytes = 2 << 20;
constexpr int64_t kMarginBytes = 96 << 10;
// Chunks of whole segments are read at once; the last kTailBytes of a range go one segment a
// chunk, so that the workers finish together.
constexpr int64_t kChunkBytes = 4 << 20;
constexpr int64_t kTailBytes = 8 << 20;
constexpr int64_t kMemoryBudget = int64_t{160} << 20;
// A range's scan begins this far before its first byte, so that a picture reaching into the
// range from before is joined, settled and passed over as a scan of the whole file does.
constexpr int64_t kLeadBytes = 4 << 20;

// Stored pictures (headers.cpp).
// Bytes before a find that are searched for its header: the find may start far into the picture.
constexpr int64_t kHeaderNearReach = 64 << 10;
constexpr int64_t kHeaderReach = 1 << 20;
// Bytes past a find's start searched too: a find may begin a few rows before its picture.
constexpr int64_t kHeaderTail = 16 << 10;
// Bytes a header is read over, at most (a PNM header's comment may run on).
constexpr int64_t kHeaderBytes = 256;
// A stored picture's rows beyond the find are followed a file-system block at a time, this many
// bytes read at once.
constexpr int64_t kFileBlock = 4096;
constexpr int64_t kFollowBytes = 512 << 10;
// A block goes on the picture when its differences one row up are at most this share of those
// half a row aside (unrelated bytes give as much as or more; grainy textures 0.85 to 0.93), or
// when they are this small a byte (of 15): a nearly plain part of the picture.
constexpr double kFollowShare = 0.95;
constexpr double kPlainDifference = 1.0;
// A block with more than this many times the differences of the rows taken before it must be
// clearly alike one row up: at most this share of half a row aside.
constexpr double kFollowJump = 4.0;
constexpr double kFollowBusierShare = 0.7;

// Headers begin on this boundary in archives, file systems and memory. TGA and XWD headers, which
// have no signature, are looked for there only; BMP, PNM and TIFF ones at every byte.
constexpr int64_t kStoredAlign = 16;
// Rows of a picture found by its header are judged over this many bytes at most; they must be this
// much more alike one row up than half a row aside (1 - near / far), unless plain.
constexpr int64_t kStoredSampleBytes = 64 << 10;
constexpr float kStoredMinQuality = 0.05f;
// Stored pictures rank from here up.
constexpr float kStoredRankFloor = 0.5f;

// The most bytes settling by a header asks fetch for at once.
constexpr int64_t kFetchBytes = kHeaderReach + kHeaderTail + kHeaderBytes;
