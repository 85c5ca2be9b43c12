#pragma once

#include <QFont>

namespace qb::ui {

// The window's default font: a proportional Gothic face that shows Japanese and Latin text alike,
// 12 pixels high, with the system's faces as fallback.
QFont defaultUiFont();

} // namespace qb::ui
