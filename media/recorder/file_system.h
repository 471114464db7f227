// The recorder's file calls, behind one small interface so that tests can
// make the disk full, failing or slow without a real disk doing so.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace recorder {

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Each returns 0 (or a descriptor, or a count) on success and -errno on failure.
    virtual int Create(const std::string& path);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Sync(int fd);
    virtual int Duplicate(int fd);
    virtual int Close(int fd);
    virtual int Remove(const std::string& path);
    virtual int Truncate(const std::string& path, int64_t size);
    virtual int MakeDirectory(const std::string& path);
    // Bytes an unprivileged writer may still use on the filesystem holding `path`, or -errno.
    virtual int64_t FreeBytes(const std::string& path);
};

// The process's real files.
FileSystem& RealFiles();

} // namespace recorder
