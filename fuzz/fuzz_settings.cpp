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

static void removePrivateDirectory()
{
    std::string file = std::string(privateDir) + "/" + kSettingsFileName;
    std::remove(file.c_str());
    rmdir(privateDir);
}

// The reader looks in the working directory, but libFuzzer keeps relative corpus paths, so the
// private directory is entered only around each read.
static void readInPrivateDirectory(const uint8_t* data, size_t size)
{
    if (startDir < 0) {
        startDir = open(".", O_RDONLY);
        if (startDir < 0 || !mkdtemp(privateDir))
            std::abort();
        std::atexit(removePrivateDirectory);
    }
    if (chdir(privateDir) != 0)
        std::abort();
    FILE* file = std::fopen(kSettingsFileName, "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
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
