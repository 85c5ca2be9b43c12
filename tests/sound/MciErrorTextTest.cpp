// The service's own Japanese error texts: one for every code it can report, and a fallback.
#include "sound/MciErrorText.h"

#include "sound/MciErrors.h"

#include <QSet>
#include <QTest>

using namespace qb::mci;

class MciErrorTextTest : public QObject
{
    Q_OBJECT

private slots:
    void everyCodeHasItsOwnText()
    {
        QSet<QString> seen;
        for (MCIERROR code : kAllMciErrors) {
            QVERIFY2(hasMciErrorText(code), qPrintable(QString::number(code)));
            const QString text = mciErrorText(code);
            QVERIFY(!text.trimmed().isEmpty());
            // Written for Japanese users: the text is Japanese, not an English message or a number.
            bool japanese = false;
            for (QChar c : text)
                japanese = japanese || (c.unicode() >= 0x3040 && c.unicode() <= 0x9FFF);
            QVERIFY2(japanese, qPrintable(text));
            // Two codes with one text would tell the user nothing about which went wrong.
            QVERIFY2(!seen.contains(text), qPrintable(text));
            seen.insert(text);
        }
    }

    void fileNotFoundReadsAsSuch()
    {
        QCOMPARE(mciErrorText(MCIERR_FILE_NOT_FOUND),
                 QString::fromUtf8("指定されたファイルが見つかりません。"));
    }

    void unknownCodeNamesItsNumber()
    {
        for (MCIERROR code : {MCIERROR(1), MCIERROR(283), MCIERROR(512), MCIERROR(4000000000u)}) {
            QVERIFY(!hasMciErrorText(code));
            const QString text = mciErrorText(code);
            QVERIFY2(text.contains(QString::number(code)), qPrintable(text));
        }
    }
};

QTEST_GUILESS_MAIN(MciErrorTextTest)
#include "MciErrorTextTest.moc"
