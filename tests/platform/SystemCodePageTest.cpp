// The file-system code page (UTF-8 with escaped stray bytes) and the Shift_JIS decoder for titles.
#include "system/CodePage.h"

#include <QRandomGenerator>
#include <QTest>

using namespace qb::platform;

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

const QChar kReplacement(0xFFFD);

} // namespace

class SystemCodePageTest : public QObject
{
    Q_OBJECT

private slots:
    void utf8NamesDecodeAsText()
    {
        const QString name = QString::fromUtf8("/home/ユーザー/音楽/夜明け 🎵.mid");
        QCOMPARE(fromAnsi(name.toStdString()), name);
        QCOMPARE(toAnsi(name), name.toStdString());
    }

    void strayBytesRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::newRow("latin-1 name") << QByteArray("/music/caf\xe9.wav");
        QTest::newRow("shift_jis name") << QByteArray("/music/\x83\x65\x83\x58\x83\x67.mid");
        QTest::newRow("lone continuation") << QByteArray("\x80\xbf");
        QTest::newRow("cut sequence") << QByteArray("a\xe3\x81");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
        QTest::newRow("escape's own encoding") << QByteArray("\xed\xb2\x80");
        QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
        QTest::newRow("ff and fe") << QByteArray("\xff\xfe");
    }

    void strayBytesRoundTrip()
    {
        QFETCH(QByteArray, raw);
        const std::string original = raw.toStdString();
        const QString decoded = fromAnsi(original);
        QCOMPARE(toAnsi(decoded), original);
        // Stray bytes must not turn into replacement characters: they would make two names equal.
        QVERIFY(!decoded.contains(kReplacement));
    }

    void escapesAreOneCharPerByte()
    {
        const QString decoded = fromAnsi(bytes({'a', 0xE9, 'b'}));
        QCOMPARE(decoded.size(), 3);
        QCOMPARE(decoded.at(1).unicode(), char16_t(0xDCE9));
    }

    void arbitraryBytesRoundTrip()
    {
        QRandomGenerator rng(20240601);
        for (int round = 0; round < 2000; ++round) {
            std::string raw(static_cast<std::size_t>(rng.bounded(1, 40)), '\0');
            for (char& c : raw)
                c = static_cast<char>(rng.bounded(256));
            QCOMPARE(toAnsi(fromAnsi(raw)), raw);
        }
    }

    void loneSurrogatesEncodeAsReplacement()
    {
        QString text = QStringLiteral("ab");
        text.insert(1, QChar(0xD800));
        QCOMPARE(toAnsi(text), std::string("a\xef\xbf\xbd"
                                           "b"));
    }

    void shiftJisTitles_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ascii") << QByteArray("Song 1") << QStringLiteral("Song 1");
        QTest::newRow("kana and kanji")
            << QByteArray("\x96\xe9\x96\xbe\x82\xaf") << QString::fromUtf8("夜明け");
        QTest::newRow("half-width katakana") << QByteArray("\xb1\xb2\xb3") << QString::fromUtf8("ｱｲｳ");
        QTest::newRow("wave dash") << QByteArray("\x81\x60") << QString::fromUtf8("～");
        QTest::newRow("nec special") << QByteArray("\x87\x40") << QString::fromUtf8("①");
        QTest::newRow("mixed") << QByteArray("BGM\x81\x46\x83\x65\x83\x58\x83\x67")
                               << QString::fromUtf8("BGM：テスト");
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void shiftJisTitles()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, expected);
        QCOMPARE(fromCodePage932(raw.toStdString()), expected);
    }

    void shiftJisDamage_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("expected");
        const QString r(kReplacement);
        QTest::newRow("cut double-byte at end") << QByteArray("AB\x82") << QStringLiteral("AB") + r;
        QTest::newRow("cut after kanji") << QByteArray("\x96\xe9\x96") << QString::fromUtf8("夜") + r;
        QTest::newRow("undefined single byte 0x80") << QByteArray("a\x80"
                                                                  "b")
                                                    << QStringLiteral("a") + r + "b";
        QTest::newRow("undefined single byte 0xa0") << QByteArray("a\xa0"
                                                                  "b")
                                                    << QStringLiteral("a") + r + "b";
        QTest::newRow("undefined single byte 0xfd") << QByteArray("\xfd"
                                                                  "z")
                                                    << r + QStringLiteral("z");
        QTest::newRow("unassigned row") << QByteArray("\x85\x9f"
                                                      "c")
                                        << r + QStringLiteral("c");
        // A lead byte followed by ASCII: the ASCII character is not swallowed.
        QTest::newRow("lead then ascii") << QByteArray("\x82 x") << r + QStringLiteral(" x");
    }

    void shiftJisDamage()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, expected);
        QCOMPARE(fromCodePage932(raw.toStdString()), expected);
    }

    // A title read for showing: UTF-8 once it holds a multi-byte character; code page 932 and ASCII
    // as fromCodePage932() reads them; bytes that are neither, as a file name's.
    void readableTexts_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("shown");
        QTest::newRow("utf-8") << QByteArray("ループ曲 (Loop)") << QString::fromUtf8("ループ曲 (Loop)");
        QTest::newRow("utf-8, one accent") << QByteArray("Caf\xc3\xa9") << QString::fromUtf8("Café");
        QTest::newRow("shift_jis") << QByteArray("\x83\x8b\x81\x5b\x83\x76\x8b\xc8")
                                   << QString::fromUtf8("ループ曲");
        QTest::newRow("ascii") << QByteArray("Song 1 \\ ~") << fromCodePage932("Song 1 \\ ~");
        QTest::newRow("latin-1") << QByteArray("F\xfcr Elise") << QString::fromUtf8("Für Elise");
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void readableTexts()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, shown);
        QCOMPARE(readableText(raw.toStdString()), shown);
    }

    void readablePaths_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("shown");
        QTest::newRow("utf-8 as it is")
            << QByteArray("/音楽/ループ.mid") << QString::fromUtf8("/音楽/ループ.mid");
        // ASCII trail bytes ('[', 'v') are valid UTF-8 on their own: the whole name is read as one.
        QTest::newRow("shift_jis name in a utf-8 folder")
            << QByteArray("/音楽/\x83\x8b\x81\x5b\x83\x76.mid") << QString::fromUtf8("/音楽/ループ.mid");
        QTest::newRow("latin-1 name")
            << QByteArray("/music/caf\xe9.wav") << QString::fromUtf8("/music/café.wav");
        QTest::newRow("latin-1 folder") << QByteArray("/m\xfcsik/a.mid") << QString::fromUtf8("/müsik/a.mid");
    }

    void readablePaths()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, shown);
        QCOMPARE(readablePath(fromAnsi(raw.toStdString())), shown);
    }

    void shiftJisNeverThrows()
    {
        QRandomGenerator rng(7);
        for (int round = 0; round < 2000; ++round) {
            std::string raw(static_cast<std::size_t>(rng.bounded(0, 64)), '\0');
            for (char& c : raw)
                c = static_cast<char>(rng.bounded(256));
            const QString decoded = fromCodePage932(raw);
            QVERIFY(decoded.size() <= static_cast<qsizetype>(raw.size()));
        }
    }
};

QTEST_GUILESS_MAIN(SystemCodePageTest)
#include "SystemCodePageTest.moc"
