#include "OpenFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

OpenedFile openRegularFile(const std::string& path)
{
    OpenedFile result;
    // O_NONBLOCK so that opening a FIFO cannot hang; it is cleared again for a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        result.error = OpenError::FileNotFound;
        result.message = path + ": " + std::strerror(errno);
        return result;
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        result.error = OpenError::FileNotFound;
        result.message = path + ": not a regular file";
        return result;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    result.fd = fd;
    return result;
}

} // namespace qb::audio
