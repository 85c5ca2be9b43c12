#include "posix/Reads.h"

#include <cerrno>
#include <unistd.h>

namespace qb::posix {

namespace {
thread_local const std::atomic<bool>* t_cancel = nullptr;
} // namespace

CancelReads::CancelReads(const std::atomic<bool>& flag) : m_outer(t_cancel)
{
    t_cancel = &flag;
}

CancelReads::~CancelReads()
{
    t_cancel = m_outer;
}

bool readsCancelled()
{
    return t_cancel != nullptr && t_cancel->load(std::memory_order_relaxed);
}

ssize_t readAt(int fd, void* out, std::size_t bytes, std::uint64_t offset)
{
    for (;;) {
        if (readsCancelled()) {
            errno = ECANCELED;
            return -1;
        }
        const ssize_t got = ::pread(fd, out, bytes, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool readFully(int fd, std::uint64_t offset, void* out, std::size_t bytes)
{
    auto* to = static_cast<char*>(out);
    while (bytes > 0) {
        const ssize_t got = readAt(fd, to, bytes, offset);
        if (got <= 0)
            return false;
        to += got;
        offset += static_cast<std::uint64_t>(got);
        bytes -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace qb::posix
