// A report of a scan to look at: one self-contained HTML page (pictures inline, no network),
// with a card per find, sorting and a layout filter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "find/extract.h"
#include "find/find.h"

// Full pictures larger than this are not put in the page; the card says how to extract them.
constexpr int64_t kReportFullPixels = int64_t{1} << 20;
// ... nor once the page holds this many bytes of full pictures.
constexpr int64_t kReportFullBudget = int64_t{96} << 20;
constexpr int32_t kThumbnailSide = 160;

struct ReportCard {
    Find find;
    std::string thumbnail;  // PNG, base64
    std::string full;       // PNG, base64; empty when over the limits
};

struct Report {
    std::string scannedName;
    int64_t size;
    int64_t from;
    int64_t to;
    std::string date;  // of the scan, UTC
    double seconds;
    bool interrupted;
    int64_t fullBytes;  // of full pictures so far
    std::vector<ReportCard> cards;
};

// Draws the find's thumbnail (and its full picture, within the limits) from the open scanned
// file into a new card. False when memory or the file fails.
bool addReportCard(Report* report, int fd, const Find& find);

// The page, as text.
std::string reportHtml(const Report& report);

// Writes the page as the new file at path (created beforehand by the caller with createNewFile);
// false with errno set when the write fails.
bool writeReport(int fd, const Report& report);
