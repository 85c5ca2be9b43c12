#pragma once

#include "ui/ClickableWidget.h"

#include <QColor>
#include <QString>

namespace qb::ui {

// A text label with a transparent background: the text is drawn left-aligned from the top-left corner,
// broken into lines within the label's width (at CR LF, at word boundaries, and inside words that are
// wider than a line). It shows the lines that fit whole in its height (the first one always, clipped
// if need be) and cuts the rest, and cuts each line at its right edge. Reports clicks and mouse
// moves. Assistive tools read it as static text whose name and value are the caption.
class Label : public ClickableWidget
{
    Q_OBJECT
public:
    explicit Label(const QString& caption, QWidget* parent = nullptr);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);

    QColor foreColor() const { return m_foreColor; }
    void setForeColor(const QColor& color);
    bool fontBold() const { return font().bold(); }
    void setFontBold(bool bold);
    bool fontUnderline() const { return font().underline(); }
    void setFontUnderline(bool underline);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_caption;
    QColor m_foreColor = Qt::black;
};

} // namespace qb::ui
