// Cutting a small font out of an installed face: the cut holds the characters asked for and no
// others, with the face's own outlines, under a name of its own; something that is not a font, or a
// family that is not installed, gives nothing.
#include "fonts/FontSubset.h"

#include <QFile>
#include <QPainterPath>
#include <QRawFont>
#include <QTemporaryDir>
#include <QTest>

using qb::fonts::FontFace;

namespace {

QPainterPath outline(const QRawFont& font, char32_t character)
{
    const QList<quint32> glyphs = font.glyphIndexesForString(QString::fromUcs4(&character, 1));
    return glyphs.size() == 1 ? font.pathForGlyph(glyphs.front()) : QPainterPath();
}

} // namespace

class FontSubsetTest : public QObject
{
    Q_OBJECT

private slots:
    void findsAnInstalledFamilyAndNoSubstitute()
    {
        const std::optional<FontFace> gothic = qb::fonts::installedFace("IPAPGothic", false);
        QVERIFY(gothic);
        QVERIFY(QFile::exists(QString::fromStdString(gothic->file)));
        QVERIFY(!qb::fonts::installedFace("Quillbeat No Such Family", false));
    }

    void theCutHoldsTheCharactersAskedForUnderItsOwnName_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<bool>("bold");
        // IPA Gothic's only default rules compose kana with combining marks, which the cut lacks;
        // Noto Sans CJK kerns Latin letters.
        QTest::addColumn<bool>("layoutRules");
        QTest::newRow("IPA Gothic, TrueType outlines") << QStringLiteral("IPAPGothic") << false << false;
        QTest::newRow("Noto Sans CJK, CFF in a collection")
            << QStringLiteral("Noto Sans CJK JP") << false << true;
        QTest::newRow("Noto Sans CJK, bold") << QStringLiteral("Noto Sans CJK JP") << true << true;
    }

    void theCutHoldsTheCharactersAskedForUnderItsOwnName()
    {
        QFETCH(QString, family);
        QFETCH(bool, bold);
        QFETCH(bool, layoutRules);
        const std::optional<FontFace> face = qb::fonts::installedFace(family.toStdString(), bold);
        QVERIFY(face);
        std::string why;
        const std::optional<std::vector<char>> cut = qb::fonts::subsetFace(
            *face, {U'再', U'生', U'カ', U'A', U'V', U'g'}, "Quillbeat Test", "Regular", &why);
        QVERIFY2(cut, why.c_str());
        QCOMPARE(qb::fonts::hasLayoutRules(cut->data(), cut->size()), layoutRules);
        QVERIFY(cut->size() * 50 <
                static_cast<std::size_t>(QFile(QString::fromStdString(face->file)).size()));

        const QRawFont small(QByteArray(cut->data(), static_cast<qsizetype>(cut->size())), 24);
        QFont installed(family);
        installed.setPixelSize(24);
        installed.setBold(bold);
        installed.setStyleStrategy(QFont::NoFontMerging);
        const QRawFont whole = QRawFont::fromFont(installed);
        QVERIFY(small.isValid() && whole.isValid());
        QCOMPARE(small.familyName(), QStringLiteral("Quillbeat Test"));
        QCOMPARE(small.ascent(), whole.ascent());
        QCOMPARE(small.descent(), whole.descent());
        for (const char32_t c : {U'再', U'生', U'A', U'g'}) {
            QVERIFY(small.supportsCharacter(c));
            QCOMPARE(outline(small, c), outline(whole, c));
        }
        QVERIFY(whole.supportsCharacter(U'曲'));
        QVERIFY(!small.supportsCharacter(U'曲'));
    }

    void somethingThatIsNotAFontGivesNothing()
    {
        QTemporaryDir folder;
        QFile text(folder.filePath(QStringLiteral("not-a-font.ttf")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(QByteArray(4096, 'x'));
        text.close();
        std::string why;
        QVERIFY(!qb::fonts::subsetFace({text.fileName().toStdString(), 0}, {U'A'}, "Quillbeat Test",
                                       "Regular", &why));
        QVERIFY(why.find("not a font") != std::string::npos);
        QVERIFY(!qb::fonts::subsetFace({folder.filePath(QStringLiteral("missing.ttf")).toStdString(), 0},
                                       {U'A'}, "Quillbeat Test", "Regular", &why));
        QVERIFY(why.find("cannot read") != std::string::npos);
    }
};

QTEST_MAIN(FontSubsetTest)
#include "FontSubsetTest.moc"
