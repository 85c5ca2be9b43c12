// The texts of the main window as they are drawn: the status line and the information box cut what
// does not fit in their height and keep their first line intact, and the status line's full text is
// its tooltip.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <QTextLayout>
#include <QToolTip>

using qb::ui::Form1;
using qb::ui::Label;

namespace {

// A path of exactly `length` characters.
QString longPath(int length)
{
    QString path = QStringLiteral("/home/user/音楽/");
    for (int i = 0; path.size() < length - 4; ++i)
        path += QStringLiteral("folder%1/").arg(i);
    path.truncate(length - 4);
    return path + QStringLiteral(".mid");
}

// The text of the first line a label of `width` pixels shows for `text`: it breaks at word
// boundaries, and inside a word that is wider than a line.
QString firstLine(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(width);
    layout.endLayout();
    return text.left(line.textLength());
}

int lineCount(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine(), ++lines)
        line.setLineWidth(width);
    layout.endLayout();
    return lines;
}

} // namespace

// The window and its recording services are the fixture's own members (mci, messages, form...).
class WindowTextTest : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

    // The part of the window where `label` lies, as the window shows it.
    QImage shotOf(const Label* label) const
    {
        const QRect area =
            QRect(label->mapTo(form.get(), QPoint(0, 0)), label->size()).intersected(form->rect());
        return form->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
    }

    static bool rowsEqual(const QImage& a, const QImage& b, int from, int to)
    {
        return a.copy(0, from, a.width(), to - from) == b.copy(0, from, b.width(), to - from);
    }

private slots:
    void initTestCase() { QApplication::setFont(qb::ui::defaultUiFont()); }

    void init() { QVERIFY(open(false)); }

    void cleanup() { form.reset(); }

    void aLabelCutsTheLinesThatDoNotFit_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");
        QTest::newRow("200-character path in the status line") << "Label1" << longPath(200);
        QString title = QStringLiteral("Title: ");
        while (title.size() < 7 + 120)
            title += QStringLiteral("とても長い曲名の");
        title.truncate(7 + 120);
        QTest::newRow("120-character title in the information box")
            << "Label2" << title + QStringLiteral("\r\nFormat: 1\r\nTracks: 3\r\nDivision: 480");
    }

    void aLabelCutsTheLinesThatDoNotFit()
    {
        QFETCH(QString, label);
        QFETCH(QString, text);
        auto* shown = form->findChild<Label*>(label);
        QVERIFY(shown);
        const QFont font = shown->font();
        const qreal lineHeight = QFontMetricsF(font).height();
        const int wholeLines = std::max(1, int(shown->height() / lineHeight));
        const int belowLastWholeLine = int(std::ceil(wholeLines * lineHeight));
        QVERIFY2(lineCount(text, font, shown->width()) > wholeLines, "the text has to overflow the label");
        QVERIFY2(belowLastWholeLine < shown->height(), "the label has room below its last whole line");

        shown->setCaption(QString());
        const QImage empty = shotOf(shown);
        shown->setCaption(firstLine(text, font, shown->width()));
        const QImage oneLine = shotOf(shown);
        shown->setCaption(text);
        const QImage overflowing = shotOf(shown);

        const int firstLineBottom = std::min(int(lineHeight), shown->height());
        QVERIFY2(!rowsEqual(oneLine, empty, 0, firstLineBottom), "the first line shows text");
        QVERIFY2(rowsEqual(overflowing, oneLine, 0, firstLineBottom), "the first line is intact");
        QVERIFY2(rowsEqual(overflowing, empty, belowLastWholeLine, empty.height()),
                 "below the last whole line the background shows");
    }

    void theStatusLineTooltipIsItsFullText()
    {
        const QString path = longPath(200);
        form->state().FilePath = path;
        form->Command2_Click(); // Stop writes the path into the status line
        QCOMPARE(form->Label1->caption(), QStringLiteral("Stop     ") + path);
        QCOMPARE(form->Label1->toolTip(), QStringLiteral("Stop     ") + path);

        const QPoint at(5, 5);
        QHelpEvent help(QEvent::ToolTip, at, form->Label1->mapToGlobal(at));
        QApplication::sendEvent(form->Label1, &help);
        QTRY_COMPARE(QToolTip::text(), QStringLiteral("Stop     ") + path);
    }
};

QTEST_MAIN(WindowTextTest)
#include "WindowTextTest.moc"
