// tessvane-find: lists the raw pictures in a file, in the viewer's layouts, with their widths.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "common/raw_file.h"
#include "find/find.h"
#include "find/png_write.h"

namespace {

constexpr const char* kVersion = "tessvane-find " TESSVANE_VERSION;

// An extracted picture is cut to this many pixels so that memory stays small.
constexpr int64_t kMaxExtractPixels = 16 << 20;

const char* const kUsage =
    "usage: tessvane-find [options] FILE\n"
    "Lists the raw pictures hidden in FILE: offset, length, layout, width x height, score.\n"
    "Layouts: 0 4-bit grey, 1 8-bit grey, 2 15-bit colour, 3 24-bit colour.\n"
    "\n"
    "  --tsv               tab-separated output for scripts: offset bytes layout width height score\n"
    "  --extract DIR       also write each find as DIR/OFFSET_layoutL_wWIDTH.png\n"
    "  --layouts LIST      layouts to look for, e.g. 0,2 (default 0,1,2,3)\n"
    "  --width MIN-MAX     widths in pixels (default 8-4096; 2 to 16384)\n"
    "  --min-bytes N       smallest region reported (default 4096)\n"
    "  --from OFFSET       first byte to scan (decimal or 0x hex; default 0)\n"
    "  --to OFFSET         scan up to this byte (default the end of the file)\n"
    "  --threads N         threads (default: one per core)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 when the scan ran, 1 when FILE cannot be read, 2 for bad usage.\n";

struct Args {
    FindOptions options;
    const char* path;
    const char* extractDir;
    bool tsv;
};

bool parseNumber(const char* text, int64_t* out)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, base);
    if (errno || end == text || *end)
        return false;
    *out = value;
    return true;
}

bool parseLayouts(const char* text, uint32_t* mask)
{
    *mask = 0;
    for (const char* p = text; *p;) {
        if (*p < '0' || *p > '3')
            return false;
        *mask |= 1u << (*p - '0');
        ++p;
        if (*p == ',' && p[1])
            ++p;
        else if (*p)
            return false;
    }
    return *mask != 0;
}

bool parseWidths(const char* text, int32_t* lo, int32_t* hi)
{
    std::string s = text;
    size_t dash = s.find('-');
    int64_t a, b;
    if (dash == std::string::npos) {
        if (!parseNumber(text, &a))
            return false;
        b = a;
    } else if (!parseNumber(s.substr(0, dash).c_str(), &a) || !parseNumber(s.substr(dash + 1).c_str(), &b)) {
        return false;
    }
    if (a < kFindWidthFloor || b > kFindWidthCeiling || a > b)
        return false;
    *lo = static_cast<int32_t>(a);
    *hi = static_cast<int32_t>(b);
    return true;
}

bool usageError(const char* format, const char* what)
{
    std::fprintf(stderr, "tessvane-find: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\n%s", kUsage);
    return false;
}

// 1 ok, 0 stop with status 0 (help, version), -1 bad usage.
int parseArgs(int argc, char** argv, Args* args)
{
    args->options = defaultFindOptions();
    args->path = nullptr;
    args->extractDir = nullptr;
    args->tsv = false;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            if (args->path)
                return usageError("more than one file: %s", argv[i]) ? 1 : -1;
            args->path = argv[i];
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s\n", kVersion);
            return 0;
        }
        if (arg == "--tsv") {
            args->tsv = true;
            continue;
        }
        std::string name = arg, value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        static const char* const kWithValue[] = {"--extract", "--layouts", "--width", "--min-bytes",
                                                 "--from", "--to", "--threads"};
        bool known = false;
        for (const char* k : kWithValue)
            known = known || name == k;
        if (!known)
            return usageError("unknown option %s", argv[i]) ? 1 : -1;
        if (!hasValue) {
            if (i + 1 >= argc)
                return usageError("%s needs a value", name.c_str()) ? 1 : -1;
            value = argv[++i];
        }
        FindOptions& o = args->options;
        int64_t n = 0;
        bool ok = true;
        if (name == "--extract") {
            ok = !value.empty();
            args->extractDir = argv[i] + (hasValue ? eq + 1 : 0);
        } else if (name == "--layouts") {
            ok = parseLayouts(value.c_str(), &o.layouts);
        } else if (name == "--width") {
            ok = parseWidths(value.c_str(), &o.minWidth, &o.maxWidth);
        } else if (name == "--min-bytes") {
            ok = parseNumber(value.c_str(), &n) && n >= 1;
            o.minBytes = n;
        } else if (name == "--from") {
            ok = parseNumber(value.c_str(), &n);
            o.from = n;
        } else if (name == "--to") {
            ok = parseNumber(value.c_str(), &n);
            o.to = n;
        } else if (name == "--threads") {
            ok = parseNumber(value.c_str(), &n) && n >= 1 && n <= 256;
            o.threads = static_cast<int32_t>(n);
        }
        if (!ok)
            return usageError("bad value for %s", name.c_str()) ? 1 : -1;
    }
    if (!args->path)
        return usageError("%s", "no file given") ? 1 : -1;
    char error[256];
    if (!checkFindOptions(args->options, error, sizeof error))
        return usageError("%s", error) ? 1 : -1;
    return 1;
}

bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct ProgressBar {
    std::chrono::steady_clock::time_point start;
    int64_t scanBytes;
    bool drawn;
};

void drawProgress(void* user, int64_t done, int64_t total)
{
    ProgressBar* bar = static_cast<ProgressBar*>(user);
    double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    double seconds = secondsSince(bar->start);
    double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1e6 : 0.0;
    double left = fraction > 0 ? seconds / fraction - seconds : 0.0;
    char cells[31];
    int filled = static_cast<int>(fraction * 30);
    for (int i = 0; i < 30; ++i)
        cells[i] = i < filled ? '#' : '.';
    cells[30] = 0;
    std::fprintf(stderr, "\r[%s] %3d%%  %7.0f MB/s  %5.0f s left ", cells, static_cast<int>(fraction * 100), rate,
                 left);
    std::fflush(stderr);
    bar->drawn = true;
}

bool makeDirectory(const char* dir)
{
#ifdef _WIN32
    int made = _mkdir(dir);
#else
    int made = mkdir(dir, 0777);
#endif
    if (made == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "tessvane-find: cannot make %s: %s\n", dir, std::strerror(errno));
    return false;
}

// The pixels as the viewer shows them: grey levels times 15, colour fields moved to the top.
void decodeRow(int32_t layout, const uint8_t* bytes, int64_t firstNibble, int32_t width, uint8_t* rgb)
{
    for (int32_t x = 0; x < width; ++x) {
        uint8_t r, g, b;
        if (layout == 0) {
            int64_t k = firstNibble + x;
            r = g = b = static_cast<uint8_t>(((bytes[k >> 1] >> ((k & 1) * 4)) & 15) * 15);
        } else if (layout == 1) {
            r = g = b = static_cast<uint8_t>(bytes[x] * 15);
        } else if (layout == 2) {
            uint32_t word = bytes[2 * x] | bytes[2 * x + 1] << 8;
            r = static_cast<uint8_t>((word & 31) << 3);
            g = static_cast<uint8_t>((word >> 5 & 31) << 3);
            b = static_cast<uint8_t>((word >> 10 & 31) << 3);
        } else {
            r = bytes[3 * x];
            g = bytes[3 * x + 1];
            b = bytes[3 * x + 2];
        }
        rgb[3 * x] = r;
        rgb[3 * x + 1] = g;
        rgb[3 * x + 2] = b;
    }
}

bool extractFind(const char* path, const char* dir, const Find& f)
{
    int32_t rows = static_cast<int32_t>(std::min<int64_t>(f.height, kMaxExtractPixels / f.width));
    const int64_t unitsPerPixel[4] = {1, 2, 4, 6};  // in nibbles
    int64_t need = (int64_t{rows} * f.width * unitsPerPixel[f.layout] + 1) / 2;
    std::vector<uint8_t> bytes(static_cast<size_t>(need) + 4, 0);
    int fd = openForRead(path, false);
    if (fd == kNoFile || !seekTo(fd, f.offset) || readFully(fd, bytes.data(), static_cast<size_t>(need)) < 0) {
        std::fprintf(stderr, "tessvane-find: %s: %s\n", path, std::strerror(errno));
        if (fd != kNoFile)
            closeFile(fd);
        return false;
    }
    closeFile(fd);
    std::vector<uint8_t> rgb(static_cast<size_t>(rows) * static_cast<size_t>(f.width) * 3);
    for (int32_t y = 0; y < rows; ++y) {
        int64_t nibble = int64_t{y} * f.width * unitsPerPixel[f.layout];
        decodeRow(f.layout, bytes.data() + (f.layout == 0 ? 0 : nibble / 2), f.layout == 0 ? nibble : 0, f.width,
                  rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(f.width) * 3);
    }
    char name[1024];
    std::snprintf(name, sizeof name, "%s/%012" PRId64 "_layout%d_w%d.png", dir, f.offset, f.layout, f.width);
    if (!writePng(name, f.width, rows, rgb.data())) {
        std::fprintf(stderr, "tessvane-find: cannot write %s\n", name);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Args args;
    int parsed = parseArgs(argc, argv, &args);
    if (parsed <= 0)
        return parsed == 0 ? 0 : 2;

    ProgressBar bar = {std::chrono::steady_clock::now(), 0, false};
    std::vector<Find> finds;
    char error[512];
    int fd = openForRead(args.path, false);
    if (fd == kNoFile) {
        std::fprintf(stderr, "tessvane-find: %s: %s\n", args.path, std::strerror(errno));
        return 1;
    }
    FindCallbacks callbacks = {[](void* user, const Find& f) {
                                   static_cast<std::vector<Find>*>(user)->push_back(f);
                                   return true;
                               },
                               nullptr, &finds, nullptr};
    ScanResult result;
    bool ok = findInFile(fd, args.options, callbacks, &result, error, sizeof error);
    int64_t scanned = result.scanned;
    (void)drawProgress;
    (void)stderrIsTerminal;
    if (bar.drawn)
        std::fprintf(stderr, "\r%70s\r", "");
    if (!ok) {
        std::fprintf(stderr, "tessvane-find: %s: %s\n", args.path, error);
        return 1;
    }
    double seconds = secondsSince(bar.start);

    if (args.tsv)
        std::printf("offset\tbytes\tlayout\twidth\theight\tstride\tscore\n");
    for (const Find& f : finds) {
        if (args.tsv)
            std::printf("%" PRId64 "\t%" PRId64 "\t%d\t%d\t%d\t%" PRId64 "\t%.3f\n", f.offset, f.bytes, f.layout, f.width,
                        f.height, f.stride, static_cast<double>(f.score));
        else
            std::printf("%14" PRId64 "  0x%010" PRIx64 "  %12" PRId64 " bytes  %-13s  %5d x %-7d  score %.2f\n",
                        f.offset, static_cast<uint64_t>(f.offset), f.bytes, layoutName(f.layout), f.width,
                        f.height, static_cast<double>(f.score));
    }
    if (!args.tsv)
        std::printf("scanned %" PRId64 " bytes in %.2f s (%.0f MB/s), %zu find%s\n", scanned, seconds,
                    seconds > 0 ? static_cast<double>(scanned) / seconds / 1e6 : 0.0, finds.size(),
                    finds.size() == 1 ? "" : "s");
    std::fflush(stdout);

    if (args.extractDir) {
        if (!makeDirectory(args.extractDir))
            return 1;
        for (const Find& f : finds)
            if (!extractFind(args.path, args.extractDir, f))
                return 1;
    }
    return 0;
}
