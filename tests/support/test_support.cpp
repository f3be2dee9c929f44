#include "tests/support/test_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "common/raw_file.h"

bool enterScratchDir(ScratchDir* scratch, const char* prefix)
{
    std::error_code error;
    scratch->savedDir = std::filesystem::current_path(error).string();
    if (error)
        return false;
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return false;
    scratch->path = pattern;
    std::filesystem::current_path(scratch->path, error);
    return !error;
}

bool leaveScratchDir(ScratchDir* scratch)
{
    std::error_code error;
    std::filesystem::current_path(scratch->savedDir, error);
    bool back = !error;
    std::filesystem::remove_all(scratch->path, error);
    return back && !error;
}

std::vector<uint8_t> randomTestBytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

bool writeTestFile(const char* path, const void* data, size_t size)
{
    int fd = createForWrite(path);
    if (fd == kNoFile)
        return false;
    bool written = writeFully(fd, data, size);
    return closeFile(fd) && written;
}

PageImage* makeTestPage(int32_t texWidth, int32_t texHeight,
                        uint8_t (*texel)(int32_t x, int32_t y, int channel))
{
    PageImage* page = allocatePage(texWidth, texHeight);
    if (!page || !texel)
        return page;
    uint8_t* p = page->pixels;
    for (int32_t y = 0; y < texHeight; ++y)
        for (int32_t x = 0; x < texWidth; ++x)
            for (int channel = 0; channel < 4; ++channel)
                *p++ = texel(x, y, channel);
    return page;
}

pid_t startPrivateX(int width, int height)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        std::string fd = std::to_string(ready[1]);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen",
               "0", screen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    std::string number;
    char c;
    while (read(ready[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(ready[0]);
    if (pid < 0 || number.empty())
        return -1;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

void stopPrivateX(pid_t server)
{
    if (server <= 0)
        return;
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}

std::string attachLoopDevice(const char* path)
{
    const std::string command = "losetup -f --show '" + std::string(path) + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "";
    char line[256] = "";
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    std::string device = got ? line : "";
    while (!device.empty() && (device.back() == '\n' || device.back() == '\r'))
        device.pop_back();
    return device.rfind("/dev/", 0) == 0 ? device : "";
}

void detachLoopDevice(const std::string& device)
{
    if (!device.empty())
        std::system(("losetup -d '" + device + "' 2>/dev/null").c_str());
}

namespace {

std::string readBack(int fd)
{
    std::string text;
    char buffer[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

}  // namespace

ChildRun runChild(const std::vector<std::string>& args, int interruptAtLines)
{
    char outName[] = "/tmp/child-out-XXXXXX", errName[] = "/tmp/child-err-XXXXXX";
    const int out = mkstemp(outName), err = mkstemp(errName);
    if (out < 0 || err < 0)
        return {-1, "", ""};
    unlink(outName);
    unlink(errName);
    const pid_t pid = fork();
    if (pid == 0) {
        const int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    if (pid > 0) {
        bool reaped = false;
        while (interruptAtLines > 0 && !(reaped = waitpid(pid, &raw, WNOHANG) == pid)) {
            char buffer[65536];
            int lines = 0;
            for (ssize_t n, at = 0; (n = pread(out, buffer, sizeof buffer, at)) > 0; at += n)
                for (ssize_t k = 0; k < n; ++k)
                    lines += buffer[k] == '\n';
            if (lines >= interruptAtLines) {
                kill(pid, SIGINT);
                interruptAtLines = 0;
            }
            usleep(5000);
        }
        if (!reaped)
            waitpid(pid, &raw, 0);
    }
    return {pid > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readBack(out), readBack(err)};
}
