#include "fuzz/memory_file.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

bool openMemoryFile(MemoryFile* file, const char* name)
{
    file->fd = memfd_create(name, 0);
    if (file->fd < 0)
        return false;
    std::snprintf(file->path, sizeof file->path, "/proc/self/fd/%d", file->fd);
    return true;
}

bool fillMemoryFile(const MemoryFile* file, const uint8_t* data, size_t size)
{
    if (ftruncate(file->fd, static_cast<off_t>(size)) != 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t wrote = pwrite(file->fd, data + done, size - done, static_cast<off_t>(done));
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}
