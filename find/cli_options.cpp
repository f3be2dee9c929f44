#include "find/cli_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Plain decimal or 0x hex digits only: no sign, no white space, nothing after.
bool parseNumber(const std::string& text, int64_t* out)
{
    size_t at = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at >= text.size())
        return false;
    for (size_t i = at; i < text.size(); ++i)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(text[i])) : std::isdigit(static_cast<unsigned char>(text[i]))))
            return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str() + at, &end, base);
    if (errno || *end)
        return false;
    *out = value;
    return true;
}

bool parseLayouts(const std::string& text, uint32_t* mask)
{
    *mask = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] >= '0' + kLayoutCount)
            return false;
        *mask |= 1u << (text[i] - '0');
        if (i + 1 < text.size() && (text[i + 1] != ',' || i + 2 >= text.size()))
            return false;
        ++i;
    }
    return *mask != 0;
}

bool parseWidths(const std::string& text, int32_t* lo, int32_t* hi)
{
    const size_t dash = text.find('-');
    int64_t a, b;
    if (dash == std::string::npos) {
        if (!parseNumber(text, &a))
            return false;
        b = a;
    } else if (!parseNumber(text.substr(0, dash), &a) || !parseNumber(text.substr(dash + 1), &b)) {
        return false;
    }
    if (a < kFindWidthFloor || b > kFindWidthCeiling || a > b)
        return false;
    *lo = static_cast<int32_t>(a);
    *hi = static_cast<int32_t>(b);
    return true;
}

// OFFSET,LAYOUT,WIDTH,HEIGHT,STRIDE, then ",up" for rows stored bottom-up and the order of the
// pixels' parts (",rgb", ",bgr", ",high-nibble"), as a report's card writes them.
bool parsePicture(const std::string& text, Find* f)
{
    std::vector<std::string> fields;
    for (size_t at = 0;;) {
        const size_t comma = text.find(',', at);
        fields.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    int64_t n[5];
    if (fields.size() < 5 || fields.size() > 7)
        return false;
    for (int k = 0; k < 5; ++k)
        if (!parseNumber(fields[static_cast<size_t>(k)], &n[k]))
            return false;
    *f = {n[0], 0, static_cast<int32_t>(n[1]), static_cast<int32_t>(n[2]), static_cast<int32_t>(n[3]), n[4], 1.0f, true};
    for (size_t k = 5; k < fields.size(); ++k) {
        if (fields[k] == "up" && k == 5)
            f->bottomUp = true;
        else if (f->order == kOrderOfLayout && (fields[k] == "rgb" || fields[k] == "bgr" || fields[k] == "high-nibble"))
            f->order = fields[k] == "rgb" ? kRedFirst : fields[k] == "bgr" ? kBlueFirst : kHighNibbleFirst;
        else
            return false;
    }
    if (n[0] > int64_t{1} << 60 || n[1] >= kLayoutCount || n[2] < 1 || n[2] > kFindWidthCeiling || n[3] < 1 || n[3] > kFindHeightCeiling)
        return false;
    const int64_t row = rowBytes(f->layout, f->width);
    if (n[4] < row || n[4] > int64_t{1} << 32)
        return false;
    f->bytes = (f->height - 1) * f->stride + row;
    return true;
}

ParseOutcome usageError(const std::string& what)
{
    std::fprintf(stderr, "tessvane-find: %s\n%s", what.c_str(), usageText().c_str());
    return kParsedBadUsage;
}

// "--to" of CLI11's "--to: 1 required TEXT missing".
std::string optionNamed(const std::string& message)
{
    const size_t at = message.find("--");
    if (at == std::string::npos)
        return message;
    return message.substr(at, message.find_first_of(" :", at) - at);
}

struct Texts {
    std::string layouts, widths, minBytes, minHeight, from, to, threads, picture;
    std::vector<std::string> files;
    bool help, version, extractGiven, reportGiven, pictureGiven;
};

// CLI11 reports mistakes by throwing; they end here, as today's messages.
ParseOutcome runParser(int argc, char** argv, Args* args, Texts* t)
{
    CLI::App app("tessvane-find", "tessvane-find");
    app.set_help_flag();
    app.allow_windows_style_options(false);
    app.add_flag("--help,-h", t->help);
    app.add_flag("--version", t->version);
    app.add_flag("--tsv", args->tsv);
    app.add_flag("--candidates", args->candidates);
    CLI::Option* extract = app.add_option("--extract", args->extractDir);
    CLI::Option* report = app.add_option("--report", args->reportPath);
    app.add_option("--layouts", t->layouts);
    app.add_option("--width", t->widths);
    app.add_option("--min-bytes", t->minBytes);
    app.add_option("--min-height", t->minHeight);
    app.add_option("--from", t->from);
    app.add_option("--to", t->to);
    app.add_option("--threads", t->threads);
    app.add_option("--picture", t->picture);
    app.add_option("file", t->files);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError& e) {
        const std::vector<std::string> extras = app.remaining();
        const std::string first = extras.empty() ? "" : extras[0];
        return usageError(!first.empty() && first[0] == '-' ? "unknown option " + first : "more than one file: " + first);
    } catch (const CLI::ArgumentMismatch& e) {
        return usageError(optionNamed(e.what()) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    t->extractGiven = extract->count() > 0;
    t->reportGiven = report->count() > 0;
    t->pictureGiven = app.get_option("--picture")->count() > 0;
    return kParsedScan;
}

}  // namespace

std::string usageText()
{
    char threads[16];
    std::snprintf(threads, sizeof threads, "%d", threadLimit(defaultFindOptions()));
    return std::string(
               "usage: tessvane-find [options] FILE\n"
               "Lists the raw pictures hidden in FILE (a file or a block device): offset, length, layout,\n"
               "width x height, row stride, score.\n"
               "Layouts: 0 4-bit grey, 1 8-bit grey, 2 15-bit colour, 3 24-bit colour, 4 32-bit colour\n"
               "(B, G, R, X), 5 RGB565 colour.\n"
               "\n"
               "  --tsv               tab-separated output for scripts:\n"
               "                      offset bytes layout width height stride score\n"
               "  --extract DIR       also write each find as a new file DIR/OFFSET_layoutL_wWIDTH.png\n"
               "                      (an existing file is never replaced; at most 16 Mi pixels each)\n"
               "  --report FILE.html  also write a page to look at the finds in a browser: a card with a\n"
               "                      thumbnail and the viewer's settings each, pictures inline, sorting\n"
               "                      and a layout filter (new files; full pictures up to 1 Mi pixels;\n"
               "                      past 500 cards, rows of every find and FILE-2.html on)\n"
               "  --layouts LIST      layouts to look for, e.g. 0,2 (default 0,1,2,3,4,5)\n"
               "  --width MIN-MAX     widths in pixels (default 8-4096; 2 to 16384)\n"
               "  --min-bytes N       smallest region reported (default 4096)\n"
               "  --min-height ROWS   fewest rows reported (default 32; 16 to 1048576)\n"
               "  --from OFFSET       first byte to scan (decimal or 0x hex; default 0)\n"
               "  --to OFFSET         scan up to this byte (default the end of the file)\n"
               "  --picture OFFSET,LAYOUT,WIDTH,HEIGHT,STRIDE[,up][,rgb|,bgr|,high-nibble]\n"
               "                      no scan: draws this one picture into --extract's folder, rows\n"
               "                      stored bottom-up with up, its colours in the order given\n"
               "  --threads N         threads (default: one per core; at most ") +
           threads +
           ", what the memory budget allows)\n"
           "  --candidates        instead of the finds, every region judged by its look, with the\n"
           "                      judge's measures (tab-separated, one thread): for training it\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 when the scan ran (with or without finds), 1 when FILE cannot be read or\n"
           "memory ran out, 2 for bad usage, 3 when the listing, a picture or the report could not be\n"
           "written, "
           "130 when interrupted (the finds listed so far stand).\n";
}

ParseOutcome parseCommandLine(int argc, char** argv, Args* args)
{
    args->options = defaultFindOptions();
    args->path.clear();
    args->extractDir.clear();
    args->reportPath.clear();
    args->tsv = false;
    args->candidates = false;
    args->picture = false;
    Texts t = {};
    const ParseOutcome outcome = runParser(argc, argv, args, &t);
    if (outcome != kParsedScan)
        return outcome;
    if (t.help)
        return kParsedHelp;
    if (t.version)
        return kParsedVersion;
    FindOptions& o = args->options;
    int64_t n = 0;
    if (!t.layouts.empty() && !parseLayouts(t.layouts, &o.layouts))
        return usageError("bad value for --layouts");
    if (!t.widths.empty() && !parseWidths(t.widths, &o.minWidth, &o.maxWidth))
        return usageError("bad value for --width");
    if (!t.minBytes.empty() && !(parseNumber(t.minBytes, &n) && n >= 1 && (o.minBytes = n)))
        return usageError("bad value for --min-bytes");
    if (!t.minHeight.empty() &&
        !(parseNumber(t.minHeight, &n) && n >= kFindHeightFloor && n <= kFindHeightCeiling && (o.minHeight = static_cast<int32_t>(n))))
        return usageError("bad value for --min-height");
    if (!t.from.empty() && !(parseNumber(t.from, &n) && ((o.from = n), true)))
        return usageError("bad value for --from");
    if (!t.to.empty() && !(parseNumber(t.to, &n) && ((o.to = n), true)))
        return usageError("bad value for --to");
    if (!t.threads.empty() && !(parseNumber(t.threads, &n) && n >= 1 && n <= 256 && (o.threads = static_cast<int32_t>(n))))
        return usageError("bad value for --threads");
    if (t.extractGiven && args->extractDir.empty())
        return usageError("bad value for --extract");
    if (t.reportGiven && args->reportPath.empty())
        return usageError("bad value for --report");
    if (t.pictureGiven && !parsePicture(t.picture, &args->pictureFind))
        return usageError("bad value for --picture");
    if (t.pictureGiven && (args->extractDir.empty() || t.reportGiven))
        return usageError("--picture draws into --extract's folder, without --report");
    args->picture = t.pictureGiven;
    if (t.files.empty())
        return usageError("no file given");
    if (t.files.size() > 1)
        return usageError("more than one file: " + t.files[1]);
    args->path = t.files[0];
    char error[256];
    if (!checkFindOptions(o, error, sizeof error))
        return usageError(error);
    return kParsedScan;
}
