#include "file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace recorder {

int FileSystem::Create(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd < 0 ? -errno : fd;
}

ssize_t FileSystem::Write(int fd, const void* data, size_t size)
{
    ssize_t written;
    do
        written = ::write(fd, data, size);
    while (written < 0 && errno == EINTR);
    return written < 0 ? -errno : written;
}

int FileSystem::Sync(int fd)
{
    return ::fdatasync(fd) == 0 ? 0 : -errno;
}

int FileSystem::Duplicate(int fd)
{
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? -errno : copy;
}

int FileSystem::Close(int fd)
{
    return ::close(fd) == 0 ? 0 : -errno;
}

int FileSystem::Remove(const std::string& path)
{
    return ::unlink(path.c_str()) == 0 ? 0 : -errno;
}

int FileSystem::Truncate(const std::string& path, int64_t size)
{
    return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0 ? 0 : -errno;
}

int FileSystem::MakeDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST ? 0 : -errno;
}

int64_t FileSystem::FreeBytes(const std::string& path)
{
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0)
        return -errno;
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

FileSystem& RealFiles()
{
    static FileSystem files;
    return files;
}

} // namespace recorder
