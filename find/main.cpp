// tessvane-find: lists the raw pictures in a file, with their layouts, widths and strides, as
// the scan finds them.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "common/raw_file.h"
#include "find/cli_options.h"
#include "find/extract.h"
#include "find/find.h"
#include "find/prune.h"
#include "find/report.h"

namespace {

constexpr int kStatusScanned = 0;
constexpr int kStatusUnreadable = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusOutput = 3;
constexpr int kStatusInterrupted = 130;

std::atomic<bool> gStop(false);

void onSignal(int)
{
    gStop = true;
}

// Allocation failures anywhere end here: a plain message and status 1, never a damaged heap.
void outOfMemory()
{
    static const char kMessage[] = "tessvane-find: out of memory\n";
#ifdef _WIN32
    _write(2, kMessage, sizeof kMessage - 1);
#else
    ssize_t ignored = write(2, kMessage, sizeof kMessage - 1);
    (void)ignored;
#endif
    std::_Exit(kStatusUnreadable);
}

void installHandlers()
{
    std::set_new_handler(outOfMemory);
#ifdef SIGXFSZ
    // Over a file-size limit a write then fails with EFBIG, which is reported, instead of killing
    // the program halfway through a picture.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A reader that stops early (| head) makes the listing fail with EPIPE: status 3, and no
    // page left half-written.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef _WIN32
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#else
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
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

struct Run {
    Args args;
    ExtractTarget target;
    std::chrono::steady_clock::time_point start;
    bool terminal;
    bool barShown;
    int64_t finds;
    int outputError;     // errno of a failed write to stdout, or 0
    bool extractFailed;
    bool reporting;      // a page is being written
    Report report;
};

void clearBar(Run* run)
{
    if (run->barShown)
        std::fprintf(stderr, "\r%72s\r", "");
    run->barShown = false;
}

void drawBar(void* user, int64_t done, int64_t total)
{
    Run* run = static_cast<Run*>(user);
    if (!run->terminal || gStop)
        return;
    const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const double seconds = secondsSince(run->start);
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1e6 : 0.0;
    const double left = fraction > 0 ? seconds / fraction - seconds : 0.0;
    char cells[31];
    const int filled = static_cast<int>(fraction * 30);
    for (int i = 0; i < 30; ++i)
        cells[i] = i < filled ? '#' : '.';
    cells[30] = 0;
    std::fprintf(stderr, "\r[%s] %3d%%  %7.0f MB/s  %5.0f s left ", cells, static_cast<int>(fraction * 100), rate, left);
    std::fflush(stderr);
    run->barShown = true;
}

// Writes the line and pushes it out at once, so that a reader that stops early, or an interrupt,
// still has every find listed so far. False, with errno kept, when stdout took it not.
bool printLine(Run* run, const char* line)
{
    if (run->outputError)
        return false;
    if (std::fputs(line, stdout) < 0 || std::fflush(stdout) != 0) {
        run->outputError = errno ? errno : EIO;
        return false;
    }
    return true;
}

// Draws f into the --extract folder; false, said on stderr, when it could not be written.
bool extractOne(const Run& run, const Find& f)
{
    int32_t rows = 0;
    std::string error;
    if (!extractFind(run.target, f, &rows, &error)) {
        std::fprintf(stderr, "tessvane-find: %s\n", error.c_str());
        return false;
    }
    if (rows < f.height)
        std::fprintf(stderr, "tessvane-find: %s: drawn as its first %d rows of %d, to stay within the %" PRId64
                             " Mi pixel limit\n",
                     extractName(run.args.extractDir, f).c_str(), rows, f.height, kMaxExtractPixels >> 20);
    return true;
}

// One region the judge weighed: its reading, its score (0: turned down) and its measures.
void listCandidate(void* user, const Find& f, const float* features)
{
    Run* run = static_cast<Run*>(user);
    std::string line = std::to_string(f.offset) + "\t" + std::to_string(f.bytes) + "\t" + std::to_string(f.layout) + "\t" +
                       std::to_string(f.width) + "\t" + std::to_string(f.height) + "\t" + std::to_string(f.stride);
    char value[32];
    std::snprintf(value, sizeof value, "\t%.4f", static_cast<double>(f.score));
    line += value;
    for (int32_t i = 0; i < kJudgeFeatures; ++i) {
        std::snprintf(value, sizeof value, "\t%.5g", static_cast<double>(features[i]));
        line += value;
    }
    line += "\n";
    printLine(run, line.c_str());
}

bool listFind(void* user, const Find& f)
{
    Run* run = static_cast<Run*>(user);
    if (run->args.candidates)
        return true;
    clearBar(run);
    char line[256];
    if (run->args.tsv) {
        std::snprintf(line, sizeof line, "%" PRId64 "\t%" PRId64 "\t%d\t%d\t%d\t%" PRId64 "\t%.3f\n", f.offset, f.bytes,
                      f.layout, f.width, f.height, f.stride, static_cast<double>(f.score));
    } else {
        char padded[32] = "";
        if (f.stride != rowBytes(f.layout, f.width))
            std::snprintf(padded, sizeof padded, "  stride %" PRId64, f.stride);
        std::snprintf(line, sizeof line, "%14" PRId64 "  0x%010" PRIx64 "  %12" PRId64 " bytes  %-13s  %5d x %-7d%s  score %.2f\n",
                      f.offset, static_cast<uint64_t>(f.offset), f.bytes, layoutName(f.layout), f.width, f.height,
                      padded, static_cast<double>(f.score));
    }
    if (!printLine(run, line))
        return false;
    ++run->finds;
    if (run->reporting && !addReportCard(&run->report, run->target.fd, f)) {
        std::fprintf(stderr, "tessvane-find: %s: find at %" PRId64 " left out: %s\n", run->args.reportPath.c_str(), f.offset,
                     std::strerror(errno ? errno : EIO));
        run->extractFailed = true;
    }
    if (!run->args.extractDir.empty() && !extractOne(*run, f))
        run->extractFailed = true;
    return true;
}

// Only files and block devices (disk images) hold bytes to scan; a FIFO or a terminal would
// never end.
bool openInput(const std::string& path, int* fd, int64_t* size)
{
    *fd = openForRead(path.c_str(), false);
    if (*fd == kNoFile) {
        std::fprintf(stderr, "tessvane-find: %s: %s\n", path.c_str(),
                     errno ? std::strerror(errno) : "cannot be read (a directory?)");
        return false;
    }
#ifdef _WIN32
    struct _stati64 info;
    const bool known = _fstati64(*fd, &info) == 0;
    const bool scannable = known && (info.st_mode & S_IFMT) == S_IFREG;
#else
    struct stat info;
    const bool known = fstat(*fd, &info) == 0;
    const bool scannable = known && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
#endif
    *size = scannable ? fileLength(*fd) : -1;
    if (!scannable || *size < 0) {
        std::fprintf(stderr, "tessvane-find: %s: %s\n", path.c_str(),
                     !known ? std::strerror(errno) : !scannable ? "not a regular file or block device"
                                                                : "cannot take its length");
        closeFile(*fd);
        return false;
    }
    return true;
}

// The report is begun before the scan, so that a name that cannot be written is known at once.
bool openReport(Run* run)
{
    std::string error;
    run->reporting = beginReport(&run->report, run->args.reportPath, run->args.path, run->target.scanned, &error);
    if (!run->reporting)
        std::fprintf(stderr, "tessvane-find: %s\n", error.c_str());
    return run->reporting;
}

// Finishes the page with what was found, also after an interrupt; a page that cannot be written
// whole, or whose listing failed (a reader that stopped early), is not left.
bool finishReport(Run* run, const ScanResult& result)
{
    if (!run->reporting)
        return true;
    run->reporting = false;
    if (run->outputError) {
        abandonReport(&run->report);
        std::fprintf(stderr, "tessvane-find: %s: not made, as the listing failed\n", run->args.reportPath.c_str());
        return false;
    }
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    const int64_t from = std::min(run->args.options.from, result.size);
    const ReportSummary summary = {result.size, from, from + result.scanned, date, secondsSince(run->start), gStop};
    std::string error;
    if (!endReport(&run->report, summary, &error)) {
        std::fprintf(stderr, "tessvane-find: %s\n", error.c_str());
        return false;
    }
    return true;
}

void dropReport(Run* run)
{
    if (run->reporting)
        abandonReport(&run->report);
    run->reporting = false;
}

int finishOutput(Run* run)
{
    if (!run->outputError && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        run->outputError = errno ? errno : EIO;
    if (run->outputError) {
        std::fprintf(stderr, "tessvane-find: cannot write the listing: %s\n", std::strerror(run->outputError));
        return kStatusOutput;
    }
    return kStatusScanned;
}

int printAndExit(const std::string& text)
{
    Run run = {};
    printLine(&run, text.c_str());
    return finishOutput(&run);
}

void warnAboutRange(const Run& run, int64_t size)
{
    const FindOptions& o = run.args.options;
    if (size == 0)
        std::fprintf(stderr, "tessvane-find: %s: reports a size of 0; nothing scanned\n", run.args.path.c_str());
    else if (o.from >= size)
        std::fprintf(stderr, "tessvane-find: nothing to scan: --from %" PRId64 " is past the end (%" PRId64 " bytes)\n",
                     o.from, size);
}

// --picture: the one picture given, drawn exactly, without a scan.
int drawPicture(Run* run, int64_t size)
{
    const Find& f = run->args.pictureFind;
    int status = kStatusScanned;
    if (f.offset + f.bytes > size) {
        std::fprintf(stderr, "tessvane-find: the picture ends at %" PRId64 ", past the end of %s (%" PRId64 " bytes)\n",
                     f.offset + f.bytes, run->args.path.c_str(), size);
        status = kStatusUsage;
    } else if (!extractOne(*run, f)) {
        status = kStatusOutput;
    }
    closeFile(run->target.fd);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    installHandlers();
    Run run = {};
    switch (parseCommandLine(argc, argv, &run.args)) {
    case kParsedHelp:
        return printAndExit(usageText());
    case kParsedVersion:
        return printAndExit("tessvane-find " TESSVANE_VERSION "\n");
    case kParsedBadUsage:
        return kStatusUsage;
    case kParsedScan:
        break;
    }
    int fd;
    int64_t size;
    if (!openInput(run.args.path, &fd, &size))
        return kStatusUnreadable;
    run.target = {fd, {}, run.args.extractDir};
    std::string error;
    if (!identifyOpenFile(fd, &run.target.scanned) ||
        (!run.args.extractDir.empty() && !prepareExtractDir(run.args.extractDir, &error))) {
        std::fprintf(stderr, "tessvane-find: %s\n", error.empty() ? std::strerror(errno) : error.c_str());
        closeFile(fd);
        return kStatusOutput;
    }
    if (run.args.picture)
        return drawPicture(&run, size);
    if (!run.args.reportPath.empty() && !openReport(&run)) {
        closeFile(fd);
        return kStatusOutput;
    }
    warnAboutRange(run, size);
    run.start = std::chrono::steady_clock::now();
    run.terminal = stderrIsTerminal();
    if (run.args.candidates) {
        // One thread, so that the lines come whole and in the order searched.
        run.args.options.threads = 1;
        run.args.options.onJudged = listCandidate;
        run.args.options.judgedUser = &run;
        run.args.tsv = true;
    }
    if (run.args.tsv && !run.args.candidates && !printLine(&run, "offset\tbytes\tlayout\twidth\theight\tstride\tscore\n")) {
        dropReport(&run);
        return finishOutput(&run);
    }

    FindCallbacks callbacks = {listFind, drawBar, &run, &gStop};
    ScanResult result;
    char reason[256];
    const bool scanned = findInFile(fd, run.args.options, callbacks, &result, reason, sizeof reason);
    clearBar(&run);
    if (!scanned) {
        dropReport(&run);
        closeFile(fd);
        std::fprintf(stderr, "tessvane-find: %s: %s\n", run.args.path.c_str(), reason);
        return kStatusUnreadable;
    }
    const bool reported = finishReport(&run, result);
    closeFile(fd);
    if (result.shrunkTo >= 0)
        std::fprintf(stderr, "tessvane-find: %s shrank to %" PRId64 " bytes during the scan; finds up to there are listed\n",
                     run.args.path.c_str(), result.shrunkTo);
    if (gStop) {
        // Every find before that byte is listed: --from there goes on without a gap.
        const int64_t resume = std::min(run.args.options.from, result.size) + result.scanned;
        std::fprintf(stderr, "tessvane-find: interrupted; %" PRId64 " finds listed, all those before byte %" PRId64
                     " (--from %" PRId64 " goes on from there)\n", run.finds, resume, resume);
        finishOutput(&run);
        return kStatusInterrupted;
    }
    if (!run.args.tsv && !run.outputError) {
        const double seconds = secondsSince(run.start);
        char line[160];
        std::snprintf(line, sizeof line, "scanned %" PRId64 " bytes in %.2f s (%.0f MB/s), %" PRId64 " find%s\n",
                      result.scanned, seconds, seconds > 0 ? static_cast<double>(result.scanned) / seconds / 1e6 : 0.0,
                      run.finds, run.finds == 1 ? "" : "s");
        printLine(&run, line);
    }
    const int status = finishOutput(&run);
    return status != kStatusScanned ? status : run.extractFailed || !reported ? kStatusOutput : kStatusScanned;
}
