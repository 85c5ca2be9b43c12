#pragma once

#include "ui/ClickableWidget.h"
#include "ui/Picture.h"

#include <QColor>

namespace qb::ui {

// A box that draws its picture unscaled from its top-left corner over its background colour, can
// contain other controls, and reports clicks and mouse moves.
class PictureBox : public ClickableWidget
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

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Picture m_picture;
    QColor m_backColor = Qt::white;
    QColor m_borderColor;
};

} // namespace qb::ui
