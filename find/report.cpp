#include "find/report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "find/extract.h"
#include "find/png_write.h"

namespace {

// Page bytes are written in pieces of about this size.
constexpr size_t kReportWriteBytes = size_t{1} << 20;

bool appendTo(void* user, const uint8_t* data, size_t size)
{
    static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data), size);
    return true;
}

void appendBase64(const std::string& bytes, std::string* out)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out->reserve(out->size() + (bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t a = static_cast<uint8_t>(bytes[i]);
        const uint32_t b = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        const uint32_t c = i + 2 < bytes.size() ? static_cast<uint8_t>(bytes[i + 2]) : 0;
        const uint32_t triple = a << 16 | b << 8 | c;
        *out += kDigits[triple >> 18 & 63];
        *out += kDigits[triple >> 12 & 63];
        *out += i + 1 < bytes.size() ? kDigits[triple >> 6 & 63] : '=';
        *out += i + 2 < bytes.size() ? kDigits[triple & 63] : '=';
    }
}

int32_t scaledSide(int32_t side, int32_t every)
{
    return (side + every - 1) / every;
}

// The find drawn as --extract draws it, every `every`-th row and column, as PNG bytes.
bool drawPng(int fd, const Find& f, int32_t every, std::string* png)
{
    PngWriter* writer = static_cast<PngWriter*>(std::malloc(sizeof(PngWriter)));
    int readError = 0;
    bool ok = writer && pngBegin(writer, {appendTo, png}, scaledSide(f.width, every), scaledSide(f.height, every)) &&
              drawFind(fd, f, f.height, every, writer, &readError) && pngEnd(writer);
    if (writer)
        pngAbandon(writer);
    std::free(writer);
    if (readError)
        errno = readError;
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

// The text as one word of the shell, for a command to copy.
std::string shellWord(const std::string& text)
{
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:=@%", c);
    });
    if (plain)
        return text;
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
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
    if (f.bottomUp)
        lines += "\n(rows stored bottom-up: the viewer shows it upside down)";
    if ((f.layout == kColour15 || f.layout == kColour24) && f.order == kBlueFirst)
        lines += "\n(blue stored first: the viewer shows red and blue swapped)";
    if (f.layout == kGrey4 && f.order == kHighNibbleFirst)
        lines += "\n(the high nibble first: the viewer swaps each pair of pixels)";
    return lines;
}

void flush(Report* r, ReportFile* f)
{
    if (r->error == 0 && !f->buffer.empty() && !writeFully(f->fd, f->buffer.data(), f->buffer.size()))
        r->error = errno ? errno : EIO;
    f->buffer.clear();
}

void put(Report* r, ReportFile* f, const std::string& text)
{
    f->buffer += text;
    if (f->buffer.size() >= kReportWriteBytes)
        flush(r, f);
}

// Whether anything has the name: a file, a folder, a link (dangling or not).
bool nameTaken(const std::string& path)
{
#ifdef _WIN32
    struct _stati64 info;
    return _stati64(path.c_str(), &info) == 0 || errno != ENOENT;
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
#endif
}

// Gives the whole page its name without ever replacing what has it: a hard link where the file
// system has them, else a rename that refuses an existing name.
bool takeName(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    // Windows' rename never replaces an existing file.
    return std::rename(from.c_str(), to.c_str()) == 0;
#else
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
#endif
}

const char kStyle[] =
    "body{font:14px sans-serif;margin:1em;background:#f4f4f4;color:#222;display:flex;flex-direction:column}"
    "header{order:-2}#summary{order:-1}#summary p,header p{margin:.2em 0}"
    "#cards{display:flex;flex-wrap:wrap;gap:10px}"
    // Cards out of view are not laid out until they come near it.
    ".card{background:#fff;border:1px solid #ccc;padding:8px;width:330px;content-visibility:auto;"
    "contain-intrinsic-size:auto 330px auto 230px}"
    ".thumb{display:block;max-width:160px;max-height:160px;image-rendering:pixelated;background:#888;float:left;margin-right:8px}"
    ".facts{overflow:hidden}.hex{color:#666}.viewer{clear:both;background:#eee;padding:4px;margin:6px 0 0;white-space:pre-wrap}"
    "details img{max-width:100%;height:auto;image-rendering:pixelated}.note{font-size:12px;color:#666}"
    "form{margin:.6em 0}label{margin-right:.8em}"
    ".finds{content-visibility:auto}#finds{border-collapse:collapse;background:#fff}#finds td,#finds th{padding:2px 8px;border-bottom:1px solid #ddd;text-align:right}";

// Sorting and the layout filter move the cards (and the first page's rows of every find), none is
// made anew; pictures past the first cards are decoded when their card comes near the view, full
// ones when opened.
const char kScript[] =
    "const list=document.getElementById('cards');const cards=[...list.children];"
    "const table=document.querySelector('#finds tbody');const rows=table?[...table.children]:[];"
    "const count=document.getElementById('count');"
    "function show(i){if(i&&i.dataset.src){i.src=i.dataset.src;delete i.dataset.src;}}"
    "const near=new IntersectionObserver(es=>{for(const e of es)if(e.isIntersecting){"
    "show(e.target.querySelector('img.thumb'));near.unobserve(e.target);}},{rootMargin:'1000px'});"
    "for(const c of cards)if(c.querySelector('img.thumb[data-src]'))near.observe(c);"
    "document.querySelectorAll('details').forEach(d=>d.addEventListener('toggle',()=>show(d.querySelector('img'))));"
    "function apply(){const by=document.getElementById('sort').value;"
    "const order=(a,b)=>by==='score'?b.dataset.score-a.dataset.score||a.dataset.offset-b.dataset.offset"
    ":a.dataset.offset-b.dataset.offset;"
    "for(const [box,items] of [[list,cards],[table,rows]]){if(!box)continue;items.sort(order);"
    "const all=document.createDocumentFragment();"
    "for(const c of items){c.hidden=!document.getElementById('layout'+c.dataset.layout).checked;all.appendChild(c);}"
    "box.appendChild(all);}"
    "const counted=table?rows:cards;const shown=counted.filter(c=>!c.hidden).length;"
    "count.textContent=shown===counted.length?counted.length:shown+' of '+counted.length;}"
    "document.querySelectorAll('select,input').forEach(e=>e.addEventListener('change',apply));";

std::string cardHtml(const Report& r, const Find& f, int32_t every, const std::string& thumbnail, const std::string& full,
                     bool tooLarge)
{
    std::string html = formatted("<div class=\"card\" id=\"f%" PRId64 "\" data-offset=\"%" PRId64 "\" data-score=\"%.3f\" "
                                 "data-layout=\"%d\">\n",
                                 f.offset, f.offset, static_cast<double>(f.score), f.layout);
    html += formatted("<img class=\"thumb\" alt=\"find at %" PRId64 "\" width=\"%d\" height=\"%d\" %s=\"data:image/png;base64,",
                      f.offset, scaledSide(f.width, every), scaledSide(f.height, every),
                      r.cards % kReportCardsAPage < kReportCardsDrawnAtOnce ? "src" : "data-src");
    html += thumbnail + "\">\n";
    html += formatted("<div class=\"facts\"><b>%" PRId64 "</b> <span class=\"hex\">0x%" PRIx64 "</span><br>%" PRId64
                      " bytes, %s<br>%d x %d, stride %" PRId64 "<br>score <span class=\"score\">%.2f</span></div>\n",
                      f.offset, static_cast<uint64_t>(f.offset), f.bytes, layoutName(f.layout), f.width, f.height,
                      f.stride, static_cast<double>(f.score));
    html += "<pre class=\"viewer\">" + escaped(viewerLines(f)) + "</pre>\n";
    if (!full.empty()) {
        html += formatted("<details><summary>full size</summary><img class=\"full\" alt=\"\" width=\"%d\" height=\"%d\" "
                          "data-src=\"data:image/png;base64,",
                          f.width, f.height);
        html += full + "\"></details>\n";
    } else if (every > 1) {
        html += tooLarge ? "<p class=\"note\">larger than the report holds (1 Mi pixels); to draw it: <code>"
                         : "<p class=\"note\">not held in full, as the report's full pictures reached 96 MiB; to draw it: <code>";
        html += escaped(pictureCommand(f, r.scannedName)) + "</code></p>\n";
    }
    return html + "</div>\n";
}

// The name of the report's page number (from 1) `page`: FILE.html, then FILE-2.html on.
std::string pageName(const std::string& path, int64_t page)
{
    if (page == 1)
        return path;
    const bool html = path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0;
    return (html ? path.substr(0, path.size() - 5) : path) + "-" + std::to_string(page) + ".html";
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file name as a relative link: bytes other than letters, digits and ._~- percent-encoded.
std::string linkTo(const std::string& name)
{
    std::string out;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("._~-", c))
            out += c;
        else
            out += formatted("%%%02X", static_cast<unsigned char>(c));
    }
    return out;
}

// A new file beside f's name, never one that exists, and never the scanned file.
bool createTemporary(ReportFile* f, const FileIdentity& scanned, std::string* error)
{
    const size_t slash = f->name.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : f->name.substr(0, slash + 1);
    f->fd = kNoFile;
    for (int attempt = 0; attempt < 100 && f->fd == kNoFile; ++attempt) {
        f->temporary = folder + "." + baseName(f->name) + ".part" + std::to_string(attempt);
        f->fd = createNewFile(f->temporary.c_str());
        if (f->fd == kNoFile && errno != EEXIST)
            break;
    }
    if (f->fd == kNoFile) {
        *error = f->name + ": " + std::strerror(errno ? errno : EEXIST);
        f->temporary.clear();
        return false;
    }
    if (!identifyOpenFile(f->fd, &f->identity) || sameFile(f->identity, scanned)) {
        *error = f->temporary + ": is the scanned file, not written";
        closeFile(f->fd);
        f->fd = kNoFile;
        f->temporary.clear();
        return false;
    }
    return true;
}

// Closes f, with r->error set when its last bytes did not reach it.
void closePart(Report* r, ReportFile* f)
{
    if (f->fd == kNoFile)
        return;
    flush(r, f);
    if (!closeFile(f->fd) && r->error == 0)
        r->error = errno ? errno : EIO;
    f->fd = kNoFile;
    // Pages written keep no memory.
    std::string().swap(f->buffer);
}

void removePart(ReportFile* f)
{
    if (f->fd != kNoFile)
        closeFile(f->fd);
    f->fd = kNoFile;
    if (!f->temporary.empty())
        removeWrittenFile(f->temporary.c_str(), f->identity);
    f->temporary.clear();
}

std::string pageHead(const Report& r, const std::string& navigation)
{
    std::string head = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>tessvane-find: " +
                       escaped(r.scannedName) + "</title>\n<style>" + kStyle + "</style></head><body>\n<header>\n" +
                       "<h1>Pictures in " + escaped(r.scannedName) + "</h1>\n" + navigation + "</header>\n";
    head += "<form>sort by <select id=\"sort\"><option value=\"offset\">offset</option>"
            "<option value=\"score\">score</option></select> &nbsp; layouts: ";
    for (int32_t l = 0; l < kLayoutCount; ++l)
        head += formatted("<label><input type=\"checkbox\" id=\"layout%d\" checked> %s</label>", l, layoutName(l));
    return head + "</form>\n<div id=\"cards\">\n";
}

// Ends the card page open, if any, with its own count and script.
void endCardPage(Report* r)
{
    if (r->cardPages.empty() || r->cardPages.back().fd == kNoFile)
        return;
    ReportFile* f = &r->cardPages.back();
    const int64_t cards = r->cards - kReportCardsAPage * static_cast<int64_t>(r->cardPages.size());
    put(r, f, formatted("</div>\n<div id=\"summary\"><p><span id=\"count\">%" PRId64 "</span> find%s on this page</p></div>\n",
                        cards, cards == 1 ? "" : "s"));
    put(r, f, std::string("<script>") + kScript + "</script>\n</body></html>\n");
    closePart(r, f);
}

// The rows written so far, into the first page.
void copyRows(Report* r)
{
    closePart(r, &r->rows);
    const int fd = r->error == 0 ? openForRead(r->rows.temporary.c_str(), false) : kNoFile;
    if (fd == kNoFile) {
        if (r->error == 0)
            r->error = errno ? errno : EIO;
        return;
    }
    std::string piece(kReportWriteBytes, '\0');
    for (int64_t at = 0;;) {
        const int64_t got = readAt(fd, at, piece.data(), piece.size());
        if (got <= 0) {
            if (got < 0 && r->error == 0)
                r->error = errno ? errno : EIO;
            break;
        }
        put(r, &r->page, piece.substr(0, static_cast<size_t>(got)));
        at += got;
    }
    closeFile(fd);
}

}  // namespace

std::string pictureCommand(const Find& f, const std::string& scannedPath)
{
    static const char* const kOrders[] = {"", ",rgb", ",bgr", ",high-nibble"};
    return formatted("tessvane-find --extract DIR --picture %" PRId64 ",%d,%d,%d,%" PRId64 "%s%s ", f.offset, f.layout,
                     f.width, f.height, f.stride, f.bottomUp ? ",up" : "", kOrders[f.order]) +
           shellWord(scannedPath);
}

bool beginReport(Report* r, const std::string& path, const std::string& scannedName, const FileIdentity& scanned,
                 std::string* error)
{
    *r = {scannedName, scanned, {path, {}, {}, kNoFile, {}}, {path + ".rows", {}, {}, kNoFile, {}}, {}, 0, 0, 0};
    if (nameTaken(path)) {
        *error = path + ": already exists, not replaced";
        return false;
    }
    if (!createTemporary(&r->page, scanned, error) || !createTemporary(&r->rows, scanned, error)) {
        removePart(&r->page);
        return false;
    }
    put(r, &r->page, pageHead(*r, ""));
    return true;
}

bool addReportCard(Report* r, int fd, const Find& f)
{
    const int32_t every = std::max(1, (std::max(f.width, f.height) + kThumbnailSide - 1) / kThumbnailSide);
    std::string png, thumbnail, full;
    if (!drawPng(fd, f, every, &png))
        return false;
    appendBase64(png, &thumbnail);
    // A thumbnail drawn at every pixel is the full picture already.
    const bool tooLarge = int64_t{f.width} * f.height > kReportFullPixels;
    if (every > 1 && !tooLarge && r->fullBytes < kReportFullBudget) {
        png.clear();
        if (!drawPng(fd, f, 1, &png))
            return false;
        appendBase64(png, &full);
        r->fullBytes += static_cast<int64_t>(full.size());
    }
    const int64_t page = r->cards / kReportCardsAPage + 1;
    ReportFile* into = &r->page;
    if (page > 1) {
        if (r->cards % kReportCardsAPage == 0) {
            endCardPage(r);
            std::string error;
            r->cardPages.push_back({pageName(r->page.name, page), {}, {}, kNoFile, {}});
            if (!createTemporary(&r->cardPages.back(), r->scanned, &error)) {
                if (r->error == 0)
                    r->error = errno ? errno : EIO;
                return false;
            }
            put(r, &r->cardPages.back(),
                pageHead(*r, formatted("<p>page %" PRId64 ": finds %" PRId64 " on; <a href=\"", page, r->cards + 1) +
                                 linkTo(baseName(r->page.name)) + "\">every find</a></p>\n"));
        }
        into = &r->cardPages.back();
        if (into->fd == kNoFile)
            return false;
    }
    put(r, into, cardHtml(*r, f, every, thumbnail, full, tooLarge));
    const std::string link = (page > 1 ? linkTo(baseName(into->name)) : "") + formatted("#f%" PRId64, f.offset);
    put(r, &r->rows,
        formatted("<tr data-offset=\"%" PRId64 "\" data-score=\"%.3f\" data-layout=\"%d\"><td><a href=\"", f.offset,
                  static_cast<double>(f.score), f.layout) +
            link +
            formatted("\">%" PRId64 "</a></td><td>0x%" PRIx64 "</td><td>%" PRId64 "</td><td>%s</td><td>%d x %d</td><td>%" PRId64
                      "</td><td>%.2f</td></tr>\n",
                      f.offset, static_cast<uint64_t>(f.offset), f.bytes, layoutName(f.layout), f.width, f.height, f.stride,
                      static_cast<double>(f.score)));
    ++r->cards;
    return true;
}

bool endReport(Report* r, const ReportSummary& s, std::string* error)
{
    endCardPage(r);
    put(r, &r->page, "</div>\n");
    if (!r->cardPages.empty()) {
        put(r, &r->page,
            formatted("<h2>Every find</h2>\n<p>The cards of finds %" PRId64 " on are on the pages after this one, "
                      "%" PRId64 " a page.</p>\n",
                      kReportCardsAPage + 1, kReportCardsAPage) +
                // Out of view the long table is not laid out, neither as the page is read nor after.
                formatted("<div class=\"finds\" style=\"contain-intrinsic-size:auto 700px auto %" PRId64 "px\">", 24 * r->cards) +
                "<table id=\"finds\"><thead><tr><th>offset</th><th>hex</th><th>bytes</th><th>layout</th><th>size</th>"
                "<th>stride</th><th>score</th></tr></thead><tbody>\n");
        copyRows(r);
        put(r, &r->page, "</tbody></table></div>\n");
    }
    put(r, &r->page, "<div id=\"summary\">\n");
    put(r, &r->page, formatted("<p>%" PRId64 " bytes; bytes %" PRId64 " to %" PRId64 " scanned%s</p>\n", s.size, s.from, s.to,
                               s.interrupted ? " (interrupted)" : ""));
    put(r, &r->page, "<p>scanned " + escaped(s.date) +
                         formatted(" in %.2f s; <span id=\"count\">%" PRId64 "</span> find%s%s</p>\n</div>\n", s.seconds,
                                   r->cards, r->cards == 1 ? "" : "s",
                                   r->cardPages.empty() ? "" : (" on " + std::to_string(r->cardPages.size() + 1) + " pages").c_str()));
    put(r, &r->page, std::string("<script>") + kScript + "</script>\n</body></html>\n");
    closePart(r, &r->page);
    removePart(&r->rows);
    int failure = r->error;
    // The pages after the first take their names first: the first page links to them.
    std::vector<ReportFile*> parts;
    for (ReportFile& f : r->cardPages)
        parts.push_back(&f);
    parts.push_back(&r->page);
    size_t named = 0;
    std::string failed = r->page.name;
    for (; failure == 0 && named < parts.size(); ++named)
        if (!takeName(parts[named]->temporary, parts[named]->name)) {
            failure = errno ? errno : EIO;
            failed = parts[named]->name;
            break;
        }
    if (failure != 0) {
        for (size_t k = 0; k < named; ++k)
            removeWrittenFile(parts[k]->name.c_str(), parts[k]->identity);
        abandonReport(r);
        *error = failed + ": " + (failure == EEXIST ? std::string("already exists, not replaced") : std::strerror(failure));
        return false;
    }
    for (ReportFile* f : parts)
        f->temporary.clear();
    return true;
}

void abandonReport(Report* r)
{
    removePart(&r->page);
    removePart(&r->rows);
    for (ReportFile& f : r->cardPages)
        removePart(&f);
}
