#pragma once

#include <QFont>

namespace qb::ui {

// The window's default font: a proportional Gothic face that shows Japanese and Latin text alike,
// 12 pixels high, drawn from the installed faces through fontconfig. The first of its families that
// is installed and readable draws; a character none of them has comes from whatever face fontconfig
// offers for it.
QFont defaultUiFont();

} // namespace qb::ui
