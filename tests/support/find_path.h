// Scans a file by its name, collecting the finds: the tests' and benchmarks' way into findInFile.
#pragma once

#include <vector>

#include "common/raw_file.h"
#include "find/find.h"

inline bool findInPath(const char* path, const FindOptions& options, void (*progress)(void*, int64_t, int64_t),
                       void* progressUser, std::vector<Find>* finds, ScanResult* result, char* error,
                       size_t errorSize)
{
    int fd = openForRead(path, false);
    if (fd == kNoFile)
        return false;
    struct Sink {
        std::vector<Find>* finds;
        void (*progress)(void*, int64_t, int64_t);
        void* user;
    } sink = {finds, progress, progressUser};
    FindCallbacks callbacks = {[](void* user, const Find& f) {
                                   static_cast<Sink*>(user)->finds->push_back(f);
                                   return true;
                               },
                               nullptr, &sink, nullptr};
    if (progress)
        callbacks.onProgress = [](void* user, int64_t done, int64_t total) {
            Sink* s = static_cast<Sink*>(user);
            s->progress(s->user, done, total);
        };
    bool ok = findInFile(fd, options, callbacks, result, error, errorSize);
    closeFile(fd);
    return ok;
}
