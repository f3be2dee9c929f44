#include "app/settings.h"

#include <cstdlib>
#include <cstring>

#include "common/raw_file.h"
#include "app/viewer_state.h"

void findSettingValue(const char* text, const char* key, char* value, size_t capacity)
{
    if (capacity == 0)
        return;
    value[0] = '\0';
    size_t keyLength = std::strlen(key);
    // The first place where the key is directly followed by =" wins, even inside a longer word.
    const char* start = nullptr;
    const char* at = std::strstr(text, key);
    for (; at; at = *at ? std::strstr(at + 1, key) : nullptr) {
        if (at[keyLength] == '=' && at[keyLength + 1] == '"') {
            start = at + keyLength + 2;
            break;
        }
    }
    if (!start)
        return;
    size_t length = 0;
    while (start[length] != '\0' && start[length] != '"' && length < capacity - 1)
        ++length;
    std::memcpy(value, start, length);
    value[length] = '\0';
}

int32_t parseSettingInt(const char* text)
{
    const char* at = text;
    while (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\v' || *at == '\f' || *at == '\r')
        ++at;
    bool negative = false;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
    }
    // Unsigned arithmetic wraps modulo 2^32 instead of overflowing.
    uint32_t result = 0;
    while (*at >= '0' && *at <= '9') {
        result = result * 10u + static_cast<uint32_t>(*at - '0');
        ++at;
    }
    if (negative)
        result = 0u - result;
    return static_cast<int32_t>(result);
}

// Reads the whole settings file as one zero-terminated text; nullptr on any failure.
static char* loadSettingsText()
{
    int fd = openForRead(kSettingsFileName, true);
    if (fd == kNoFile)
        return nullptr;
    int64_t length = fileLength(fd);
    char* text = nullptr;
    if (length >= 0 && static_cast<uint64_t>(length) < SIZE_MAX)
        text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!text) {
        closeFile(fd);
        return nullptr;
    }
    // Text mode may fold CR LF pairs, so fewer bytes than the length can arrive.
    int64_t got = readFully(fd, text, static_cast<size_t>(length));
    closeFile(fd);
    if (got < 0) {
        std::free(text);
        return nullptr;
    }
    text[got] = '\0';
    return text;
}

static int32_t lookUpInt(const char* text, const char* key, int32_t fallback)
{
    char value[kTextCapacity];
    findSettingValue(text, key, value, sizeof value);
    return value[0] ? parseSettingInt(value) : fallback;
}

bool readSettings()
{
    char* text = loadSettingsText();
    if (!text)
        return false;

    char value[kTextCapacity];
    findSettingValue(text, "infile", value, sizeof value);
    if (!value[0]) {
        std::free(text);
        return false;
    }
    std::memcpy(viewer.dataPath, value, sizeof value);

    findSettingValue(text, "vidmode", value, sizeof value);
    if (!value[0]) {
        std::free(text);
        return false;
    }
    int32_t mode = parseSettingInt(value);
    if (mode >= viewer.videoModeCount)
        mode = viewer.videoModeCount - 1;
    if (mode < 0)
        mode = 0;
    viewer.videoModeIndex = mode;

    viewer.showOffset = lookUpInt(text, "showoffset", 0);
    viewer.pageWidth = lookUpInt(text, "width", 256);
    viewer.pageHeight = lookUpInt(text, "height", 256);
    findSettingValue(text, "outpath", viewer.capturePath, sizeof viewer.capturePath);

    std::free(text);
    return true;
}
