#pragma once

#include <QWidget>

namespace qb::ui {

// A control that reports clicks (left button pressed and released over it) and every mouse move over
// it, with the button and modifier state and the position. It takes each mouse event it gets, so a
// move over it never reaches the control behind it, whether or not anyone listens.
class ClickableWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ClickableWidget(QWidget* parent = nullptr);

signals:
    void clicked();
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, QPoint position);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

} // namespace qb::ui
