// The window's own font, cut from the installed face at start: the window shows its texts without
// the installed face's file being mapped at all, every text is drawn to the pixel as the installed
// face draws it, and the cache holds only sound cuts of the face in use.
#include "fonts/FontSubset.h"
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QRawFont>
#include <QTemporaryDir>
#include <QTest>

using qb::ui::kWindowFontFamily;

namespace {

QImage drawn(const QString& text, const QFont& font)
{
    QImage image(QFontMetrics(font).boundingRect(text).size() + QSize(8, 8), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, text);
    return image;
}

} // namespace

class WindowFontTest : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

    QTemporaryDir m_cache;

    QStringList cutsInCache() const
    {
        return QDir(m_cache.path()).entryList({QStringLiteral("window-font-regular-*.ttf")});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(qb::ui::installWindowFont(m_cache.path()));
        QApplication::setFont(qb::ui::defaultUiFont());
        QVERIFY(open());
    }

    void theWindowShowsItsTextsWithoutTheInstalledFace()
    {
        QCOMPARE(QApplication::font().families().value(0), kWindowFontFamily);
        QCOMPARE(cutsInCache().size(), 1);
        form->grab(); // every text drawn once
        const std::optional<qb::fonts::FontFace> face = qb::fonts::installedFace("IPAPGothic", false);
        QVERIFY(face);
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY(!maps.readAll().contains(QByteArray::fromStdString(face->file)));
    }

    void everyTextIsDrawnAsTheInstalledFaceDrawsIt()
    {
        QStringList texts = {form->windowTitle(), QStringLiteral("Quillbeat ABCxyz 0123 !?()[] AVAVA To fi")};
        for (const qb::ui::Label* label : form->findChildren<qb::ui::Label*>()) {
            texts << label->caption();
            // IPA Gothic's cut has no layout rules, so the window's own texts skip the shaper.
            QVERIFY2(qb::ui::drawsWithoutShaping(label->caption()), qPrintable(label->caption()));
        }
        // The same and a title beyond the cut: a kana with a combining voiced mark, which the
        // installed face composes into one glyph.
        texts << QStringLiteral("カ\u3099タログ");
        QVERIFY(!qb::ui::drawsWithoutShaping(texts.back()));

        QFont cut = QApplication::font();
        QFont installed = cut;
        installed.setFamilies(cut.families().mid(1));
        installed.setStyleStrategy(QFont::PreferDefault); // shaped
        // The hinters measure a face by glyphs of its own (the auto-hinter's blue zones), so each is
        // asked for as a desktop may ask for it.
        for (const QFont::HintingPreference hinting :
             {QFont::PreferNoHinting, QFont::PreferVerticalHinting, QFont::PreferFullHinting}) {
            for (const bool bold : {false, true}) {
                for (QFont* font : {&cut, &installed}) {
                    font->setBold(bold);
                    font->setHintingPreference(hinting);
                }
                for (const QString& text : std::as_const(texts)) {
                    if (text.trimmed().isEmpty())
                        continue;
                    // As a label draws it.
                    QFont window = cut;
                    if (qb::ui::drawsWithoutShaping(text))
                        window.setStyleStrategy(QFont::PreferNoShaping);
                    QVERIFY2(drawn(text, window) == drawn(text, installed),
                             qPrintable(QStringLiteral("%1 (hinting %2)").arg(text).arg(hinting)));
                }
            }
        }
    }

    void theCacheKeepsOnlySoundCutsOfTheFaceInUse()
    {
        const QString path = QDir(m_cache.path()).filePath(cutsInCache().value(0));
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(QByteArray(512, '\0'));
        damaged.close();
        // A bold cut left from a face that had one; IPA P Gothic has none.
        QFile staleBold(
            QDir(m_cache.path()).filePath(QStringLiteral("window-font-bold-0123456789abcdef.ttf")));
        QVERIFY(staleBold.open(QIODevice::WriteOnly));
        staleBold.close();

        QVERIFY(qb::ui::installWindowFont(m_cache.path()));
        QCOMPARE(QDir(m_cache.path()).entryList(QDir::Files), QStringList{QFileInfo(path).fileName()});
        QFile remade(path);
        QVERIFY(remade.open(QIODevice::ReadOnly));
        QVERIFY(remade.size() > 512);
        QVERIFY(QRawFont(remade.readAll(), 12).isValid());
    }
};

QTEST_MAIN(WindowFontTest)
#include "WindowFontTest.moc"
