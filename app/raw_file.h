// Thin wrappers over the C library's low-level file calls, 64-bit on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kNoFile = -1;

// Opens an existing regular file read-only; kNoFile for a missing file or a directory.
// Text mode only matters on Windows, where it folds CR LF into LF.
int openForRead(const char* path, bool textMode);

// Creates or truncates an ordinary writable file, binary.
int createForWrite(const char* path);

// Length in bytes, or -1 when it cannot be taken.
int64_t fileLength(int fd);

bool seekTo(int fd, int64_t offset);

// One read call; returns the bytes delivered, or -1 on error.
int64_t readOnce(int fd, void* buffer, size_t size);

// Reads until size bytes arrived or the file ends; returns the bytes delivered, or -1 on error.
int64_t readFully(int fd, void* buffer, size_t size);

// Writes every byte, retrying partial writes; false if the file took fewer.
bool writeFully(int fd, const void* data, size_t size);

bool closeFile(int fd);

bool removeFile(const char* path);
