#pragma once

#include "posix/UniqueFd.h"
#include "sound/decode/Decoders.h"

#include <string>

namespace qb::audio {

struct OpenedFile
{
    posix::UniqueFd fd; // open exactly on success
    OpenError error = OpenError::None;
    std::string message;
};

// Opens `path` read-only if it is a regular file. Anything else (missing, unreadable, a folder, a
// device or pipe) is FileNotFound. Never blocks on a FIFO.
OpenedFile openRegularFile(const std::string& path);

} // namespace qb::audio
