// Thin wrappers over the C library's low-level file calls, 64-bit on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kNoFile = -1;

// Opens an existing file read-only; kNoFile for a missing file or a directory. Never waits for
// a writer: a FIFO or a device opens at once and simply delivers nothing.
// Text mode only matters on Windows, where it folds CR LF into LF.
int openForRead(const char* path, bool textMode);

// Creates or truncates an ordinary writable file, binary.
int createForWrite(const char* path);

// Creates a new ordinary file for writing, binary; kNoFile (errno EEXIST) when the name exists
// in any form, a symbolic link included, dangling or not: nothing there is ever written through.
int createNewFile(const char* path);

// Opens an existing file for writing, keeping what is there, so that the caller can check which
// file it got before anything is lost; kNoFile when there is none. Never waits for a reader.
int openExistingForWrite(const char* path);

// Empties a regular file open for writing; nothing to do (true) for a device or a pipe.
bool truncateOpenFile(int fd);

// Which file a path or an open file is, whatever spelling or link led to it: device and inode
// on POSIX, volume serial number and file index on Windows.
struct FileIdentity {
    uint64_t volume;
    uint64_t index;
    bool regular;
};

// False when there is no such file.
bool identifyPath(const char* path, FileIdentity* identity);

// The system's null device (/dev/null, NUL), which takes any writes and keeps nothing.
bool isNullDevice(const char* path, const FileIdentity& identity);
bool identifyOpenFile(int fd, FileIdentity* identity);
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// Removes path only when it names the regular file identity itself, not a link to it nor a
// device: a failed write through a link must not take the link away.
bool removeWrittenFile(const char* path, const FileIdentity& identity);

// Length in bytes, or -1 when it cannot be taken. A block device (a disk or a disk image) is
// sized by the device.
int64_t fileLength(int fd);

bool seekTo(int fd, int64_t offset);

// One read call; returns the bytes delivered, or -1 on error.
int64_t readOnce(int fd, void* buffer, size_t size);

// Reads until size bytes arrived or the file ends; returns the bytes delivered, or -1 on error.
int64_t readFully(int fd, void* buffer, size_t size);

// As readFully, from offset, without moving the file position: several threads may read one
// open file at once.
int64_t readAt(int fd, int64_t offset, void* buffer, size_t size);

// Writes every byte, retrying partial writes; false if the file took fewer.
bool writeFully(int fd, const void* data, size_t size);

bool closeFile(int fd);

bool removeFile(const char* path);
