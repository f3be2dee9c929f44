// A report of a scan to look at: self-contained HTML pages (pictures inline, no network), with a
// card per find, sorting and a layout filter. Cards are written as the finds come, so that memory
// stays the same however many there are; every file is written under a temporary name beside its
// own and takes its name only when the whole report is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/raw_file.h"
#include "find/find.h"

// Full pictures larger than this are not put in the page; the card says how to extract them.
constexpr int64_t kReportFullPixels = int64_t{1} << 20;
// ... nor once the page holds this many bytes of full pictures.
constexpr int64_t kReportFullBudget = int64_t{96} << 20;
constexpr int32_t kThumbnailSide = 160;
// Cards of a page whose thumbnails the browser draws as the page loads; later ones draw theirs
// when they come into view, so that the first screen shows as soon as the head of the page is read.
constexpr int64_t kReportCardsDrawnAtOnce = 60;

// Cards on a page: past them the first page lists every find in rows (which sort and filter over
// all), each linked to its card on one of the pages after it, so that every page opens quickly
// however many finds there are.
constexpr int64_t kReportCardsAPage = 500;

// One file of the report as it is written: under a temporary name beside its own until the whole
// report is.
struct ReportFile {
    std::string name;       // the name it takes
    std::string temporary;
    FileIdentity identity;  // of the temporary file
    int fd;                 // while it is written, else kNoFile
    std::string buffer;     // bytes not yet written
};

struct Report {
    std::string scannedName;
    FileIdentity scanned;
    ReportFile page;                    // the first page: FILE.html
    ReportFile rows;                    // the first page's rows of every find, copied into it at the end
    std::vector<ReportFile> cardPages;  // FILE-2.html on; the last one open
    int error;                          // errno of the first write that failed, or 0
    int64_t cards;
    int64_t fullBytes;                  // of full pictures so far
};

// What the page's summary says of the scan, known at its end.
struct ReportSummary {
    int64_t size;
    int64_t from;
    int64_t to;
    const char* date;  // of the scan, UTC
    double seconds;
    bool interrupted;
};

// Makes the first page's temporary file beside path and writes its head. Fails, with the reason
// in error, when path exists in any form (a link included) or the folder takes no new file.
bool beginReport(Report* report, const std::string& path, const std::string& scannedName, const FileIdentity& scanned,
                 std::string* error);

// Draws the find's thumbnail (and its full picture, within the limits) from the open scanned
// file fd and writes its card. False when memory or the scanned file fails (the card is left out);
// a failed write of the page shows at endReport.
bool addReportCard(Report* report, int fd, const Find& find);

// Writes the summaries and the scripts, and gives each page its name, never replacing a file (one
// that took the name meanwhile included). On failure nothing of the report is left and error says
// why.
bool endReport(Report* report, const ReportSummary& summary, std::string* error);

// Removes what was written of the report.
void abandonReport(Report* report);

// The command that draws exactly f from the file at scannedPath as a PNG file.
std::string pictureCommand(const Find& f, const std::string& scannedPath);
