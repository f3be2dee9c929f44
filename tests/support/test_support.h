// Helpers the Linux tests share: a scratch working directory, files of given bytes, pages made
// the program's own way, and a private X server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <sys/types.h>

#include "page/page.h"

// A fresh temporary directory made the working directory, for code that works relative to it.
struct ScratchDir {
    std::string savedDir;
    std::string path;
};

bool enterScratchDir(ScratchDir* scratch, const char* prefix);

// Back to the saved directory; the scratch directory goes with everything in it.
bool leaveScratchDir(ScratchDir* scratch);

// size bytes of seeded noise, the same for the same seed.
std::vector<uint8_t> randomTestBytes(size_t size, uint32_t seed);

// Creates or replaces the file at path with exactly size bytes of data.
bool writeTestFile(const char* path, const void* data, size_t size);

// A page from allocatePage, each byte set to texel(x, y, channel); left as allocated when
// texel is null. Released with freePage.
PageImage* makeTestPage(int32_t texWidth, int32_t texHeight,
                        uint8_t (*texel)(int32_t x, int32_t y, int channel));

// A loop block device over the file at path (as root, where the system has loop devices), for
// disk images as a user attaches them; "" when none could be had.
std::string attachLoopDevice(const char* path);
void detachLoopDevice(const std::string& device);

// A virtual X server of width x height x 24 that picks a free display number itself; DISPLAY
// names it once it is ready. -1 when it did not start.
pid_t startPrivateX(int width, int height);

void stopPrivateX(pid_t server);

// A program run with args (args[0] its path, no shell between), stdin empty, its stdout and stderr
// read back. With interruptAtLines above 0 it is sent SIGINT once its stdout holds that many
// lines. status is its exit status, or -1 when it did not exit.
struct ChildRun {
    int status;
    std::string out;
    std::string err;
};
ChildRun runChild(const std::vector<std::string>& args, int interruptAtLines = 0);
