#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qb::platform {

// The short form of an existing file's path: a path that an MCI command can carry unquoted.
//
// Linux has no 8.3 names. A path without blanks, quotes or control characters is its own short form.
// Any other path gets an alias: a symbolic link named by a hash of the absolute path, keeping the
// original extension, in a private per-user folder (see shortPathAliasFolder()).
//
// Buffer contract, as Windows has it: on success `shortPath` receives the NUL-terminated short form
// and the result is its length without the NUL. When `shortPath` is null or `bufferLength` bytes are
// too few, nothing is written and the result is the size needed, NUL included. On failure (null or
// empty path, no such file, no usable alias folder) nothing is written and the result is 0.
std::uint32_t GetShortPathNameA(const char* longPath, char* shortPath, std::uint32_t bufferLength);

// True when `path` holds a character that the MCI command parser would read as a separator or a
// quote, so that the path cannot stand unquoted in a command.
bool pathNeedsShortAlias(std::string_view path);

// The folder the aliases live in: privateRuntimeFolder("links") (system/PrivateFolder.h), whose path
// never needs an alias itself. Empty when no folder is usable.
std::string shortPathAliasFolder();

} // namespace qb::platform
