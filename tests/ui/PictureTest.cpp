// The window's pictures as loaded: every pixel as the file has it, held in 8 bits a pixel when the
// picture has 256 colours or fewer, in 32 when it has more.
#include "ui/Picture.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

QImage pixels(const QImage& image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

class PictureTest : public QObject
{
    Q_OBJECT

private slots:
    void theWindowsPicturesKeepEveryPixelInEightBits_data()
    {
        QTest::addColumn<QString>("path");
        for (const char* name : {"panel.bmp", "button.bmp", "playing0.bmp", "playing4.bmp", "stopping.bmp"})
            QTest::newRow(name) << QStringLiteral(":/images/%1").arg(QLatin1String(name));
    }

    void theWindowsPicturesKeepEveryPixelInEightBits()
    {
        QFETCH(QString, path);
        const qb::ui::Picture picture = qb::ui::loadPicture(path);
        QVERIFY(picture);
        QCOMPARE(picture->depth(), 8);
        QVERIFY(pixels(picture->toImage()) == pixels(QImage(path)));
    }

    void aPictureOfMoreColoursKeepsThemAll()
    {
        QImage many(300, 2, QImage::Format_RGB32);
        for (int x = 0; x < many.width(); ++x) {
            many.setPixel(x, 0, qRgb(x % 256, x / 256 * 100, 7));
            many.setPixel(x, 1, qRgb(3, x % 256, 200 - x / 256 * 100));
        }
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("many.bmp"));
        QVERIFY(many.save(path, "BMP"));
        const qb::ui::Picture picture = qb::ui::loadPicture(path);
        QVERIFY(picture);
        QCOMPARE(picture->depth(), 32);
        QVERIFY(pixels(picture->toImage()) == many);
        QVERIFY(!qb::ui::loadPicture(folder.filePath(QStringLiteral("missing.bmp"))));
    }
};

QTEST_MAIN(PictureTest)
#include "PictureTest.moc"
