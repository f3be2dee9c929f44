// tessvane-find's pictures and report as a user gets them (the program found through
// TESSVANE_FIND): stored pictures drawn as their formats mean them, a page that is whole or not
// there at all, written in bounded memory with each picture once, and commands that draw a find.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/find_program.h"
#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

namespace {

constexpr int32_t kWidth = 98, kHeight = 64;

// The picture every format below stores: red throughout, green growing down the picture, blue
// to the right; grey formats grow both ways.
void truth(int32_t x, int32_t y, uint8_t rgb[3])
{
    rgb[0] = 255;
    rgb[1] = static_cast<uint8_t>(y * 4);
    rgb[2] = static_cast<uint8_t>(x * 2);
}

void put16(Bytes* b, uint32_t v)
{
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes* b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

enum Kind { kBmp24, kBmp24TopDown, kBmp32, kBmp16, kBmp8, kBmp4, kTga24, kTga24TopDown, kTga16, kTga32, kPpm, kPgm };

struct Stored {
    Kind kind;
    const char* name;
    int32_t layout;
    int32_t tolerance;  // of 15-bit channels, which keep 5 bits
};

const Stored kStored[] = {
    {kBmp24, "24-bit BMP", 3, 0},           {kBmp24TopDown, "top-down 24-bit BMP", 3, 0},
    {kBmp32, "32-bit BMP", 4, 0},           {kBmp16, "16-bit BMP", 2, 8},
    {kBmp8, "8-bit BMP", 1, 0},             {kBmp4, "4-bit BMP", 0, 0},
    {kTga24, "24-bit TGA", 3, 0},           {kTga24TopDown, "top-down 24-bit TGA", 3, 0},
    {kTga16, "16-bit TGA", 2, 8},           {kTga32, "32-bit TGA", 4, 0},
    {kPpm, "PPM", 3, 0},                    {kPgm, "PGM", 1, 0},
};

int32_t bitsOf(Kind k)
{
    switch (k) {
    case kBmp32: case kTga32: return 32;
    case kBmp16: case kTga16: return 16;
    case kBmp8: case kPgm: return 8;
    case kBmp4: return 4;
    default: return 24;
    }
}

bool isGrey(Kind k)
{
    return k == kBmp8 || k == kBmp4 || k == kPgm;
}

// The colour a drawn pixel should have.
void expected(Kind k, int32_t x, int32_t y, uint8_t rgb[3])
{
    truth(x, y, rgb);
    if (k == kBmp4)
        rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(((y + x / 8) / 4 & 15) * 17);
    else if (isGrey(k))
        rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(y * 2 + x);
}

// Row y of the picture in file layout: the format's channel order, padded as it pads.
Bytes storedRow(Kind k, int32_t y)
{
    Bytes row;
    const bool bmp = k <= kBmp4;
    for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t c[3];
        expected(k, x, y, c);
        switch (bitsOf(k)) {
        case 32: row.insert(row.end(), {c[2], c[1], c[0], 255}); break;
        case 24: k == kPpm ? row.insert(row.end(), {c[0], c[1], c[2]}) : row.insert(row.end(), {c[2], c[1], c[0]}); break;
        case 16: put16(&row, static_cast<uint32_t>(c[0] >> 3 << 10 | c[1] >> 3 << 5 | c[2] >> 3)); break;
        case 8: row.push_back(c[1]); break;
        default:
            if (x % 2 == 0)
                row.push_back(static_cast<uint8_t>(c[1] / 17 << 4));
            else
                row.back() = static_cast<uint8_t>(row.back() | c[1] / 17);
        }
    }
    while (bmp && row.size() % 4 != 0)
        row.push_back(0);
    return row;
}

// The whole file of the format; pixels at *pixels into it, in rows of *stride bytes.
Bytes storedFile(Kind k, int64_t* pixels)
{
    Bytes file;
    const bool bmp = k <= kBmp4, tga = k >= kTga24 && k <= kTga32;
    const bool topDown = k == kBmp24TopDown || k == kTga24TopDown || k == kPpm || k == kPgm;
    const int64_t stride = static_cast<int64_t>(storedRow(k, 0).size());
    if (bmp) {
        const uint32_t palette = bitsOf(k) <= 8 ? 4u << bitsOf(k) : 0;
        const uint32_t offBits = 54 + palette, area = static_cast<uint32_t>(stride * kHeight);
        file = {'B', 'M'};
        put32(&file, offBits + area);
        put32(&file, 0);
        put32(&file, offBits);
        put32(&file, 40);
        put32(&file, kWidth);
        put32(&file, static_cast<uint32_t>(topDown ? -kHeight : kHeight));
        put16(&file, 1);
        put16(&file, static_cast<uint32_t>(bitsOf(k)));
        for (uint32_t v : {0u, area, 2835u, 2835u, 0u, 0u})
            put32(&file, v);
        const uint32_t levels = palette / 4;
        for (uint32_t i = 0; i < levels; ++i) {
            const uint8_t v = static_cast<uint8_t>(i * 255 / (levels - 1));
            file.insert(file.end(), {v, v, v, 0});
        }
    } else if (tga) {
        file = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        put16(&file, kWidth);
        put16(&file, kHeight);
        file.push_back(static_cast<uint8_t>(bitsOf(k)));
        file.push_back(static_cast<uint8_t>((topDown ? 0x20 : 0) | (bitsOf(k) == 32 ? 8 : 0)));
    } else {
        const std::string head = std::string(k == kPpm ? "P6" : "P5") + "\n98 64\n255\n";
        file.assign(head.begin(), head.end());
    }
    if (pixels)
        *pixels = static_cast<int64_t>(file.size());
    for (int32_t r = 0; r < kHeight; ++r)
        append(&file, storedRow(k, topDown ? r : kHeight - 1 - r));
    return file;
}

std::string pngPath(const std::string& dir, int64_t offset, int32_t layout, int32_t width)
{
    char name[64];
    std::snprintf(name, sizeof name, "/%012lld_layout%d_w%d.png", static_cast<long long>(offset), layout, width);
    return dir + name;
}

std::vector<std::string> folderEntries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// A find read by its header is drawn as its format means it: the picture's top row first, its
// channels in the format's order, whatever the rows' order in the file.
TEST(FindReport, StoredPicturesAreDrawnAsTheirFormatsMeanThem)
{
    Bytes file = randomTestBytes(4096, 11);
    std::vector<int64_t> starts;
    for (const Stored& s : kStored) {
        int64_t pixels = 0;
        const Bytes stored = storedFile(s.kind, &pixels);
        starts.push_back(append(&file, stored) + pixels);
        // Noise to the next 16-byte boundary and on, where TGA headers are looked for.
        append(&file, randomTestBytes(3000 + (16 - (file.size() + 3000) % 16) % 16, static_cast<uint32_t>(file.size())));
    }
    const std::string data = scratchPath("stored.bin"), dir = scratchPath("stored");
    ASSERT_TRUE(writeTestFile(data.c_str(), file.data(), file.size()));
    ProgramRun run = runFinder("--tsv --min-bytes 1000 --extract " + dir + " " + data);
    EXPECT_EQ(run.status, 0) << run.err;
    for (size_t i = 0; i < std::size(kStored); ++i) {
        const Stored& s = kStored[i];
        int32_t width = 0, height = 0;
        std::vector<uint8_t> rgb;
        const std::string png = pngPath(dir, starts[i], s.layout, kWidth);
        if (!readPng(fileText(png), &width, &height, &rgb)) {
            ADD_FAILURE() << s.name << ": not found as stored at " << starts[i] << "\n" << run.out;
            continue;
        }
        EXPECT_EQ(width, kWidth) << s.name;
        EXPECT_EQ(height, kHeight) << s.name;
        int wrong = 0;
        std::string first;
        for (int32_t y = 0; y < std::min(height, kHeight); ++y)
            for (int32_t x = 0; x < kWidth; ++x) {
                uint8_t want[3];
                expected(s.kind, x, y, want);
                const uint8_t* got = rgb.data() + (static_cast<size_t>(y) * kWidth + x) * 3;
                for (int c = 0; c < 3; ++c)
                    if (std::abs(got[c] - want[c]) > s.tolerance && wrong++ == 0)
                        first = "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " + std::to_string(c) +
                                ": " + std::to_string(got[c]) + " for " + std::to_string(want[c]);
            }
        EXPECT_EQ(wrong, 0) << s.name << ": " << first;
        std::remove(png.c_str());
    }
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "other pictures were written";
    std::remove(data.c_str());
}

// The bytes of the screen crop in noise, as a file, for runs that need one find.
std::string oneFind()
{
    Bytes file = randomTestBytes(70001, 4);
    append(&file, samplePixels(kSamples[2]));
    append(&file, randomTestBytes(60000, 5));
    const std::string path = scratchPath("one.bin");
    EXPECT_TRUE(writeTestFile(path.c_str(), file.data(), file.size()));
    return path;
}

// The status of the finder run in a shell as `script` says, FINDER standing for the program.
int shellStatus(std::string script)
{
    for (size_t at = script.find("FINDER"); at != std::string::npos; at = script.find("FINDER"))
        script.replace(at, 6, finder());
    const int raw = std::system(("/bin/sh -c '" + script + "'").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A page is whole or not there: a reader that stops early or a full stdout fails the listing
// (status 3, also for SIGPIPE) and leaves no page, no temporary file; a name taken while the
// scan ran is not replaced.
TEST(FindReport, PageIsWholeOrNotThere)
{
    const std::string data = oneFind(), dir = scratchPath("pages");
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    const std::string page = dir + "/r.html", status = scratchPath("status");
    EXPECT_EQ(shellStatus("(FINDER --report " + page + " " + data + " 2>/dev/null; echo $? >" + status + ") | true"), 0);
    EXPECT_EQ(fileText(status), "3\n") << "a reader that stopped early";
    EXPECT_EQ(folderEntries(dir), std::vector<std::string>{});
    ProgramRun full = runFinder("--report " + page + " " + data, "", ">/dev/full");
    EXPECT_EQ(full.status, 3);
    EXPECT_NE(full.err.find("cannot write the listing"), std::string::npos) << full.err;
    EXPECT_EQ(folderEntries(dir), std::vector<std::string>{});

    // The name taken as the scan of a large sparse file runs: the page stays out of its way.
    const std::string sparse = scratchPath("sparse.bin");
    ASSERT_EQ(rename(data.c_str(), sparse.c_str()), 0);
    ASSERT_EQ(truncate(sparse.c_str(), int64_t{64} << 30), 0);
    const std::string err = scratchPath("err");
    EXPECT_EQ(shellStatus("FINDER --threads 2 --report " + page + " " + sparse + " >/dev/null 2>" + err +
                          " & pid=$!; sleep 1; echo mine >" + page + "; kill -INT $pid; wait $pid"),
              130);
    EXPECT_EQ(fileText(page), "mine\n");
    EXPECT_NE(fileText(err).find(page + ": already exists, not replaced"), std::string::npos) << fileText(err);
    EXPECT_EQ(folderEntries(dir), std::vector<std::string>{"r.html"});
    std::remove(page.c_str());
    ASSERT_EQ(symlink(sparse.c_str(), page.c_str()), 0);
    ProgramRun linked = runFinder("--report " + page + " " + sparse);
    EXPECT_EQ(linked.status, 3);
    EXPECT_NE(linked.err.find("already exists, not replaced"), std::string::npos) << linked.err;
    std::remove(page.c_str());
    std::remove(sparse.c_str());
    std::remove(status.c_str());
    std::remove(err.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0);
}

// Small grey pictures stored as PGM files among noise: count finds.
std::string manyPictures(int count)
{
    Bytes file;
    for (int i = 0; i < count; ++i) {
        const std::string head = "P5\n96 96\n255\n";
        append(&file, Bytes(head.begin(), head.end()));
        const Bytes grain = randomTestBytes(96 * 96, static_cast<uint32_t>(i));
        for (int32_t y = 0; y < 96; ++y)
            for (int32_t x = 0; x < 96; ++x)
                file.push_back(static_cast<uint8_t>((x * (i % 3 + 1) + y * 2 + (grain[static_cast<size_t>(y * 96 + x)] & 15)) & 255));
        append(&file, randomTestBytes(4096 + (16 - file.size() % 16) % 16, static_cast<uint32_t>(i + 1000)));
    }
    const std::string path = scratchPath("many.bin");
    EXPECT_TRUE(writeTestFile(path.c_str(), file.data(), file.size()));
    return path;
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Peak memory of the finder in KiB, as /usr/bin/time measures it.
[[maybe_unused]] long peakKib(const std::string& args)
{
    const std::string peak = scratchPath("peak");
    shellStatus("/usr/bin/time -f %M -o " + peak + " FINDER --threads 1 " + args + " >/dev/null 2>&1");
    const long kib = std::atol(fileText(peak).c_str());
    std::remove(peak.c_str());
    return kib;
}

// Each card is written as its find comes: the report adds little memory to the scan's however
// many finds there are, and holds each picture once (a thumbnail of a small picture is its full
// picture). Past a page of cards the first page lists every find, the cards go on in pages after
// it, and all of them take their names together or none does.
TEST(FindReport, PagesTakeLittleMemoryAndHoldEachPictureOnce)
{
    const std::string data = manyPictures(800), dir = scratchPath("manypages");
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    const std::string page = dir + "/many.html", next = dir + "/many-2.html";
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer keeps freed memory aside, which the report's cards would fill.)
    const long scan = peakKib("--tsv " + data), report = peakKib("--report " + page + " " + data);
    ASSERT_GT(scan, 0) << "/usr/bin/time did not run";
    EXPECT_LT(report, scan + 16 * 1024) << "the scan alone takes " << scan << " KiB";
#else
    EXPECT_EQ(runFinder("--report " + page + " " + data).status, 0);
#endif
    const std::string first = fileText(page), second = fileText(next);
    const size_t cards = occurrences(first, "class=\"card\""), more = occurrences(second, "class=\"card\"");
    EXPECT_EQ(cards, 500u);
    EXPECT_GE(more, 200u);
    EXPECT_EQ(occurrences(first, "data:image/png;base64,"), cards);
    EXPECT_EQ(occurrences(second, "data:image/png;base64,"), more);
    EXPECT_EQ(occurrences(first, "<tr data-offset="), cards + more);
    EXPECT_EQ(occurrences(first, "<a href=\"many-2.html#f"), more);
    EXPECT_NE(first.find("<span id=\"count\">" + std::to_string(cards + more) + "</span> finds on 2 pages"),
              std::string::npos);
    EXPECT_EQ(folderEntries(dir).size(), 2u);

    // A later page's name taken: no page of the report is left.
    std::remove(page.c_str());
    writeTestFile(next.c_str(), "mine", 4);
    ProgramRun taken = runFinder("--report " + page + " " + data);
    EXPECT_EQ(taken.status, 3);
    EXPECT_NE(taken.err.find(next + ": already exists, not replaced"), std::string::npos) << taken.err;
    EXPECT_EQ(fileText(next), "mine");
    EXPECT_EQ(folderEntries(dir), std::vector<std::string>{"many-2.html"});
    std::remove(next.c_str());
    rmdir(dir.c_str());
    std::remove(data.c_str());

    // Larger pictures: a thumbnail and the full picture each.
    const std::string demo = scratchPath("demo"), four = scratchPath("four.html");
    ASSERT_EQ(shellStatus("python3 " TESSVANE_SOURCE_DIR "/tools/make_demo.py " + demo + " >/dev/null"), 0);
    ProgramRun run = runFinder("--report " + four + " " + demo + "/demo.bin");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string html = fileText(four);
    EXPECT_EQ(occurrences(html, "class=\"card\""), 4u);
    EXPECT_EQ(occurrences(html, "data:image/png;base64,"), 8u);
    EXPECT_EQ(html.find("<tr "), std::string::npos) << "rows of every find on a page that holds them all";
    std::remove(four.c_str());
    shellStatus("rm -rf " + demo);
}

// Replaces the HTML entities escaped() writes.
std::string unescaped(std::string text)
{
    for (const auto& [entity, c] : {std::pair<std::string, std::string>{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                                    {"&#39;", "'"}, {"&amp;", "&"}})
        for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + c.size()))
            text.replace(at, entity.size(), c);
    return text;
}

// A card without its full picture gives a command that draws exactly that find; a small picture's
// card has no such note, as its thumbnail is the picture.
TEST(FindReport, NoteCommandDrawsThatFind)
{
    constexpr int32_t kWide = 1500, kTall = 1000;
    Bytes file = randomTestBytes(50000, 21);
    const std::string head = "P5\n1500 1000\n255\n";
    append(&file, Bytes(head.begin(), head.end()));
    const Bytes grain = randomTestBytes(size_t{kWide} * kTall, 22);
    Bytes pixels(grain.size());
    for (int32_t y = 0; y < kTall; ++y)
        for (int32_t x = 0; x < kWide; ++x) {
            const size_t i = static_cast<size_t>(y) * kWide + x;
            pixels[i] = static_cast<uint8_t>((x / 7 + y / 5 + (grain[i] & 7)) & 255);
        }
    append(&file, pixels);
    append(&file, randomTestBytes(30000, 23));
    append(&file, storedFile(kBmp24, nullptr));
    append(&file, randomTestBytes(30000, 24));
    const std::string data = scratchPath("a b.bin"), page = scratchPath("note.html"), dir = scratchPath("drawn");
    ASSERT_TRUE(writeTestFile(data.c_str(), file.data(), file.size()));
    ProgramRun run = runFinder("--report " + page + " '" + data + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string html = fileText(page);
    EXPECT_EQ(occurrences(html, "class=\"note\""), 1u) << html.substr(0, 4000);
    const size_t code = html.find("<code>"), end = html.find("</code>");
    ASSERT_NE(code, std::string::npos);
    std::string command = unescaped(html.substr(code + 6, end - code - 6));
    const size_t at = command.find(" DIR ");
    ASSERT_NE(at, std::string::npos) << command;
    command.replace(at, 5, " " + dir + " ");
    ASSERT_EQ(command.rfind("tessvane-find ", 0), 0u) << command;
    command.replace(0, 13, "FINDER");
    for (size_t q = command.find('\''); q != std::string::npos; q = command.find('\'', q + 4))
        command.replace(q, 1, "'\\''");
    EXPECT_EQ(shellStatus(command), 0) << command;
    const std::vector<std::string> drawn = folderEntries(dir);
    ASSERT_EQ(drawn.size(), 1u) << command;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(readPng(fileText(dir + "/" + drawn[0]), &width, &height, &rgb)) << drawn[0];
    EXPECT_EQ(width, kWide);
    EXPECT_EQ(height, kTall);
    size_t wrong = 0;
    for (size_t i = 0; i < pixels.size() && i * 3 < rgb.size(); ++i)
        wrong += rgb[i * 3] != pixels[i];
    EXPECT_EQ(wrong, 0u);
    std::remove((dir + "/" + drawn[0]).c_str());
    rmdir(dir.c_str());

    // Values that do not make a picture in the file are refused.
    auto refused = [](const std::string& args, const char* why) {
        ProgramRun r = runFinder(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(why), std::string::npos) << args << ": " << r.err;
    };
    for (const char* bad : {"5,3,10,10", "5,6,10,10,30", "5,3,10,10,29", "5,3,10,10,30,down", "5,1,10,10,10,up,bgr,rgb"})
        refused("--extract " + dir + " --picture " + bad + " '" + data + "'", "bad value for --picture");
    refused("--extract " + dir + " --picture 0,1,1500,1000,1500 " + page, "past the end");
    refused("--picture 0,1,8,8,8 '" + data + "'", "--picture draws into --extract's folder");
    std::remove(page.c_str());
    std::remove(data.c_str());
    rmdir(dir.c_str());
}

}  // namespace
