#include "find/report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "common/raw_file.h"
#include "find/png_write.h"

namespace {

bool appendTo(void* user, const uint8_t* data, size_t size)
{
    static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data), size);
    return true;
}

std::string base64(const std::string& bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t a = static_cast<uint8_t>(bytes[i]);
        const uint32_t b = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        const uint32_t c = i + 2 < bytes.size() ? static_cast<uint8_t>(bytes[i + 2]) : 0;
        const uint32_t triple = a << 16 | b << 8 | c;
        out += kDigits[triple >> 18 & 63];
        out += kDigits[triple >> 12 & 63];
        out += i + 1 < bytes.size() ? kDigits[triple >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[triple & 63] : '=';
    }
    return out;
}

// The find drawn as --extract draws it, every `every`-th row and column, as PNG bytes.
bool drawPng(int fd, const Find& f, int32_t every, std::string* png)
{
    const int32_t width = (f.width + every - 1) / every, height = (f.height + every - 1) / every;
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes(f.layout, f.width)));
    std::vector<uint8_t> rgb(static_cast<size_t>(f.width) * 3), scaled(static_cast<size_t>(width) * 3);
    PngWriter* writer = static_cast<PngWriter*>(std::malloc(sizeof(PngWriter)));
    bool ok = writer && pngBegin(writer, {appendTo, png}, width, height);
    for (int32_t y = 0; ok && y < height; ++y) {
        const int64_t got = readAt(fd, f.offset + int64_t{y} * every * f.stride, row.data(), row.size());
        if (got < 0) {
            ok = false;
            break;
        }
        std::fill(row.begin() + got, row.end(), 0);
        decodeRow(f.layout, row.data(), f.width, rgb.data());
        for (int32_t x = 0; x < width; ++x)
            std::copy_n(rgb.data() + static_cast<size_t>(x) * every * 3, 3, scaled.data() + static_cast<size_t>(x) * 3);
        ok = pngRow(writer, scaled.data());
    }
    ok = ok && pngEnd(writer);
    if (writer)
        pngAbandon(writer);
    std::free(writer);
    return ok;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatted(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// What a user types or presses to see the find in the viewer, which starts at 24-bit colour and
// steps through 4-bit grey, 8-bit grey and 15-bit colour with P.
std::string viewerLines(const Find& f)
{
    static const int kPresses[4] = {1, 2, 3, 0};
    if (f.layout >= 4)
        return "not a layout of the viewer: use --extract";
    std::string lines = formatted("width=\"%d\"\nheight=\"%d\"\n", f.width, f.height);
    lines += kPresses[f.layout] == 0 ? "P: none (24-bit colour is the first layout)"
                                      : formatted("P: %d time%s", kPresses[f.layout], kPresses[f.layout] == 1 ? "" : "s");
    if (f.stride != rowBytes(f.layout, f.width))
        lines += formatted("\n(rows padded to %" PRId64 " bytes: the viewer shows them slanted)", f.stride);
    return lines;
}

std::string card(const ReportCard& c)
{
    const Find& f = c.find;
    std::string html = formatted("<div class=\"card\" data-offset=\"%" PRId64 "\" data-score=\"%.3f\" data-layout=\"%d\">\n",
                                 f.offset, static_cast<double>(f.score), f.layout);
    html += "<img class=\"thumb\" alt=\"find at " + std::to_string(f.offset) + "\" src=\"data:image/png;base64," +
            c.thumbnail + "\">\n";
    html += formatted("<div class=\"facts\"><b>%" PRId64 "</b> <span class=\"hex\">0x%" PRIx64 "</span><br>%" PRId64
                      " bytes, %s<br>%d x %d, stride %" PRId64 "<br>score <span class=\"score\">%.2f</span></div>\n",
                      f.offset, static_cast<uint64_t>(f.offset), f.bytes, layoutName(f.layout), f.width, f.height,
                      f.stride, static_cast<double>(f.score));
    html += "<pre class=\"viewer\">" + escaped(viewerLines(f)) + "</pre>\n";
    if (!c.full.empty())
        html += "<details><summary>full size</summary><img class=\"full\" loading=\"lazy\" alt=\"\" src=\"data:image/png;base64," +
                c.full + "\"></details>\n";
    else
        html += formatted("<p class=\"note\">larger than the report holds: <code>tessvane-find --extract DIR --from %" PRId64
                          " --to %" PRId64 " FILE</code></p>\n",
                          f.offset, f.offset + f.bytes);
    return html + "</div>\n";
}

const char kStyle[] =
    "body{font:14px sans-serif;margin:1em;background:#f4f4f4;color:#222}"
    "header p{margin:.2em 0}#cards{display:flex;flex-wrap:wrap;gap:10px}"
    ".card{background:#fff;border:1px solid #ccc;padding:8px;width:330px}"
    ".thumb{display:block;max-width:160px;max-height:160px;image-rendering:pixelated;background:#888;float:left;margin-right:8px}"
    ".facts{overflow:hidden}.hex{color:#666}.viewer{clear:both;background:#eee;padding:4px;margin:6px 0 0;white-space:pre-wrap}"
    "details img{max-width:100%;image-rendering:pixelated}.note{font-size:12px;color:#666}"
    "form{margin:.6em 0}label{margin-right:.8em}";

// Sorting and the layout filter: the cards are moved, none is made anew.
const char kScript[] =
    "const list=document.getElementById('cards');const cards=[...list.children];"
    "function apply(){const by=document.getElementById('sort').value;"
    "cards.sort((a,b)=>by==='score'?b.dataset.score-a.dataset.score||a.dataset.offset-b.dataset.offset"
    ":a.dataset.offset-b.dataset.offset);"
    "for(const c of cards){list.appendChild(c);c.hidden=!document.getElementById('layout'+c.dataset.layout).checked;}}"
    "document.querySelectorAll('select,input').forEach(e=>e.addEventListener('change',apply));";

}  // namespace

bool addReportCard(Report* report, int fd, const Find& f)
{
    ReportCard c = {f, {}, {}};
    std::string png;
    const int32_t every = std::max(1, (std::max(f.width, f.height) + kThumbnailSide - 1) / kThumbnailSide);
    if (!drawPng(fd, f, every, &png))
        return false;
    c.thumbnail = base64(png);
    if (int64_t{f.width} * f.height <= kReportFullPixels && report->fullBytes < kReportFullBudget) {
        png.clear();
        if (every == 1)
            c.full = c.thumbnail;
        else if (drawPng(fd, f, 1, &png))
            c.full = base64(png);
        report->fullBytes += static_cast<int64_t>(c.full.size());
    }
    report->cards.push_back(std::move(c));
    return true;
}

std::string reportHtml(const Report& r)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>tessvane-find: " +
                       escaped(r.scannedName) + "</title>\n<style>" + kStyle + "</style></head><body>\n<header>\n";
    html += "<h1>Pictures in " + escaped(r.scannedName) + "</h1>\n";
    html += formatted("<p>%" PRId64 " bytes; bytes %" PRId64 " to %" PRId64 " scanned%s</p>\n", r.size, r.from, r.to,
                      r.interrupted ? " (interrupted)" : "");
    html += "<p>scanned " + escaped(r.date) + formatted(" in %.2f s; <span id=\"count\">%lld</span> find%s</p>\n", r.seconds,
                                                          static_cast<long long>(r.cards.size()),
                                                          r.cards.size() == 1 ? "" : "s");
    html += "</header>\n<form>sort by <select id=\"sort\"><option value=\"offset\">offset</option>"
            "<option value=\"score\">score</option></select> &nbsp; layouts: ";
    for (int32_t l = 0; l < kLayoutCount; ++l)
        html += formatted("<label><input type=\"checkbox\" id=\"layout%d\" checked> %s</label>", l, layoutName(l));
    html += "</form>\n<div id=\"cards\">\n";
    for (const ReportCard& c : r.cards)
        html += card(c);
    html += "</div>\n<script>";
    html += kScript;
    html += "</script>\n</body></html>\n";
    return html;
}

bool writeReport(int fd, const Report& report)
{
    const std::string html = reportHtml(report);
    return writeFully(fd, html.data(), html.size());
}
