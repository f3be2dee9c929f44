#include "common/raw_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#include <winioctl.h>
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
    // Without O_NONBLOCK a FIFO would hold the open until some writer came along.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

int createNewFile(const char* path)
{
#ifdef _WIN32
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
    return fd < 0 ? kNoFile : fd;
}

int openExistingForWrite(const char* path)
{
#ifdef _WIN32
    int fd = _open(path, _O_WRONLY | _O_BINARY);
#else
    // O_NONBLOCK: a FIFO without a reader refuses at once instead of waiting for one.
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
#endif
    return fd < 0 ? kNoFile : fd;
}

bool truncateOpenFile(int fd)
{
    FileIdentity identity;
    if (!identifyOpenFile(fd, &identity))
        return false;
    if (!identity.regular)
        return true;
#ifdef _WIN32
    return _chsize_s(fd, 0) == 0;
#else
    return ftruncate(fd, 0) == 0;
#endif
}

#ifdef _WIN32
static bool identifyHandle(HANDLE handle, FileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity->regular = GetFileType(handle) == FILE_TYPE_DISK &&
                        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    return true;
}

// No access rights are asked for, so a file that another program holds open is still identified.
static HANDLE openHandle(const char* path, DWORD flags)
{
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool identifyPath(const char* path, FileIdentity* identity)
{
    HANDLE handle = openHandle(path, 0);
    bool known = identifyHandle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known;
}

bool identifyOpenFile(int fd, FileIdentity* identity)
{
    return identifyHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), identity);
}

bool removeWrittenFile(const char* path, const FileIdentity& identity)
{
    // FILE_FLAG_OPEN_REPARSE_POINT looks at a link itself rather than at what it points to.
    HANDLE handle = openHandle(path, FILE_FLAG_OPEN_REPARSE_POINT);
    FileIdentity named;
    bool same = identifyHandle(handle, &named) && named.regular && sameFile(named, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return same && removeFile(path);
}
#else
static void identityOf(const struct stat& record, FileIdentity* identity)
{
    identity->volume = static_cast<uint64_t>(record.st_dev);
    identity->index = static_cast<uint64_t>(record.st_ino);
    identity->regular = S_ISREG(record.st_mode);
}

bool identifyPath(const char* path, FileIdentity* identity)
{
    struct stat record;
    if (stat(path, &record) != 0)
        return false;
    identityOf(record, identity);
    return true;
}

bool identifyOpenFile(int fd, FileIdentity* identity)
{
    struct stat record;
    if (fstat(fd, &record) != 0)
        return false;
    identityOf(record, identity);
    return true;
}

bool removeWrittenFile(const char* path, const FileIdentity& identity)
{
    struct stat record;
    if (lstat(path, &record) != 0 || !S_ISREG(record.st_mode))
        return false;
    FileIdentity named;
    identityOf(record, &named);
    return sameFile(named, identity) && removeFile(path);
}
#endif

bool isNullDevice(const char* path, const FileIdentity& identity)
{
#ifdef _WIN32
    (void)identity;
    return _stricmp(path, "NUL") == 0;
#else
    (void)path;
    FileIdentity null;
    return identifyPath("/dev/null", &null) && sameFile(null, identity);
#endif
}

bool sameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

int64_t fileLength(int fd)
{
    StatRecord record;
    if (statOf(fd, &record) != 0)
        return -1;
#ifdef _WIN32
    // A volume or a physical disk opened by name is no ordinary file: ask the device.
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if ((record.st_mode & S_IFMT) != S_IFREG && GetFileType(handle) == FILE_TYPE_DISK) {
        GET_LENGTH_INFORMATION length;
        DWORD got = 0;
        if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got, nullptr))
            return static_cast<int64_t>(length.Length.QuadPart);
    }
#else
    // A block device reports no size of its own; its end does.
    if (S_ISBLK(record.st_mode)) {
        const off_t here = lseek(fd, 0, SEEK_CUR);
        const off_t end = lseek(fd, 0, SEEK_END);
        if (here < 0 || end < 0 || lseek(fd, here, SEEK_SET) != here)
            return -1;
        return static_cast<int64_t>(end);
    }
#endif
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

int64_t readAt(int fd, int64_t offset, void* buffer, size_t size)
{
    size_t total = 0;
    while (total < size) {
        size_t chunk = size - total < kMaxChunk ? size - total : kMaxChunk;
        char* to = static_cast<char*>(buffer) + total;
        int64_t at = offset + static_cast<int64_t>(total);
#ifdef _WIN32
        // An explicit position in OVERLAPPED reads there even on a handle opened for plain reads.
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
        where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), to, static_cast<DWORD>(chunk), &got, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            errno = EIO;
            return -1;
        }
#else
        ssize_t got;
        do {
            got = pread(fd, to, chunk, static_cast<off_t>(at));
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            return -1;
#endif
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
