// Arbitrary bytes as settings text: the lookups must stay inside their buffers, and the whole
// reader must survive any file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "app/settings.h"
#include "app/viewer_state.h"
#include "fuzz/memory_file.h"

static void checkLookups(const char* text)
{
    static const char* const kKeys[] = {"infile", "vidmode", "showoffset",
                                        "width",  "height",  "outpath"};
    for (const char* key : kKeys) {
        for (size_t capacity : {size_t{8}, size_t{kTextCapacity}}) {
            char value[kTextCapacity + 1];
            value[capacity] = '\x7f';  // guard just past the allowed room
            findSettingValue(text, key, value, capacity);
            if (std::strlen(value) >= capacity || value[capacity] != '\x7f')
                std::abort();
            parseSettingInt(value);
        }
    }
    parseSettingInt(text);
}

static char privateDir[] = "/tmp/tessvane-fuzz-settings-XXXXXX";
static int startDir = -1;
static MemoryFile settingsFile = {-1, ""};

static void removePrivateDirectory()
{
    std::string link = std::string(privateDir) + "/" + kSettingsFileName;
    unlink(link.c_str());
    rmdir(privateDir);
}

// The settings file is a link to a file in memory. The reader looks in the working directory,
// but libFuzzer keeps relative corpus paths, so the private directory is entered only around
// each read.
static void readInPrivateDirectory(const uint8_t* data, size_t size)
{
    if (startDir < 0) {
        startDir = open(".", O_RDONLY);
        if (startDir < 0 || !mkdtemp(privateDir) || !openMemoryFile(&settingsFile, "settings"))
            std::abort();
        std::atexit(removePrivateDirectory);
        std::string link = std::string(privateDir) + "/" + kSettingsFileName;
        if (symlink(settingsFile.path, link.c_str()) != 0)
            std::abort();
    }
    if (!fillMemoryFile(&settingsFile, data, size) || chdir(privateDir) != 0)
        std::abort();
    resetViewerState();
    fillVideoModes();
    bool read = readSettings();
    if (fchdir(startDir) != 0)
        std::abort();
    if (read && (viewer.videoModeIndex < 0 || viewer.videoModeIndex >= viewer.videoModeCount ||
                 !viewer.dataPath[0]))
        std::abort();
    if (std::strlen(viewer.dataPath) > kMaxTextLength ||
        std::strlen(viewer.capturePath) > kMaxTextLength)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    checkLookups(text.c_str());
    readInPrivateDirectory(data, size);
    return 0;
}
