// A file held in memory but reachable by path, for code under test that opens files by name.
// Each input rewrites it in place, so a run costs no disk traffic.
#pragma once

#include <cstddef>
#include <cstdint>

struct MemoryFile {
    int fd;
    char path[32];  // /proc/self/fd/N
};

bool openMemoryFile(MemoryFile* file, const char* name);

// Makes the file's contents exactly size bytes of data.
bool fillMemoryFile(const MemoryFile* file, const uint8_t* data, size_t size);
