// The file scan over real files of this machine: the listing does not depend on the chunk size,
// the threads, or where a range begins and ends (but that a picture before --from is not listed),
// and an interrupted scan says where --from goes on without a gap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "find/find.h"
#include "find/tuning.h"
#include "tests/support/find_path.h"
#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

namespace {

constexpr const char* kLibrary = "/usr/lib/x86_64-linux-gnu/libgs.so.10.00";

// count bytes of the file at path from offset, or fewer where it ends.
Bytes readPart(const std::string& path, int64_t offset, int64_t count)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    Bytes bytes(static_cast<size_t>(count));
    in.read(reinterpret_cast<char*>(bytes.data()), count);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// Real files of this machine, three times over (each copy cut elsewhere by the segments, the last
// more than kLeadBytes in): X cursors (rows of 32-bit pixels back to back) from a tar of the icons
// and pixmaps, a large library's slice, a real PGM, more cursors; pictures of the second copy lie
// across the 4 MiB edge. Empty when the machine lacks them.
constexpr int64_t kPgmAt = (3 << 19) + 700000 + 15;  // the PGM's first row in a copy
const Bytes& material()
{
    static const Bytes bytes = [] {
        const std::string tar = scratchPath("icons.tar");
        std::system(("tar --sort=name -cf " + tar + " /usr/share/icons /usr/share/pixmaps 2>/dev/null").c_str());
        Bytes copy = readPart(tar, (8 << 20) + 330000, 3 << 19);
        const Bytes library = readPart(kLibrary, 6787916, 700000);
        const Bytes more = readPart(tar, 16 << 20, 600000);
        std::remove(tar.c_str());
        if (copy.size() != size_t{3} << 19 || library.size() != 700000 || more.size() != 600000)
            return Bytes();
        append(&copy, library);
        append(&copy, readSample("slate_101x101.pgm"));
        append(&copy, Bytes(library.begin(), library.begin() + 5000));
        append(&copy, more);
        Bytes out;
        for (int k = 0; k < 3; ++k)
            append(&out, copy);
        return out;
    }();
    return bytes;
}

int64_t copyBytes()
{
    return static_cast<int64_t>(material().size()) / 3;
}

std::string describe(const Find& f)
{
    return std::to_string(f.offset) + " " + std::to_string(f.bytes) + " L" + std::to_string(f.layout) + " " +
           std::to_string(f.width) + "x" + std::to_string(f.height) + " s" + std::to_string(f.stride) + " " +
           std::to_string(f.score);
}

// Every field of every find alike, in the same order.
testing::AssertionResult sameFinds(const std::vector<Find>& got, const std::vector<Find>& want)
{
    for (size_t k = 0; k < std::max(got.size(), want.size()); ++k) {
        const std::string a = k < got.size() ? describe(got[k]) : "nothing";
        const std::string b = k < want.size() ? describe(want[k]) : "nothing";
        if (a != b || (k < got.size() && k < want.size() && got[k].stored != want[k].stored))
            return testing::AssertionFailure() << "find " << k << ": " << a << " where " << b << " was expected";
    }
    return testing::AssertionSuccess();
}

std::vector<Find> scanFile(const std::string& path, FindOptions o)
{
    std::vector<Find> finds;
    ScanResult result;
    char error[256] = "";
    EXPECT_TRUE(findInPath(path.c_str(), o, nullptr, nullptr, &finds, &result, error, sizeof error)) << error;
    EXPECT_FALSE(result.stopped);
    return finds;
}

std::vector<Find> scanRange(const std::string& path, int64_t from, int64_t to)
{
    FindOptions o = defaultFindOptions();
    o.from = from;
    o.to = to;
    return scanFile(path, o);
}

std::vector<Find> startingIn(const std::vector<Find>& finds, int64_t from, int64_t to)
{
    std::vector<Find> kept;
    for (const Find& f : finds)
        if (f.offset >= from && f.offset < to)
            kept.push_back(f);
    return kept;
}

struct FindScan : testing::Test {
    static void SetUpTestSuite()
    {
        if (!material().empty())
            writeFile(path(), material());
    }
    static void TearDownTestSuite() { std::remove(path().c_str()); }
    static std::string path() { return scratchPath("scan_material.bin"); }
    static bool writeFile(const std::string& at, const Bytes& data)
    {
        return writeTestFile(at.c_str(), data.data(), data.size());
    }
    void SetUp() override
    {
        if (material().empty())
            GTEST_SKIP() << "no /usr/share/icons tar or " << kLibrary << " on this machine";
        static const std::vector<Find> once = findAll(material());
        whole = once;
        // The material does what it is for: many pictures, some across segment edges.
        ASSERT_GE(whole.size(), 60u);
        for (const Find& f : whole)
            if (f.offset / kSegmentBytes != (f.offset + f.bytes - 1) / kSegmentBytes)
                across.push_back(f);
        ASSERT_GE(across.size(), 2u);
    }
    std::vector<Find> whole;
    std::vector<Find> across;  // finds across a segment's edge
};

// The buffer search, and the file scan in chunks of 1 to 3 segments on 1 to 3 threads, list the
// very same finds.
TEST_F(FindScan, SameFindsForAnyChunkSizeAndThreads)
{
    struct Case { int64_t chunk; int32_t threads; };
    for (Case c : {Case{0, 0}, Case{kSegmentBytes, 3}, Case{2 * kSegmentBytes, 2}, Case{3 * kSegmentBytes, 1}}) {
        FindOptions o = defaultFindOptions();
        o.chunkBytes = c.chunk;
        o.threads = c.threads;
        EXPECT_TRUE(sameFinds(scanFile(path(), o), whole)) << "chunks of " << c.chunk << ", " << c.threads << " threads";
    }
}

// A scan from anywhere lists what the whole scan lists from there; ranges side by side, cut at
// block edges, odd bytes, inside a picture, inside the PGM and between its header and its rows,
// join to the whole listing.
TEST_F(FindScan, RangesListWhatTheWholeScanListsThere)
{
    const int64_t size = static_cast<int64_t>(material().size());
    const int64_t last = 2 * copyBytes();  // the last copy, past kLeadBytes
    const int64_t pgm = last + kPgmAt;
    const Find& edge = across.back();
    const Find& inLast = *std::find_if(whole.begin(), whole.end(), [&](const Find& f) { return f.offset > last + 4096; });
    for (int64_t from : {int64_t{12345}, last + 4096, last + 1000001, inLast.offset + 1, edge.offset + 4096})
        EXPECT_TRUE(sameFinds(scanRange(path(), from, -1), startingIn(whole, from, size))) << "from " << from;

    for (int64_t cut : {int64_t{777777}, int64_t{6 << 20} + 4096, edge.offset + edge.bytes / 2, pgm + 50 * 101 + 7,
                        pgm - 5}) {
        std::vector<Find> joined = scanRange(path(), 0, cut);
        const std::vector<Find> second = scanRange(path(), cut, -1);
        joined.insert(joined.end(), second.begin(), second.end());
        EXPECT_TRUE(sameFinds(joined, whole)) << "cut at " << cut;
    }
    std::vector<Find> three;
    for (auto [from, to] : {std::pair{int64_t{0}, int64_t{1234567}}, std::pair{int64_t{1234567}, pgm + 3000},
                            std::pair{pgm + 3000, size}}) {
        const std::vector<Find> part = scanRange(path(), from, to);
        three.insert(three.end(), part.begin(), part.end());
    }
    EXPECT_TRUE(sameFinds(three, whole));
}

// tessvane-find's TSV listing lines after the header.
std::vector<std::string> listedLines(const std::string& tsv)
{
    std::vector<std::string> lines;
    size_t at = tsv.find('\n');
    while (at != std::string::npos && at + 1 < tsv.size()) {
        const size_t end = tsv.find('\n', at + 1);
        lines.push_back(tsv.substr(at + 1, end - at - 1));
        at = end;
    }
    return lines;
}

// SIGINT in the middle of a long scan (once ten finds are listed): every find before the byte
// the message (and the report) names is listed, none after it, and --from there lists the rest
// as the whole scan does.
TEST_F(FindScan, InterruptSaysWhereToGoOn)
{
    const char* finder = std::getenv("TESSVANE_FIND");
    ASSERT_NE(finder, nullptr);
    const std::string big = scratchPath("interrupted.bin");
    Bytes copies;
    for (int k = 0; k < 5; ++k)
        append(&copies, material());
    ASSERT_TRUE(writeFile(big, copies));
    const std::string report = scratchPath("interrupted.html");
    const ChildRun stopped = runChild({finder, "--tsv", "--report", report, big}, 11);
    long long resume = -1;
    const size_t said = stopped.err.find("before byte ");
    if (said != std::string::npos)
        resume = std::atoll(stopped.err.c_str() + said + 12);
    ASSERT_EQ(stopped.status, 130) << stopped.err;
    ASSERT_GT(resume, 0) << stopped.err;
    ASSERT_LT(resume, static_cast<long long>(copies.size())) << "the scan ended before the interrupt";
    std::ifstream page(report);
    const std::string html((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    std::remove(report.c_str());
    EXPECT_NE(html.find(" to " + std::to_string(resume) + " "), std::string::npos) << "the report's range";
    EXPECT_NE(html.find("interrupted"), std::string::npos);
    const std::string to = std::to_string(resume + (4 << 20));
    const ChildRun rest = runChild({finder, "--tsv", "--from", std::to_string(resume), "--to", to, big});
    const ChildRun all = runChild({finder, "--tsv", "--to", to, big});
    std::remove(big.c_str());
    std::vector<std::string> joined = listedLines(stopped.out);
    ASSERT_GE(joined.size(), 1u) << stopped.err;
    for (const std::string& line : joined)
        EXPECT_LT(std::atoll(line.c_str()), resume) << line;
    for (const std::string& line : listedLines(rest.out))
        joined.push_back(line);
    EXPECT_EQ(joined, listedLines(all.out)) << stopped.err;
}

}  // namespace
