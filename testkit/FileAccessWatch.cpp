#include "testkit/FileAccessWatch.h"

#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace qb::test {

FileAccessWatch::FileAccessWatch(const std::string& path) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    // Closes are watched too, only so that two opens with a close between stay two events.
    if (m_fd >= 0)
        m_watch = ::inotify_add_watch(m_fd, path.c_str(), IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE);
}

FileAccessWatch::~FileAccessWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

FileAccessWatch::Accesses FileAccessWatch::take()
{
    Accesses seen;
    alignas(inotify_event) char buffer[4096];
    ssize_t got = 0;
    while (m_fd >= 0 && (got = ::read(m_fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            seen.opens += (event.mask & IN_OPEN) != 0;
            seen.reads += (event.mask & IN_ACCESS) != 0;
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    return seen;
}

} // namespace qb::test
