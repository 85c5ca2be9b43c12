#include "ui/PictureBox.h"

#include <QPainter>

namespace qb::ui {

PictureBox::PictureBox(QWidget* parent) : ClickableWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
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
    QPainter painter(this);
    painter.fillRect(rect(), m_backColor);
    int inset = 0;
    if (m_borderColor.isValid()) {
        painter.setPen(m_borderColor);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        inset = 1;
    }
    if (m_picture)
        painter.drawPixmap(inset, inset, *m_picture);
}

} // namespace qb::ui
