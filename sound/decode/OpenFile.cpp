#include "OpenFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qb::audio {

OpenedFile openRegularFile(const std::string& path)
{
    OpenedFile result;
    // O_NONBLOCK so that opening a FIFO cannot hang; it is cleared again for a regular file.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        result.error = OpenError::FileNotFound;
        result.message = path + ": " + std::strerror(errno);
        return result;
    }
    struct stat info
    {
    };
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result.error = OpenError::FileNotFound;
        result.message = path + ": not a regular file";
        return result;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    result.fd = std::move(fd);
    return result;
}

} // namespace qb::audio
