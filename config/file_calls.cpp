#include "config/file_calls.h"

#include <fcntl.h>
#include <unistd.h>

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

int FileCalls::Unlink(const char* path)
{
    return ::unlink(path);
}

FileCalls& RealFileCalls()
{
    static FileCalls real;
    return real;
}
