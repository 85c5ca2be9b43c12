#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace qb::posix {

// Reads that work given up on can stop. While a CancelReads scope lives on a thread, every readAt() and
// readFully() of that thread fails with ECANCELED once the scope's flag is set: a library that reads a
// file through them stops at its next read and unwinds, so the work ends soon and frees what it holds
// instead of running on. Reads on other threads are never affected.
class CancelReads
{
public:
    // `flag` must outlive the scope; it may be set from any thread.
    explicit CancelReads(const std::atomic<bool>& flag);
    ~CancelReads();
    CancelReads(const CancelReads&) = delete;
    CancelReads& operator=(const CancelReads&) = delete;

private:
    const std::atomic<bool>* m_outer;
};

// True when the calling thread's reads are cancelled.
bool readsCancelled();

// pread(2) of up to `bytes` bytes at `offset`, retried on EINTR: the bytes read (0 at the end of the
// file), or -1 with errno set (ECANCELED once the calling thread's reads are cancelled).
ssize_t readAt(int fd, void* out, std::size_t bytes, std::uint64_t offset);

// Exactly `bytes` bytes at `offset`, however many reads that takes; false when the file ends first, a
// read fails or the thread's reads are cancelled.
bool readFully(int fd, std::uint64_t offset, void* out, std::size_t bytes);

} // namespace qb::posix
