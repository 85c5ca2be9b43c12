#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb::platform {

// A folder that only this user can enter, for files that must not be reachable by anyone else
// (short-path aliases, a local socket). Returns its absolute path, created when missing:
//   $XDG_RUNTIME_DIR/quillbeat/<purpose>   when XDG_RUNTIME_DIR names a private folder of ours, or else
//   $TMPDIR/quillbeat-<uid>/<purpose>      when TMPDIR names a folder, or else
//   /tmp/quillbeat-<uid>/<purpose>
// Every folder made here has mode 0700. Each one is created with mkdir and then checked with lstat:
// it must be a real folder (a symbolic link is never followed), owned by the effective user and
// closed to group and others (no bit of 0077); anything else is refused, left as it is, and the next
// candidate tried.
//
// The path never holds a blank, a quote or a control character, so it can stand unquoted in an MCI
// command, and stays short (well under the 108 bytes of a local socket's address when the base does).
// `purpose` is one plain name component (no '/', not "." or ".."; empty or invalid gives none).
// None when no candidate is usable. Thread-safe; does not cache.
std::optional<std::string> privateRuntimeFolder(std::string_view purpose);

} // namespace qb::platform
