// tessvane-find run as a user runs it (found through TESSVANE_FIND), and the PNG files it writes
// read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

// The program under test.
std::string finder();

// Runs the finder with args in a shell; `before` runs first in the same shell (a resource limit),
// and stdout goes where `stdoutTo` says, to a file read back when empty.
ProgramRun runFinder(const std::string& args, const std::string& before = "", const std::string& stdoutTo = "");

// A file's bytes; empty when it cannot be read.
std::string fileText(const std::string& path);

// An 8-bit truecolour PNG as tessvane-find writes it (any filter), as R, G, B rows; false when
// it is not one.
bool readPng(const std::string& bytes, int32_t* width, int32_t* height, std::vector<uint8_t>* rgb);
