#include "ui/Picture.h"

#include <QFileInfo>
#include <QImageReader>
#include <QSet>

// The pictures are compiled into this static library; its resource initialiser is not referenced
// from anywhere else, so it has to be run by hand before the first load.
static void initImageResources()
{
    Q_INIT_RESOURCE(images);
}

namespace qb::ui {

namespace {

void ensureImageResources()
{
    static const bool ready = (initImageResources(), true);
    Q_UNUSED(ready);
}

bool colourCountAtMost(const QImage& image, int most)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            colours.insert(line[x]);
            if (colours.size() > most)
                return false;
        }
    }
    return true;
}

} // namespace

Picture loadPicture(const QString& path)
{
    ensureImageResources();
    // The reader is told the format by the name, so that it does not wake every image plug-in
    // (and the libraries behind them) to ask whether the picture is theirs: a rule the idle memory
    // figure guards (bench/README.md).
    QImageReader reader(path, QFileInfo(path).suffix().toLatin1());
    reader.setAutoDetectImageFormat(false);
    QImage image = reader.read();
    if (image.isNull())
        return nullptr;
    // The window's pictures have a few dozen colours each: held as 8-bit indexed images they show the
    // very same colours in less memory: a rule the idle memory figure guards (bench/README.md).
    // Qt's conversion keeps the exact colours when there are 256 or fewer, and quantises only beyond.
    if (image.format() != QImage::Format_Indexed8 && !image.hasAlphaChannel() &&
        colourCountAtMost(image, 256))
        image = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    return std::make_shared<const QPixmap>(QPixmap::fromImage(std::move(image), Qt::NoFormatConversion));
}

} // namespace qb::ui

namespace qb::ui {

QIcon loadIcon(const QString& path)
{
    ensureImageResources();
    return QIcon(path);
}

} // namespace qb::ui
