#include "ui/ImageButton.h"

#include "Accessibility.h"

#include <QKeyEvent>
#include <QPainter>

namespace qb::ui {

ImageButton::ImageButton(QWidget* parent) : PictureBox(parent)
{
    installAccessibility();
    setFocusPolicy(Qt::TabFocus);
}

void ImageButton::keyPressEvent(QKeyEvent* event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const int key = event->key();
    if (plain && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
        event->accept();
        // A held key repeats; the command runs once per press.
        if (!event->isAutoRepeat())
            click();
        return;
    }
    PictureBox::keyPressEvent(event);
}

void ImageButton::paintEvent(QPaintEvent* event)
{
    PictureBox::paintEvent(event);
    if (!hasFocus())
        return;
    // The desktop's classic focus rectangle: dotted, one pixel inside the border, in white so that it
    // shows on the black corners and on the grey face alike.
    QPainter painter(this);
    QPen pen(Qt::white);
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
}

} // namespace qb::ui
