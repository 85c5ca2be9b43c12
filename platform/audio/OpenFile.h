#pragma once

#include "Decoders.h"

#include <string>

namespace qb::audio {

struct OpenedFile
{
    int fd = -1; // owned by the caller on success
    OpenError error = OpenError::None;
    std::string message;
};

// Opens `path` read-only if it is a regular file. Anything else (missing, unreadable, a folder, a
// device or pipe) is FileNotFound. Never blocks on a FIFO.
OpenedFile openRegularFile(const std::string& path);

} // namespace qb::audio
