#include "ui/ClickableWidget.h"

#include <QMouseEvent>

namespace qb::ui {

ClickableWidget::ClickableWidget(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
}

void ClickableWidget::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void ClickableWidget::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click =
        m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    if (click)
        emit clicked();
}

void ClickableWidget::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    emit mouseMoved(event->buttons(), event->modifiers(), event->position().toPoint());
}

} // namespace qb::ui
