#include "ui/UiFont.h"

#include <QStringList>

namespace qb::ui {

QFont defaultUiFont()
{
    QFont font;
    font.setFamilies(
        {QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(12);
    return font;
}

} // namespace qb::ui
