#include "ui/Label.h"

#include "Accessibility.h"

#include <QAccessible>
#include <QPainter>
#include <QTextLayout>

namespace qb::ui {

Label::Label(const QString& caption, QWidget* parent) : ClickableWidget(parent), m_caption(caption)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    installAccessibility();
}

void Label::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    update();
    // A screen reader reads the status line and the information box again when they change.
    QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&nameChanged);
}

void Label::setForeColor(const QColor& color)
{
    if (color == m_foreColor)
        return;
    m_foreColor = color;
    update();
}

void Label::setFontBold(bool bold)
{
    QFont f = font();
    f.setBold(bold);
    setFont(f);
}

void Label::setFontUnderline(bool underline)
{
    QFont f = font();
    f.setUnderline(underline);
    setFont(f);
}

void Label::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.setPen(m_foreColor);
    painter.setFont(font());

    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QString text = m_caption;
    text.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    text.replace(QLatin1Char('\r'), QChar::LineSeparator);

    QTextLayout layout(text, font(), this);
    layout.setTextOption(option);
    // Only whole lines are shown, and always the first one (clipped if the label is lower than a
    // line). The line that does not fit is laid out but not drawn: a line created and left without a
    // width would take all the remaining text at 0,0 when the layout ends.
    layout.beginLayout();
    int shown = 0;
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width());
        line.setPosition(QPointF(0, y));
        if (shown > 0 && y + line.height() > height())
            break;
        ++shown;
        y += line.height();
    }
    layout.endLayout();
    for (int i = 0; i < shown; ++i)
        layout.lineAt(i).draw(&painter, QPointF(0, 0));
}

} // namespace qb::ui
