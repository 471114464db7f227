// The file calls the XML persistence makes, behind one seam: the real system
// calls by default; tests stand in a model of a file system that fails, stops
// or loses power at a chosen call.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

class FileCalls {
public:
    virtual ~FileCalls() = default;
    // Each returns what the system call of the same name returns and sets errno.
    virtual int Open(const char* path, int flags, mode_t mode);
    virtual ssize_t Read(int fd, void* buffer, size_t size);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Fstat(int fd, struct stat* status);
    virtual int Lstat(const char* path, struct stat* status);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int Fsync(int fd);
    virtual int Close(int fd);
    virtual int Rename(const char* from, const char* to);
    // Rename that fails with EEXIST when `to` exists.
    virtual int RenameNoReplace(const char* from, const char* to);
    virtual int Unlink(const char* path);
};

// The real calls, shared by every caller that passes no seam of its own.
FileCalls& RealFileCalls();
