// The window's texts are drawn in the installed Japanese face, IPA P Gothic, found through
// fontconfig: every character of every text comes from that one face.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QRawFont>
#include <QTest>

class WindowFontTest : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setFont(qb::ui::defaultUiFont());
        QVERIFY(open());
    }

    void everyTextIsDrawnInTheInstalledJapaneseFace()
    {
        const QList<qb::ui::Label*> labels = form->findChildren<qb::ui::Label*>();
        QVERIFY(!labels.isEmpty());
        for (const qb::ui::Label* label : labels) {
            const QString caption = label->caption();
            const QRawFont face = QRawFont::fromFont(label->font());
            QCOMPARE(face.familyName(), QStringLiteral("IPAPGothic"));
            for (const char32_t c : caption.toUcs4())
                QVERIFY2(QChar::isSpace(c) || face.supportsCharacter(c), qPrintable(caption));
        }
    }
};

QTEST_MAIN(WindowFontTest)
#include "WindowFontTest.moc"
