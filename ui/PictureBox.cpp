#include "ui/PictureBox.h"

#include "Accessibility.h"

#include <QPainter>
#include <algorithm>

namespace qb::ui {

PictureBox::PictureBox(QWidget* parent) : ClickableWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    installAccessibility();
}

void PictureBox::setPicture(Picture picture)
{
    if (picture == m_picture)
        return;
    m_picture = std::move(picture);
    update();
}

void PictureBox::setBackColor(const QColor& color)
{
    m_backColor = color;
    update();
}

void PictureBox::setFlatBorder(const QColor& color)
{
    m_borderColor = color;
    update();
}

void PictureBox::paintEvent(QPaintEvent*)
{
    // At scale factors above 1 a one-pixel pen is one device pixel, and the edges of a scaled picture
    // fall between device pixels. So the border is a filled frame, not a pen, and the background
    // colour goes only where the picture leaves room: a device pixel that no edge quite covers shows
    // the colour under it, which is the border's, never a seam of background colour.
    QPainter painter(this);
    QRect inside = rect();
    QRegion background(inside);
    if (m_borderColor.isValid()) {
        painter.fillRect(rect(), m_borderColor);
        inside.adjust(1, 1, -1, -1);
        background = QRegion(inside);
        if (m_picture)
            background -= QRect(inside.topLeft(), m_picture->deviceIndependentSize().toSize());
    }
    for (const QRect& r : background)
        painter.fillRect(r, m_backColor);
    if (m_picture) {
        painter.setClipRect(inside);
        // In bands: Qt hands the drawing of a picture more than 96 device rows high to its thread pool,
        // whose threads then stay for half a minute; a band is drawn as quickly on this thread. A rule
        // the idle memory figure guards (bench/README.md).
        constexpr int kBandRows = 32;
        const QPixmap& picture = *m_picture;
        for (int top = 0; top < picture.height(); top += kBandRows) {
            const int rows = std::min(kBandRows, picture.height() - top);
            painter.drawPixmap(inside.topLeft() + QPoint(0, top), picture,
                               QRect(0, top, picture.width(), rows));
        }
    }
}

} // namespace qb::ui
