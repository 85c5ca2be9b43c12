#include "WordFrame.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qb::imagegen {
namespace {

constexpr int kMarginX = 2;
constexpr int kMarginY = 2;

QPainterPath outline(const QRawFont& font, const QString& word)
{
    const QList<quint32> glyphs = font.glyphIndexesForString(word);
    const QList<QPointF> advances =
        font.advancesForGlyphIndexes(glyphs, QRawFont::KernedAdvances | QRawFont::UseDesignMetrics);
    QPainterPath path;
    QPointF pen;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        if (glyphs[i] == 0)
            throw std::runtime_error("font lacks a glyph of the word");
        path.addPath(font.pathForGlyph(glyphs[i]).translated(pen));
        pen += advances[i];
    }
    return path;
}

QRgb blend(QColor from, QColor to, int step, int steps)
{
    const auto mix = [&](int a, int b) {
        return static_cast<int>(std::lround(a + (b - a) * static_cast<double>(step) / steps));
    };
    return qRgb(mix(from.red(), to.red()), mix(from.green(), to.green()), mix(from.blue(), to.blue()));
}

} // namespace

IndexedImage wordPicture(const QRawFont& font, const QString& word, int width, int height, QColor background,
                         QColor ink)
{
    const QPainterPath path = outline(font, word);
    const QRectF inkBox = path.boundingRect();
    double scale =
        std::min((width - 2 * kMarginX) / inkBox.width(), (height - 2 * kMarginY) / inkBox.height());
    // Shrinking a little so that the x-height ends on a pixel boundary keeps
    // the tops of the small letters crisp, as hinting would.
    const double xHeight = font.xHeight() * scale;
    if (xHeight >= 1.0)
        scale *= std::floor(xHeight) / xHeight;

    // Whole-pixel offsets put the baseline on a pixel boundary as well.
    const double dx = std::round(width / 2.0 - scale * (inkBox.left() + inkBox.right()) / 2.0);
    const double dy = std::round(height / 2.0 - scale * (inkBox.top() + inkBox.bottom()) / 2.0);
    QTransform placement;
    placement.translate(dx, dy);
    placement.scale(scale, scale);

    QImage coverage(width, height, QImage::Format_Alpha8);
    coverage.fill(0);
    {
        QPainter painter(&coverage);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(placement.map(path), Qt::black);
    }

    IndexedImage picture;
    picture.width = width;
    picture.height = height;
    for (int step = 0; step < kWordRampColours; ++step)
        picture.palette.append(blend(background, ink, step, kWordRampColours - 1));
    picture.pixels.resize(static_cast<std::size_t>(width * height));
    for (int y = 0; y < height; ++y) {
        const uchar* line = coverage.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            const long step = std::lround(line[x] * (kWordRampColours - 1) / 255.0);
            picture.pixels[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint8_t>(step);
        }
    }
    return picture;
}

} // namespace qb::imagegen
