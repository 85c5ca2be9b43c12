#include "FileReader.h"

#include "posix/Reads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qb::audio {

namespace {

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

std::unique_ptr<FileReader> FileReader::open(const std::string& path, OpenError* error, std::string* message)
{
    // O_NONBLOCK so that opening a FIFO cannot hang; it is cleared again for a regular file.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info
    {
    };
    if (!fd) {
        *error = OpenError::FileNotFound;
        *message = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = OpenError::FileNotFound;
        *message = path + ": not a regular file";
        return nullptr;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return std::unique_ptr<FileReader>(new FileReader(std::move(fd), path, info));
}

FileReader::FileReader(posix::UniqueFd fd, std::string path, const struct stat& opened)
    : m_fd(std::move(fd)), m_path(std::move(path)), m_opened(opened)
{
}

bool FileReader::stillAsOpened()
{
    if (m_changed)
        return false;
    struct stat now
    {
    };
    struct stat named
    {
    };
    // A file deleted while it plays is still whole (its descriptor keeps it), and plays on; another
    // file at its path is one that replaced it.
    const bool replaced = ::stat(m_path.c_str(), &named) == 0 &&
                          (named.st_dev != m_opened.st_dev || named.st_ino != m_opened.st_ino);
    const bool same = ::fstat(m_fd.get(), &now) == 0 && now.st_size == m_opened.st_size &&
                      sameTime(now.st_mtim, m_opened.st_mtim) && !replaced;
    m_changed = !same;
    return same;
}

std::int64_t FileReader::readAt(std::uint64_t offset, void* out, std::size_t bytes)
{
    if (!stillAsOpened()) {
        errno = ESTALE;
        return -1;
    }
    const std::int64_t got = posix::readAt(m_fd.get(), out, bytes, offset);
    // Looked at again after the read: a write marks the file modified before it changes its bytes, so
    // bytes of a write that raced this read are caught here.
    if (got > 0 && !stillAsOpened()) {
        errno = ESTALE;
        return -1;
    }
    return got;
}

bool FileReader::readWhole(std::vector<unsigned char>& out, std::size_t limit, std::string* why)
{
    if (size() > static_cast<std::int64_t>(limit)) {
        *why = "larger than " + std::to_string(limit >> 20) + " MiB";
        return false;
    }
    out.resize(static_cast<std::size_t>(size()));
    for (std::size_t done = 0; done < out.size();) {
        const std::int64_t got = readAt(done, out.data() + done, out.size() - done);
        if (got <= 0) {
            *why = "a read failed";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::int64_t FileReader::read(void* out, std::size_t bytes)
{
    // As many bytes as asked for, short only at the end of the file: some libraries (libsndfile's
    // virtual reads) take a short count for the end.
    auto* to = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < bytes) {
        const std::int64_t got = readSome(to + done, bytes - done);
        if (got < 0)
            return done > 0 ? static_cast<std::int64_t>(done) : -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t FileReader::readSome(unsigned char* out, std::size_t bytes)
{
    const std::int64_t at = m_offset;
    if (at < m_bufferAt || at >= m_bufferAt + static_cast<std::int64_t>(m_filled)) {
        if (bytes >= m_buffer.size()) {
            const std::int64_t got = readAt(static_cast<std::uint64_t>(at), out, bytes);
            if (got > 0)
                m_offset += got;
            return got;
        }
        const std::int64_t got = readAt(static_cast<std::uint64_t>(at), m_buffer.data(), m_buffer.size());
        if (got <= 0)
            return got;
        m_bufferAt = at;
        m_filled = static_cast<std::size_t>(got);
    }
    const auto from = static_cast<std::size_t>(at - m_bufferAt);
    const std::size_t n = std::min(bytes, m_filled - from);
    std::copy_n(m_buffer.data() + from, n, out);
    m_offset += static_cast<std::int64_t>(n);
    return static_cast<std::int64_t>(n);
}

std::int64_t FileReader::seek(std::int64_t offset, int whence)
{
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = m_offset;
    } else if (whence == SEEK_END) {
        base = size();
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    m_offset = base + offset;
    return m_offset;
}

} // namespace qb::audio
