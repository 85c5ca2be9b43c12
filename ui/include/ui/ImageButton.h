#pragma once

#include "ui/PictureBox.h"

namespace qb::ui {

// An image button: a picture box that is also a command. A click, Space or Enter while it has the
// keyboard focus, and an assistive tool's press action all emit clicked(). It takes the focus only
// from the keyboard (Tab), never from a click, and shows a dotted focus mark inside its border while
// it has the focus, so the window looks exactly as designed until the user tabs to it. Assistive
// tools see it as a push button with its accessible name and description.
class ImageButton : public PictureBox
{
    Q_OBJECT
public:
    explicit ImageButton(QWidget* parent = nullptr);

public slots:
    // Performs the command as a click does.
    void click() { emit clicked(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace qb::ui
