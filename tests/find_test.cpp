// The raster finder: pictures drawn here and planted in noise and other data, found through the
// library and through the tessvane-find program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/raw_file.h"
#include "find/find.h"
#include "find/find_kernels.h"
#include "tests/support/find_path.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Smooth noise: random levels on a grid of cells, blended between the corners of each cell.
struct SmoothNoise {
    int32_t cell;
    int32_t columns;
    std::vector<double> grid;
};

SmoothNoise makeNoise(int32_t width, int32_t height, int32_t cell, uint32_t seed)
{
    SmoothNoise n = {cell, width / cell + 2, {}};
    std::mt19937 rng(seed);
    n.grid.resize(static_cast<size_t>(n.columns) * static_cast<size_t>(height / cell + 2));
    for (double& v : n.grid)
        v = static_cast<double>(rng() % 1000) / 1000.0;
    return n;
}

double noiseAt(const SmoothNoise& n, int64_t x, int64_t y)
{
    const int64_t cx = x / n.cell, cy = y / n.cell;
    const double fx = static_cast<double>(x % n.cell) / n.cell, fy = static_cast<double>(y % n.cell) / n.cell;
    auto at = [&](int64_t i, int64_t j) { return n.grid[static_cast<size_t>(j * n.columns + i)]; };
    return (at(cx, cy) * (1 - fx) + at(cx + 1, cy) * fx) * (1 - fy) + (at(cx, cy + 1) * (1 - fx) + at(cx + 1, cy + 1) * fx) * fy;
}

// A picture in layout `layout`, packed as the viewer reads it: colour ramps across the whole
// picture, smooth noise with features about a dozen pixels across, and a disc, different for
// each seed. `skip` leaves out that many pixels at the start, as when the data begins in the
// middle of a row.
Bytes drawPicture(int32_t layout, int32_t width, int32_t height, uint32_t seed, int64_t skip = 0)
{
    std::vector<uint8_t> nibbles;
    Bytes out;
    SmoothNoise texture[3] = {makeNoise(width, height, 12, seed), makeNoise(width, height, 12, seed + 1),
                              makeNoise(width, height, 12, seed + 2)};
    const double cx = width * (0.3 + 0.1 * (seed % 5)), cy = height * 0.5;
    const double radius = 0.25 * std::min(width, height);
    for (int64_t k = skip; k < int64_t{width} * height; ++k) {
        const int64_t px = k % width, py = k / width;
        const double x = static_cast<double>(px), y = static_cast<double>(py);
        double rgb[3];
        for (int c = 0; c < 3; ++c) {
            double ramp = c == 0 ? x / width : c == 1 ? y / height : 1.0 - x / width;
            rgb[c] = 0.2 + 0.3 * ramp + 0.5 * noiseAt(texture[c], px, py);
        }
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius) {
            rgb[0] = 0.9;
            rgb[1] = 0.2 + 0.1 * (seed % 3);
            rgb[2] = 0.1;
        }
        auto level = [&](int c, int top) { return static_cast<int>(std::clamp(rgb[c], 0.0, 1.0) * top); };
        const double lum = 0.3 * rgb[0] + 0.59 * rgb[1] + 0.11 * rgb[2];
        if (layout == 0) {
            nibbles.push_back(static_cast<uint8_t>(std::clamp(lum, 0.0, 1.0) * 15.99));
        } else if (layout == 1) {
            out.push_back(static_cast<uint8_t>(std::clamp(lum, 0.0, 1.0) * 255));
        } else if (layout == 2) {
            int word = level(0, 31) | level(1, 31) << 5 | level(2, 31) << 10;
            out.push_back(static_cast<uint8_t>(word & 255));
            out.push_back(static_cast<uint8_t>(word >> 8));
        } else {
            for (int c = 0; c < 3; ++c)
                out.push_back(static_cast<uint8_t>(level(c, 255)));
        }
    }
    for (size_t i = 0; i < nibbles.size(); i += 2)
        out.push_back(static_cast<uint8_t>(nibbles[i] | (i + 1 < nibbles.size() ? nibbles[i + 1] << 4 : 0)));
    return out;
}

// Writes the picture into file at offset, growing the file when needed; returns its length.
int64_t plant(Bytes* file, int64_t offset, const Bytes& picture)
{
    if (file->size() < offset + picture.size())
        file->resize(offset + picture.size());
    std::copy(picture.begin(), picture.end(), file->begin() + offset);
    return static_cast<int64_t>(picture.size());
}

std::vector<Find> findAll(const Bytes& data, FindOptions options = defaultFindOptions())
{

    std::vector<Find> finds;
    EXPECT_TRUE(findInBuffer(data.data(), static_cast<int64_t>(data.size()), 0, options, &finds));
    return finds;
}

int32_t heightFor(int32_t layout, int32_t width)
{
    const int64_t rowBytes = layout == 0 ? (width + 1) / 2 : int64_t{width} * layout;
    return static_cast<int32_t>(std::max<int64_t>(24, 40000 / std::max<int64_t>(1, rowBytes)));
}

void expectFind(const Find& f, int64_t offset, int32_t layout, int32_t width, int32_t height)
{
    EXPECT_EQ(f.layout, layout);
    EXPECT_EQ(f.width, width);
    EXPECT_NEAR(static_cast<double>(f.offset), static_cast<double>(offset), 3.0);
    EXPECT_NEAR(f.height, height, 1);
}

TEST(FindPictures, EachLayoutAtAwkwardWidthsAndOffsets)
{
    for (int32_t layout = 0; layout < 4; ++layout) {
        for (int32_t width : {17, 101, 256, 4096}) {
            SCOPED_TRACE("layout " + std::to_string(layout) + " width " + std::to_string(width));
            const int32_t height = heightFor(layout, width);
            Bytes file = randomTestBytes(300000, static_cast<uint32_t>(layout * 10000 + width));
            const int64_t offset = 100001 + width % 7;
            const Bytes picture = drawPicture(layout, width, height, static_cast<uint32_t>(width));
            plant(&file, offset, picture);
            file.resize(file.size() + 50000, 0x5A);
            std::mt19937 rng(7);
            for (size_t i = file.size() - 50000; i < file.size(); ++i)
                file[i] = static_cast<uint8_t>(rng());
            std::vector<Find> finds = findAll(file);
            ASSERT_EQ(finds.size(), 1u);
            expectFind(finds[0], offset, layout, width, height);
            EXPECT_NEAR(static_cast<double>(finds[0].bytes), static_cast<double>(picture.size()), 8.0);
            EXPECT_GT(finds[0].score, 0.5f);
        }
    }
}

TEST(FindPictures, DataBeginningMidRowIsReportedFromTheFirstWholeRow)
{
    for (int32_t layout : {1, 3}) {
        const int32_t width = 200, height = 120, skip = 77;
        Bytes file = randomTestBytes(60000, 3);
        plant(&file, 30000, drawPicture(layout, width, height, 4, skip));
        file.resize(file.size() + 30000, 0);
        std::vector<Find> finds = findAll(file);
        ASSERT_EQ(finds.size(), 1u);
        expectFind(finds[0], 30000 + int64_t{width - skip} * layout, layout, width, height - 1);
    }
}

TEST(FindPictures, BackToBackAtBothEndsOfTheFile)
{
    Bytes file;
    const Bytes first = drawPicture(3, 150, 90, 1);
    const Bytes second = drawPicture(1, 333, 100, 2);
    const Bytes last = drawPicture(2, 64, 200, 5);
    int64_t at = plant(&file, 0, first);
    at += plant(&file, at, second);
    const Bytes gap = randomTestBytes(70001, 9);
    at += plant(&file, at, gap);
    const int64_t lastOffset = at;
    plant(&file, at, last);

    std::vector<Find> finds = findAll(file);
    ASSERT_EQ(finds.size(), 3u);
    expectFind(finds[0], 0, 3, 150, 90);
    expectFind(finds[1], static_cast<int64_t>(first.size()), 1, 333, 100);
    expectFind(finds[2], lastOffset, 2, 64, 200);
    EXPECT_EQ(finds[2].offset + finds[2].bytes, static_cast<int64_t>(file.size()));
}

TEST(FindPictures, NothingInNoiseFillTextOrTinyFiles)
{
    Bytes file = randomTestBytes(1 << 20, 11);
    file.resize(file.size() + (256 << 10), 0);
    file.resize(file.size() + (256 << 10), 0xFF);
    std::mt19937 rng(5);
    const char* words[] = {"the ", "picture ", "finder ", "reads ", "bytes, ", "and ", "rows\n", "of "};
    while (file.size() < (2u << 20)) {
        const char* w = words[rng() % 8];
        file.insert(file.end(), w, w + std::strlen(w));
    }
    EXPECT_TRUE(findAll(file).empty());
    for (size_t size : {0, 1, 100, 5000}) {
        Bytes tiny = randomTestBytes(size, 1);
        EXPECT_TRUE(findAll(tiny).empty()) << size;
    }
}

// Lines of code with few spaces, here in UTF-16, are alike at many distances; a picture before
// them must not grow into them.
TEST(FindPictures, PictureBeforeUtf16CodeEndsWhereItEnds)
{
    const char* parts[] = {"pip.", "_internal.", "utils.", "operations.", "build.", "req.", "misc."};
    const char* names[] = {"build_wheel_legacy", "InstallRequirement", "ensure_dir", "deprecated"};
    std::mt19937 rng(4);
    Bytes file = randomTestBytes(50001, 2);
    const Bytes picture = drawPicture(2, 970, 400, 6);
    const int64_t offset = static_cast<int64_t>(file.size());
    plant(&file, offset, picture);
    while (file.size() < offset + picture.size() + (2u << 20)) {
        std::string line = "from ";
        for (int k = 2 + static_cast<int>(rng() % 3); k > 0; --k)
            line += parts[rng() % 7];
        line += std::string(" import ") + names[rng() % 4] + "\n";
        for (char c : line) {
            file.push_back(static_cast<uint8_t>(c));
            file.push_back(0);
        }
    }
    std::vector<Find> finds = findAll(file);
    ASSERT_EQ(finds.size(), 1u);
    expectFind(finds[0], offset, 2, 970, 400);
}

// An array of 20-byte records (a time stamp, two wandering measurements, a small code) repeats
// at any multiple of 20 bytes; a picture whose rows are such a multiple must not grow into it.
TEST(FindPictures, PictureBeforeAnArrayOfRecordsEndsWhereItEnds)
{
    Bytes file = randomTestBytes(30001, 5);
    const Bytes picture = drawPicture(0, 520, 65, 3);
    const int64_t offset = static_cast<int64_t>(file.size());
    plant(&file, offset, picture);
    std::mt19937 rng(6);
    std::normal_distribution<float> step(0.0f, 1.0f);
    uint64_t stamp = uint64_t{1} << 40;
    float x = 50.0f;
    for (int k = 0; k < 5000; ++k) {
        stamp += 1 + rng() % 999;
        x += step(rng);
        const float y = 2 * x;
        const uint32_t code = rng() % 8;
        uint8_t record[20];
        std::memcpy(record, &stamp, 8);
        std::memcpy(record + 8, &x, 4);
        std::memcpy(record + 12, &y, 4);
        std::memcpy(record + 16, &code, 4);
        file.insert(file.end(), record, record + 20);
    }
    std::vector<Find> finds = findAll(file);
    ASSERT_EQ(finds.size(), 1u);
    expectFind(finds[0], offset, 0, 520, 65);
}

TEST(FindPictures, OptionsNarrowTheSearch)
{
    // 301 bytes a row is no whole number of 24-bit pixels.
    Bytes file = randomTestBytes(200000, 2);
    plant(&file, 50000, drawPicture(1, 301, 100, 1));
    ASSERT_EQ(findAll(file).size(), 1u);
    FindOptions options = defaultFindOptions();
    options.layouts = 1u << 3;
    EXPECT_TRUE(findAll(file, options).empty());
    options = defaultFindOptions();
    options.maxWidth = 250;
    EXPECT_TRUE(findAll(file, options).empty());
    options = defaultFindOptions();
    options.minBytes = 40000;
    EXPECT_TRUE(findAll(file, options).empty());

    std::vector<Find> finds;
    options = defaultFindOptions();
    options.layouts = 0;
    EXPECT_FALSE(findInBuffer(file.data(), 10, 0, options, &finds));
    options = defaultFindOptions();
    options.minWidth = 50;
    options.maxWidth = 40;
    EXPECT_FALSE(findInBuffer(file.data(), 10, 0, options, &finds));
}

// The vector kernels against the plain loops they replace.
TEST(FindKernels, MatchPlainLoops)
{
    const Bytes data = randomTestBytes(5000 + kKernelPadding, 21);
    for (int64_t n : {0, 3, 4, 17, 20, 35, 36, 4096, 5000}) {
        uint64_t sums[4], want[4] = {0, 0, 0, 0};
        roughness(data.data(), n, sums);
        for (int64_t i = 0; i + 4 < n; ++i)
            for (int k = 1; k <= 4; ++k)
                want[k - 1] += static_cast<uint64_t>(std::abs(data[i] - data[i + k]));
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(sums[k], want[k]);
    }
    std::vector<int32_t> positions;
    for (int32_t p = 0; p < 600; ++p)
        positions.push_back(p * 3);
    const int32_t lagMax = 3000;
    std::vector<uint32_t> got(lagMax + 1, 0), want(lagMax + 1, 0);
    sumDifferences(data.data(), positions.data(), 600, lagMax, 15, got.data());
    for (int32_t p : positions)
        for (int32_t lag = 1; lag <= lagMax; ++lag)
            want[lag] += static_cast<uint32_t>(std::min(std::abs(data[p] - data[p + lag]), 15));
    EXPECT_EQ(got, want);
}

// A path of this process's own under /tmp.
std::string scratchPath(const char* name)
{
    return "/tmp/find_test_" + std::to_string(getpid()) + "_" + name;
}

bool writeFile(const std::string& path, const Bytes& data, int64_t at = 0)
{
    int fd = createForWrite(path.c_str());
    if (fd == kNoFile)
        return false;
    bool ok = seekTo(fd, at) && writeFully(fd, data.data(), data.size());
    return closeFile(fd) && ok;
}

TEST(FindFile, SparseFilePastFourGiB)
{
    const std::string path = scratchPath("sparse.bin");
    const int64_t fourGiB = int64_t{1} << 32;
    Bytes region = randomTestBytes(400000, 8);
    const int64_t pictureAt = 123457;
    plant(&region, pictureAt, drawPicture(3, 500, 60, 3));
    ASSERT_TRUE(writeFile(path, region, fourGiB - 200000));

    FindOptions options = defaultFindOptions();
    options.from = fourGiB - 300000;
    std::vector<Find> finds;
    ScanResult result;
    char error[256];
    bool ok = findInPath(path.c_str(), options, nullptr, nullptr, &finds, &result, error, sizeof error);
    std::remove(path.c_str());
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(result.scanned, 500000);
    ASSERT_EQ(finds.size(), 1u);
    expectFind(finds[0], fourGiB - 200000 + pictureAt, 3, 500, 60);
}

struct ProgressLog {
    std::vector<int64_t> done;
    int64_t total;
};

void logProgress(void* user, int64_t done, int64_t total)
{
    ProgressLog* log = static_cast<ProgressLog*>(user);
    log->done.push_back(done);
    log->total = total;
}

// Two machines splitting a file between them find what one finds over the whole, and the
// progress only ever grows, to its total.
TEST(FindFile, SplitRangesAndProgress)
{
    const std::string path = scratchPath("split.bin");
    Bytes file = randomTestBytes(3 << 20, 12);
    plant(&file, 300001, drawPicture(3, 640, 80, 2));
    plant(&file, (2 << 20) + 77, drawPicture(0, 322, 300, 3));
    ASSERT_TRUE(writeFile(path, file));

    ProgressLog log = {{}, 0};
    auto scan = [&](int64_t from, int64_t to, bool logged) {
        FindOptions options = defaultFindOptions();
        options.from = from;
        options.to = to;
        std::vector<Find> finds;
        ScanResult result;
        char error[256];
        EXPECT_TRUE(findInPath(path.c_str(), options, logged ? logProgress : nullptr, &log, &finds, &result,
                               error, sizeof error));
        EXPECT_EQ(result.scanned, (to < 0 ? static_cast<int64_t>(file.size()) : to) - from);
        return finds;
    };
    std::vector<Find> whole = scan(0, -1, true);
    std::vector<Find> first = scan(0, 1 << 20, false);
    std::vector<Find> second = scan(1 << 20, -1, false);
    std::remove(path.c_str());

    ASSERT_EQ(whole.size(), 2u);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].offset, whole[0].offset);
    EXPECT_EQ(second[0].offset, whole[1].offset);
    EXPECT_EQ(second[0].width, whole[1].width);
    ASSERT_FALSE(log.done.empty());
    EXPECT_TRUE(std::is_sorted(log.done.begin(), log.done.end()));
    EXPECT_EQ(log.done.back(), log.total);
}

// The program, as a user runs it.
struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

ProgramRun runFinder(const std::string& args)
{
    const char* exe = std::getenv("TESSVANE_FIND");
    const std::string out = scratchPath("out.txt"), err = scratchPath("err.txt");
    std::string command = std::string(exe ? exe : "tessvane-find") + " " + args + " >" + out + " 2>" + err + " </dev/null";
    int raw = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    ProgramRun run = {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

TEST(FindProgram, ReportsFindsAsTextTsvAndPictures)
{
    const std::string data = scratchPath("data.bin");
    Bytes file = randomTestBytes(200000, 4);
    plant(&file, 70001, drawPicture(2, 180, 90, 6));
    ASSERT_TRUE(writeFile(data, file));

    ProgramRun tsv = runFinder("--tsv --threads 2 " + data);
    EXPECT_EQ(tsv.status, 0);
    EXPECT_EQ(tsv.out, "offset\tbytes\tlayout\twidth\theight\tscore\n70001\t32400\t2\t180\t90\t" +
                           tsv.out.substr(tsv.out.rfind('\t') + 1));
    EXPECT_EQ(tsv.err, "");

    ProgramRun human = runFinder(data);
    EXPECT_EQ(human.status, 0);
    EXPECT_NE(human.out.find("70001  0x0000011171"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("15-bit colour    180 x 90"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("scanned 200000 bytes"), std::string::npos) << human.out;

    const std::string dir = scratchPath("pictures");
    ProgramRun extract = runFinder("--extract " + dir + " " + data);
    EXPECT_EQ(extract.status, 0) << extract.err;
    const std::string png = dir + "/000000070001_layout2_w180.png";
    std::ifstream in(png, std::ios::binary);
    char signature[8] = {};
    in.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG");
    std::remove(png.c_str());
    rmdir(dir.c_str());

    ProgramRun range = runFinder("--tsv --from 0x1ADB0 --to 150000 " + data);
    std::remove(data.c_str());
    EXPECT_EQ(range.status, 0);
    EXPECT_EQ(range.out, "offset\tbytes\tlayout\twidth\theight\tscore\n");
}

TEST(FindProgram, ExitStatusForBadUsageAndUnreadableFiles)
{
    const std::string data = scratchPath("small.bin");
    ASSERT_TRUE(writeFile(data, randomTestBytes(1000, 1)));
    for (const char* args : {"", "--bogus x", "--layouts 4 x", "--layouts 1,,2 x", "--width 90-30 x",
                             "--width 1-8 x", "--min-bytes 0 x", "--threads 0 x", "--from -5 x", "--to",
                             "a b"}) {
        ProgramRun r = runFinder(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(runFinder("--from 5000 --to 10 " + data).status, 2);
    EXPECT_EQ(runFinder("--help").status, 0);
    ProgramRun version = runFinder("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("tessvane-find"), std::string::npos);

    ProgramRun missing = runFinder("/nonexistent/file.bin");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent/file.bin"), std::string::npos);
    EXPECT_EQ(runFinder("/tmp").status, 1);
    const std::string fifo = scratchPath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(runFinder(fifo).status, 1);
    std::remove(fifo.c_str());
    EXPECT_EQ(runFinder("/dev/null").status, 1);
    EXPECT_EQ(runFinder(data).status, 0);
    std::remove(data.c_str());
}

}  // namespace
