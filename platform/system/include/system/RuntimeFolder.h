#pragma once

#include "system/ShortPath.h"

#include <string>

namespace qb::platform {

// The user's private folder for this program's run-time files: the path aliases and the window's
// socket. It is the alias folder, with its rules: created mode 0700 when missing, refused when it is
// not ours, is group- or world-writable or is a symbolic link. Empty when no folder is usable.
inline std::string privateRuntimeFolder()
{
    return shortPathAliasFolder();
}

} // namespace qb::platform
