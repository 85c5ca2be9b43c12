#pragma once

#include <QFont>
#include <QString>

namespace qb::ui {

// The family of the window's own font, once installWindowFont has registered it.
inline const QString kWindowFontFamily = QStringLiteral("Quillbeat Window");

// The window's default font: a proportional Gothic face that shows Japanese and Latin text alike,
// 12 pixels high, with the system's faces as fallback. The window's own font comes first once it is
// registered (until then the family is unknown and passed over), and the installed face it was cut
// from draws whatever it lacks.
QFont defaultUiFont();

// Registers the window's own font: the glyphs of the program's texts (and ASCII), cut from the
// installed Japanese face, regular and bold. Drawn from the installed file, the dozens of glyphs a
// window shows keep some 2 MB of it mapped (each glyph read maps the 64 KiB around it) for as long
// as the program runs; the cut is a hundred kilobytes in memory. The cut is kept in `cacheFolder`
// for the next start (it takes a few milliseconds) and made again when the installed face changes.
// Returns false, leaving the installed face to draw everything, when no face is installed or the
// subsetter library is missing. Call once, after the application object is made and before the
// window's first paint. Registering a font starts fontconfig (some 10 ms), which the first paint
// would start anyway; so the program calls it just after showing the window, which then appears no
// later than it would without it.
bool installWindowFont(const QString& cacheFolder);

// Whether `text` can be drawn without OpenType shaping, the same to the pixel: the window's own font
// holds every character of it and has no layout rules that could change them. Text in a script
// that needs shaping, or with a character from another face, is shaped as usual.
bool drawsWithoutShaping(const QString& text);

} // namespace qb::ui
