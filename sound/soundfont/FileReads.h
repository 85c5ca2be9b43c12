#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

// Reads `bytes` bytes at `offset` of `fd`, however many calls that takes; false when the file ends
// first or a read fails.
inline bool readFully(int fd, std::uint64_t offset, void* out, std::size_t bytes)
{
    auto* to = static_cast<char*>(out);
    while (bytes > 0) {
        const ssize_t got = ::pread(fd, to, bytes, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        to += got;
        offset += static_cast<std::uint64_t>(got);
        bytes -= static_cast<std::size_t>(got);
    }
    return true;
}

// The size of the file open as `fd`; 0 when it cannot be told.
inline std::uint64_t fileSize(int fd)
{
    struct stat st
    {
    };
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

} // namespace qb::audio
