#pragma once

#include "posix/Reads.h"

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

// Reads through posix::readFully, so an open that is given up stops at its next read.
using posix::readFully;

// The size of the file open as `fd`; 0 when it cannot be told.
inline std::uint64_t fileSize(int fd)
{
    struct stat st
    {
    };
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

} // namespace qb::audio
