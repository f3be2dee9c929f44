#include "tests/support/find_program.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <zlib.h>

#include "tests/support/find_samples.h"

std::string finder()
{
    const char* exe = std::getenv("TESSVANE_FIND");
    return exe ? exe : "tessvane-find";
}

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ProgramRun runFinder(const std::string& args, const std::string& before, const std::string& stdoutTo)
{
    const std::string out = scratchPath("out.txt"), err = scratchPath("err.txt");
    const std::string command = "(" + before + (before.empty() ? "" : "; ") + finder() + " " + args + " " +
                                (stdoutTo.empty() ? ">" + out : stdoutTo) + " 2>" + err + " </dev/null)";
    int raw = std::system(("/bin/sh -c \"" + command + "\"").c_str());
    ProgramRun run = {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, fileText(out), fileText(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

namespace {

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

}  // namespace

bool readPng(const std::string& text, int32_t* width, int32_t* height, std::vector<uint8_t>* rgb)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    if (text.size() < 33 || text.compare(1, 3, "PNG") != 0)
        return false;
    std::string deflated;
    for (size_t at = 8; at + 12 <= text.size();) {
        const uint32_t size = be32(p + at);
        const std::string type = text.substr(at + 4, 4);
        if (at + 12 + size > text.size())
            return false;
        if (type == "IHDR") {
            *width = static_cast<int32_t>(be32(p + at + 8));
            *height = static_cast<int32_t>(be32(p + at + 12));
            if (p[at + 16] != 8 || p[at + 17] != 2 || p[at + 20] != 0)
                return false;
        } else if (type == "IDAT") {
            deflated.append(text, at + 8, size);
        }
        at += 12 + size;
    }
    const size_t row = static_cast<size_t>(*width) * 3;
    std::vector<uint8_t> raw((row + 1) * static_cast<size_t>(*height));
    uLongf length = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &length, reinterpret_cast<const Bytef*>(deflated.data()), deflated.size()) != Z_OK ||
        length != raw.size())
        return false;
    rgb->assign(row * static_cast<size_t>(*height), 0);
    for (size_t y = 0; y < static_cast<size_t>(*height); ++y) {
        const uint8_t filter = raw[y * (row + 1)];
        const uint8_t* in = raw.data() + y * (row + 1) + 1;
        uint8_t* out = rgb->data() + y * row;
        const uint8_t* up = y > 0 ? out - row : nullptr;
        for (size_t i = 0; i < row; ++i) {
            const int a = i >= 3 ? out[i - 3] : 0, b = up ? up[i] : 0, c = up && i >= 3 ? up[i - 3] : 0;
            const int predicted = filter == 0 ? 0 : filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : paeth(a, b, c);
            if (filter > 4)
                return false;
            out[i] = static_cast<uint8_t>(in[i] + predicted);
        }
    }
    return true;
}
