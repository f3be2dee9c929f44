#include "app/raw_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// A single read or write call moves at most this much, which fits the int count of the Windows CRT.
constexpr size_t kMaxChunk = 1u << 30;

#ifdef _WIN32
using StatRecord = struct _stati64;
static int statOf(int fd, StatRecord* record) { return _fstati64(fd, record); }
#else
using StatRecord = struct stat;
static int statOf(int fd, StatRecord* record) { return fstat(fd, record); }
#endif

int openForRead(const char* path, bool textMode)
{
#ifdef _WIN32
    int fd = _open(path, _O_RDONLY | (textMode ? _O_TEXT : _O_BINARY));
#else
    (void)textMode;
    int fd = open(path, O_RDONLY);
#endif
    if (fd < 0)
        return kNoFile;
    StatRecord record;
    if (statOf(fd, &record) != 0 || (record.st_mode & S_IFMT) == S_IFDIR) {
        closeFile(fd);
        return kNoFile;
    }
    return fd;
}

int createForWrite(const char* path)
{
#ifdef _WIN32
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
#endif
    return fd < 0 ? kNoFile : fd;
}

int64_t fileLength(int fd)
{
    StatRecord record;
    if (statOf(fd, &record) != 0)
        return -1;
    return static_cast<int64_t>(record.st_size);
}

bool seekTo(int fd, int64_t offset)
{
#ifdef _WIN32
    return _lseeki64(fd, offset, SEEK_SET) == offset;
#else
    return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
#endif
}

static int64_t readChunk(int fd, void* buffer, size_t size)
{
    size_t chunk = size < kMaxChunk ? size : kMaxChunk;
#ifdef _WIN32
    return _read(fd, buffer, static_cast<unsigned>(chunk));
#else
    ssize_t got;
    do {
        got = read(fd, buffer, chunk);
    } while (got < 0 && errno == EINTR);
    return got;
#endif
}

int64_t readOnce(int fd, void* buffer, size_t size)
{
    if (size == 0)
        return 0;
    return readChunk(fd, buffer, size);
}

int64_t readFully(int fd, void* buffer, size_t size)
{
    size_t total = 0;
    while (total < size) {
        int64_t got = readChunk(fd, static_cast<char*>(buffer) + total, size - total);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(total);
}

bool writeFully(int fd, const void* data, size_t size)
{
    size_t total = 0;
    while (total < size) {
        size_t chunk = size - total < kMaxChunk ? size - total : kMaxChunk;
        const char* from = static_cast<const char*>(data) + total;
#ifdef _WIN32
        int wrote = _write(fd, from, static_cast<unsigned>(chunk));
#else
        ssize_t wrote;
        do {
            wrote = write(fd, from, chunk);
        } while (wrote < 0 && errno == EINTR);
#endif
        if (wrote <= 0)
            return false;
        total += static_cast<size_t>(wrote);
    }
    return true;
}

bool closeFile(int fd)
{
#ifdef _WIN32
    return _close(fd) == 0;
#else
    return close(fd) == 0;
#endif
}

bool removeFile(const char* path)
{
    return std::remove(path) == 0;
}
