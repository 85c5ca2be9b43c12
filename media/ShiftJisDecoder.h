#pragma once

#include <QString>
#include <string_view>

namespace qb::media {

// Decodes `bytes` from code page 932 (Microsoft's Shift_JIS, with the NEC and IBM extensions)
// into Unicode text. Never fails: a byte or byte pair that the code page does not define becomes
// one U+FFFD, and so does a lead byte cut off at the end. NUL bytes are kept as U+0000.
// Thread-safe; no global state.
QString decodeShiftJis(std::string_view bytes);

} // namespace qb::media
