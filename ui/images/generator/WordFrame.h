#pragma once

#include "Dib.h"

#include <QColor>
#include <QRawFont>
#include <QString>

namespace qb::imagegen {

// Number of colours in a word picture's palette: index 0 is the background,
// the last index the full word colour, the ones between an even ramp.
inline constexpr int kWordRampColours = 19;

// Draws `word` in `font` (any pixel size; only its outlines are used, so no
// hinting or font configuration affects the result), scaled as large as fits
// inside width x height less a margin and centred on whole pixels. Returns an
// 8-bit palette picture whose index is the anti-aliased coverage quantised to
// the kWordRampColours-entry ramp from `background` to `ink`.
IndexedImage wordPicture(const QRawFont& font, const QString& word, int width, int height, QColor background,
                         QColor ink);

} // namespace qb::imagegen
