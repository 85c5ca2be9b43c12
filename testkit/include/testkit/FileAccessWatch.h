#pragma once

#include <string>

namespace qb::test {

// Watches one file through inotify and tells which opens and reads of it the kernel saw, from any
// thread of any process, so that a test can see that some work never touched the file. Each read
// call is one event, but the kernel merges a run of reads with nothing between them into one, so
// `reads` says whether the file was read more than how often. Opens are exact. Reading an event
// never waits: it is queued by the time the call that caused it returns.
class FileAccessWatch
{
public:
    struct Accesses
    {
        int opens = 0;
        int reads = 0;
    };

    // Follows a symbolic link to the file it names. valid() is false if the file cannot be watched.
    explicit FileAccessWatch(const std::string& path);
    ~FileAccessWatch();
    FileAccessWatch(const FileAccessWatch&) = delete;
    FileAccessWatch& operator=(const FileAccessWatch&) = delete;

    bool valid() const { return m_fd >= 0 && m_watch >= 0; }
    // What happened to the file since the watch began or since the last call.
    Accesses take();

private:
    int m_fd = -1;
    int m_watch = -1;
};

} // namespace qb::test
