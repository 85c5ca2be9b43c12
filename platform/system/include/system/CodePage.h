#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace qb::platform {

// The "ANSI code page" of this system: the file-system encoding, UTF-8. Paths, MCI command strings and
// the open-file dialog's fields cross between the program's text and the operating system here.
//
// Every byte string round-trips: bytes that are not valid UTF-8 decode one by one to U+DC80..U+DCFF
// and encode back to the same bytes, so any Linux file name survives fromAnsi() then toAnsi().
// A lone UTF-16 surrogate outside that range encodes as U+FFFD. Never throws.
std::string toAnsi(const QString& text);
QString fromAnsi(std::string_view bytes);

// Decodes code page 932 (Windows Shift_JIS), the encoding of Japanese MIDI titles. Undefined bytes and
// a double-byte character cut off at the end become U+FFFD; never throws.
QString fromCodePage932(std::string_view bytes);

// A readable spelling of a file name whose bytes are not UTF-8, as old archives have them: read as code
// page 932 (Japanese Windows) when every byte makes sense as it, else as Latin-1 (Western Windows),
// which takes every byte. For showing only: the name itself is what opens the file.
QString readableName(std::string_view bytes);
// Text stored without a word of its encoding, such as a MIDI file's title, for showing: UTF-8 when the
// bytes are well-formed UTF-8 and hold at least one multi-byte character, else readableName(). So ASCII
// and code page 932 text read exactly as fromCodePage932() reads them.
QString readableText(std::string_view bytes);
// `path` (text from fromAnsi()) with each component that is not UTF-8 spelled by readableName(); a path
// that is all UTF-8 comes back as it is.
QString readablePath(const QString& path);

} // namespace qb::platform
