#include "config/file_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int FileCalls::Open(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

ssize_t FileCalls::Read(int fd, void* buffer, size_t size)
{
    return ::read(fd, buffer, size);
}

ssize_t FileCalls::Write(int fd, const void* data, size_t size)
{
    return ::write(fd, data, size);
}

int FileCalls::Fstat(int fd, struct stat* status)
{
    return ::fstat(fd, status);
}

int FileCalls::Lstat(const char* path, struct stat* status)
{
    return ::lstat(path, status);
}

int FileCalls::Fchmod(int fd, mode_t mode)
{
    return ::fchmod(fd, mode);
}

int FileCalls::Fsync(int fd)
{
    return ::fsync(fd);
}

int FileCalls::Close(int fd)
{
    return ::close(fd);
}

int FileCalls::Rename(const char* from, const char* to)
{
    return ::rename(from, to);
}

int FileCalls::RenameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without the flag: check first, with the small race that leaves.
    struct stat status;
    if (::lstat(to, &status) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from, to);
}

int FileCalls::Unlink(const char* path)
{
    return ::unlink(path);
}

FileCalls& RealFileCalls()
{
    static FileCalls real;
    return real;
}
