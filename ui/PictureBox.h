#pragma once

#include "Picture.h"

#include <QColor>
#include <QWidget>

namespace qb::ui {

// A box that draws its picture unscaled from its top-left corner over its background colour, can
// contain other controls, and reports clicks and mouse moves. It takes every mouse event it gets, so a
// move over a box never reaches the control behind it.
class PictureBox : public QWidget
{
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    const Picture& picture() const { return m_picture; }
    void setPicture(Picture picture);

    QColor backColor() const { return m_backColor; }
    void setBackColor(const QColor& color);
    // A flat one-pixel border in `color`; the picture is then drawn inside it.
    void setFlatBorder(const QColor& color);

signals:
    void clicked();
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, QPoint position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    Picture m_picture;
    QColor m_backColor = Qt::white;
    QColor m_borderColor;
    bool m_pressed = false;
};

} // namespace qb::ui
