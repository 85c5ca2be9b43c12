#include "Pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

namespace qb::imagegen {
namespace {

constexpr int kIconSize = 32;

// The standard 16-colour palette in its usual order.
const QList<QRgb> kStandard16 = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
    qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
};

int distance2(QRgb a, QRgb b)
{
    const int dr = qRed(a) - qRed(b);
    const int dg = qGreen(a) - qGreen(b);
    const int db = qBlue(a) - qBlue(b);
    return dr * dr + dg * dg + db * db;
}

std::uint8_t nearest(const QList<QRgb>& palette, QRgb colour)
{
    qsizetype best = 0;
    for (qsizetype i = 1; i < palette.size(); ++i) {
        if (distance2(palette[i], colour) < distance2(palette[best], colour))
            best = i;
    }
    return static_cast<std::uint8_t>(best);
}

// Reduces the opaque colours of `image` to at most `limit` by repeatedly
// merging the closest pair into a weighted mean; colours stay in order of
// first appearance so that the result does not depend on hashing.
QList<QRgb> adaptivePalette(const QImage& image, qsizetype limit)
{
    struct Entry
    {
        QRgb colour;
        double r, g, b, weight;
    };
    std::vector<Entry> entries;
    std::map<QRgb, std::size_t> seen;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            if (qAlpha(c) < 128)
                continue;
            const QRgb opaque = c | 0xFF000000u;
            const auto [it, added] = seen.try_emplace(opaque, entries.size());
            if (added)
                entries.push_back({opaque, double(qRed(c)), double(qGreen(c)), double(qBlue(c)), 0.0});
            entries[it->second].weight += 1.0;
        }
    }
    while (static_cast<qsizetype>(entries.size()) > limit) {
        std::size_t bestA = 0;
        std::size_t bestB = 1;
        int bestDistance = distance2(entries[0].colour, entries[1].colour);
        for (std::size_t a = 0; a < entries.size(); ++a) {
            for (std::size_t b = a + 1; b < entries.size(); ++b) {
                const int d = distance2(entries[a].colour, entries[b].colour);
                if (d < bestDistance) {
                    bestDistance = d;
                    bestA = a;
                    bestB = b;
                }
            }
        }
        Entry& keep = entries[bestA];
        const Entry& gone = entries[bestB];
        const double total = keep.weight + gone.weight;
        keep.r = (keep.r * keep.weight + gone.r * gone.weight) / total;
        keep.g = (keep.g * keep.weight + gone.g * gone.weight) / total;
        keep.b = (keep.b * keep.weight + gone.b * gone.weight) / total;
        keep.weight = total;
        keep.colour = qRgb(int(std::lround(keep.r)), int(std::lround(keep.g)), int(std::lround(keep.b)));
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(bestB));
    }
    QList<QRgb> palette;
    for (const Entry& e : entries)
        palette.append(e.colour);
    return palette;
}

// Pixels with at least half coverage become opaque in their own colour; the
// rest become transparent (index 0, black, as icons expect under the mask).
IndexedImage toIndexed(const QImage& source, const QList<QRgb>& palette, int iconBits)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    IndexedImage result;
    result.width = image.width();
    result.height = image.height();
    result.iconBits = iconBits;
    result.palette = palette;
    const auto count = static_cast<std::size_t>(image.width() * image.height());
    result.pixels.assign(count, 0);
    result.transparent.assign(count, false);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const auto at = static_cast<std::size_t>(y * image.width() + x);
            const QRgb c = image.pixel(x, y);
            if (qAlpha(c) < 128)
                result.transparent[at] = true;
            else
                result.pixels[at] = nearest(palette, c);
        }
    }
    return result;
}

QImage blankIcon()
{
    QImage image(kIconSize, kIconSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

struct IconInks
{
    QColor pageFill;
    QColor pageEdge;
    QColor pageShadow;
    QColor arrow;
    QColor arrowEdge;
    QColor staff;
    QColor note;
};

// What the window icon is drawn with: a QPainter for the pictures, SVG text for the scalable icon.
// Both take the same shapes, in the icon's 32 x 32 units.
class IconCanvas
{
public:
    virtual ~IconCanvas() = default;
    virtual void fill(const QRect& rect, const QColor& colour) = 0;
    // An ellipse around `centre`, turned by `degrees` (negative: anticlockwise on screen).
    virtual void ellipse(QPointF centre, double rx, double ry, double degrees, const QColor& colour) = 0;
    // The outline of `path`, flat ends, nothing filled.
    virtual void stroke(const QPainterPath& path, const QColor& colour, double width) = 0;
    // A filled polygon; with `outline` > 0 also its mitred outline in the same colour.
    virtual void polygon(const QPolygonF& points, const QColor& colour, double outline) = 0;
};

class PainterCanvas final : public IconCanvas
{
public:
    explicit PainterCanvas(QPainter& painter) : p(painter) {}
    void fill(const QRect& rect, const QColor& colour) override { p.fillRect(rect, colour); }
    void ellipse(QPointF centre, double rx, double ry, double degrees, const QColor& colour) override
    {
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.translate(centre);
        p.rotate(degrees);
        p.drawEllipse(QPointF(0, 0), rx, ry);
        p.restore();
    }
    void stroke(const QPainterPath& path, const QColor& colour, double width) override
    {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap));
        p.drawPath(path);
    }
    void polygon(const QPolygonF& points, const QColor& colour, double outline) override
    {
        if (outline > 0)
            p.setPen(QPen(colour, outline, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        else
            p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPolygon(points);
    }

private:
    QPainter& p;
};

QString number(double value)
{
    QString text = QString::number(value, 'f', 4);
    while (text.contains(QLatin1Char('.')) &&
           (text.endsWith(QLatin1Char('0')) || text.endsWith(QLatin1Char('.'))))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

class SvgCanvas final : public IconCanvas
{
public:
    void fill(const QRect& rect, const QColor& colour) override
    {
        m_body += QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n")
                      .arg(rect.x())
                      .arg(rect.y())
                      .arg(rect.width())
                      .arg(rect.height())
                      .arg(colour.name());
    }
    void ellipse(QPointF centre, double rx, double ry, double degrees, const QColor& colour) override
    {
        m_body += QStringLiteral(
                      "  <ellipse cx=\"%1\" cy=\"%2\" rx=\"%3\" ry=\"%4\" transform=\"rotate(%5 %1 %2)\" "
                      "fill=\"%6\"/>\n")
                      .arg(number(centre.x()), number(centre.y()), number(rx), number(ry), number(degrees),
                           colour.name());
    }
    void stroke(const QPainterPath& path, const QColor& colour, double width) override
    {
        QString d;
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            if (e.isMoveTo())
                d += QStringLiteral("M%1 %2 ").arg(number(e.x), number(e.y));
            else if (e.isLineTo())
                d += QStringLiteral("L%1 %2 ").arg(number(e.x), number(e.y));
            else if (e.isCurveTo()) {
                const QPainterPath::Element c2 = path.elementAt(i + 1);
                const QPainterPath::Element to = path.elementAt(i + 2);
                d += QStringLiteral("C%1 %2 %3 %4 %5 %6 ")
                         .arg(number(e.x), number(e.y), number(c2.x), number(c2.y), number(to.x),
                              number(to.y));
                i += 2;
            }
        }
        m_body += QStringLiteral("  <path d=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"%3\" "
                                 "stroke-linecap=\"butt\"/>\n")
                      .arg(d.trimmed(), colour.name(), number(width));
    }
    void polygon(const QPolygonF& points, const QColor& colour, double outline) override
    {
        QString list;
        for (const QPointF& point : points)
            list += number(point.x()) + QLatin1Char(',') + number(point.y()) + QLatin1Char(' ');
        QString edge;
        if (outline > 0)
            edge = QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\" stroke-linejoin=\"miter\"")
                       .arg(colour.name(), number(outline));
        m_body += QStringLiteral("  <polygon points=\"%1\" fill=\"%2\"%3/>\n")
                      .arg(list.trimmed(), colour.name(), edge);
    }

    QByteArray document() const
    {
        return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
                              "viewBox=\"0 0 32 32\">\n%1</svg>\n")
            .arg(m_body)
            .toUtf8();
    }

private:
    QString m_body;
};

void drawLoopPage(IconCanvas& canvas, const IconInks& ink, bool smooth)
{
    // The page, with a one-pixel shadow on its right and bottom.
    canvas.fill(QRect(7, 10, 21, 22), ink.pageShadow);
    canvas.fill(QRect(5, 8, 21, 22), ink.pageEdge);
    canvas.fill(QRect(6, 9, 19, 20), ink.pageFill);

    // Five staff lines across the page and a beamed pair of notes on them.
    for (int i = 0; i < 5; ++i)
        canvas.fill(QRect(7, 15 + 3 * i, 17, 1), ink.staff);
    const QPoint heads[] = {QPoint(11, 25), QPoint(19, 22)};
    for (const QPoint& head : heads) {
        if (smooth) {
            canvas.ellipse(QPointF(head) + QPointF(0.0, 0.5), 2.4, 1.6, -25, ink.note);
        } else {
            canvas.fill(QRect(head.x() - 1, head.y() - 1, 3, 1), ink.note);
            canvas.fill(QRect(head.x() - 2, head.y(), 4, 1), ink.note);
            canvas.fill(QRect(head.x() - 2, head.y() + 1, 3, 1), ink.note);
        }
        canvas.fill(QRect(head.x() + 1, head.y() - 8, 1, 8), ink.note);
    }
    // The beam climbs with the notes, three pixels over the eight between the stems.
    for (int x = heads[0].x() + 1; x <= heads[1].x() + 1; ++x) {
        const int rise = (x - heads[0].x() - 1) * 3 / 8;
        canvas.fill(QRect(x, heads[0].y() - 8 - rise, 1, 2), ink.note);
    }

    // The circular arrow over the top edge: a ring open at the lower right,
    // its head at the lower left, pointing down onto the page.
    const QPointF centre(16.0, 7.5);
    const double radius = 5.5;
    const double startDeg = -40.0;
    const double spanDeg = 250.0;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    QPainterPath ring;
    ring.arcMoveTo(box, startDeg);
    ring.arcTo(box, startDeg, spanDeg);
    const double end = (startDeg + spanDeg) * std::numbers::pi / 180.0;
    const QPointF radial(std::cos(end), -std::sin(end));
    const QPointF along(-std::sin(end), -std::cos(end));
    const QPointF base = centre + radial * radius;
    const QPolygonF head({base + along * 4.0, base + radial * 3.6, base - radial * 3.6});

    canvas.stroke(ring, ink.arrowEdge, 4.0);
    canvas.polygon(head, ink.arrowEdge, 1.0);
    canvas.stroke(ring, ink.arrow, 2.0);
    canvas.polygon(QPolygonF({base + along * 2.6, base + radial * 2.4, base - radial * 2.4}), ink.arrow, 0.0);
}

// The colours of the full-colour window icon.
const IconInks kRichInks = {QColor(255, 255, 255), QColor(72, 72, 72), QColor(150, 150, 150),
                            QColor(232, 24, 24),   QColor(128, 0, 0),  QColor(150, 60, 170),
                            QColor(56, 0, 72)};

} // namespace

QImage buttonFace()
{
    constexpr int kWidth = 61;
    constexpr int kHeight = 27;
    // The ellipse spans pixels 2..59 and 1..25.
    constexpr double kCx = 31.0;
    constexpr double kCy = 13.5;
    constexpr double kRx = 29.0;
    constexpr double kRy = 12.5;
    constexpr int kSamples = 4;

    // Lit as a dome: ambient plus diffuse light from the upper left, and a
    // glossy spot towards the upper-left end.
    const double lightLength = std::sqrt(1.0 + 1.0 + 1.44);
    const double lx = -1.0 / lightLength;
    const double ly = -1.0 / lightLength;
    const double lz = 1.2 / lightLength;
    const double hx = -0.62;
    const double hy = -0.5;
    const double hz = std::sqrt(1.0 - hx * hx - hy * hy);

    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            double sum = 0.0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double u = (x + (sx + 0.5) / kSamples - kCx) / kRx;
                    const double v = (y + (sy + 0.5) / kSamples - kCy) / kRy;
                    const double r2 = u * u + v * v;
                    if (r2 > 1.0)
                        continue;
                    const double w = std::sqrt(1.0 - r2);
                    const double diffuse = std::max(0.0, u * lx + v * ly + w * lz);
                    const double gloss = std::pow(std::max(0.0, u * hx + v * hy + w * hz), 40.0);
                    sum += std::min(255.0, 50.0 + 124.0 * diffuse + 230.0 * gloss);
                }
            }
            const int grey = static_cast<int>(std::lround(sum / (kSamples * kSamples)));
            image.setPixel(x, y, qRgb(grey, grey, grey));
        }
    }
    return image;
}

QImage displayPanel()
{
    constexpr int kWidth = 230;
    constexpr int kHeight = 115;
    // Solid green over 8..221 x 11..103 with corners rounded by kCorner; the
    // edge fades out over the next kFade pixels (horizontally), reaching black
    // just outside 3..226 x 7..107. Vertical distances are stretched so the
    // shorter top and bottom fades end at the same place.
    constexpr double kLeft = 8.0;
    constexpr double kRight = 221.0;
    constexpr double kTop = 11.0;
    constexpr double kBottom = 103.0;
    constexpr double kCorner = 4.0;
    constexpr double kFade = 6.0;
    constexpr double kVerticalStretch = 6.0 / 5.0;
    const QColor green(148, 226, 148);

    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double cx = (kLeft + kRight) / 2.0;
            const double cy = (kTop + kBottom) / 2.0;
            const double qx = std::abs(x - cx) - (kRight - kLeft) / 2.0 + kCorner;
            const double qy = (std::abs(y - cy) - (kBottom - kTop) / 2.0) * kVerticalStretch + kCorner;
            const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
            const double inside = std::min(std::max(qx, qy), 0.0);
            const double distance = outside + inside - kCorner;
            const double level = std::clamp(1.0 - distance / kFade, 0.0, 1.0);
            // Smoothstep gives the fade soft ends instead of a visible ramp.
            const double a = level * level * (3.0 - 2.0 * level);
            image.setPixel(x, y,
                           qRgb(int(std::lround(green.red() * a)), int(std::lround(green.green() * a)),
                                int(std::lround(green.blue() * a))));
        }
    }
    return image;
}

QList<IndexedImage> windowIcon()
{
    QImage rich = blankIcon();
    {
        QPainter p(&rich);
        p.setRenderHint(QPainter::Antialiasing, true);
        PainterCanvas canvas(p);
        drawLoopPage(canvas, kRichInks, true);
    }
    QList<QRgb> palette{qRgb(0, 0, 0)};
    palette.append(adaptivePalette(rich, 255));

    QImage plain = blankIcon();
    {
        QPainter p(&plain);
        p.setRenderHint(QPainter::Antialiasing, false);
        PainterCanvas canvas(p);
        drawLoopPage(canvas,
                     {QColor(kStandard16[15]), QColor(kStandard16[0]), QColor(kStandard16[8]),
                      QColor(kStandard16[9]), QColor(kStandard16[1]), QColor(kStandard16[5]),
                      QColor(kStandard16[0])},
                     false);
    }
    return {toIndexed(rich, palette, 8), toIndexed(plain, kStandard16, 4)};
}

QImage applicationIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / double(kIconSize), size / double(kIconSize));
    PainterCanvas canvas(p);
    drawLoopPage(canvas, kRichInks, true);
    return image;
}

QByteArray applicationIconSvg()
{
    SvgCanvas canvas;
    drawLoopPage(canvas, kRichInks, true);
    return canvas.document();
}

IndexedImage tipIcon()
{
    const QColor black(kStandard16[0]);
    const QColor olive(kStandard16[3]);
    const QColor teal(kStandard16[6]);
    const QColor silver(kStandard16[7]);
    const QColor grey(kStandard16[8]);
    const QColor yellow(kStandard16[11]);
    const QColor cyan(kStandard16[14]);
    const QColor white(kStandard16[15]);

    QImage image = blankIcon();
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, false);

        // The diamond the bulb stands on, its edges at a clean 2:1 slope.
        p.setPen(teal);
        p.setBrush(cyan);
        p.drawPolygon(QPolygon({QPoint(16, 19), QPoint(28, 25), QPoint(16, 31), QPoint(4, 25)}));

        // The glass: a round top narrowing into a neck, shaded on the right.
        const QRect globe(7, 1, 19, 17);
        QPainterPath glass;
        glass.addEllipse(globe);
        QPainterPath neck;
        neck.addPolygon(QPolygonF({QPointF(10, 13), QPointF(23, 13), QPointF(20, 21), QPointF(13, 21)}));
        glass = glass.united(neck);
        p.setPen(Qt::NoPen);
        p.setBrush(olive);
        p.drawPath(glass);
        p.save();
        p.setClipPath(glass);
        p.setBrush(yellow);
        p.drawEllipse(globe.translated(-2, 0));
        p.fillRect(QRect(11, 13, 9, 8), yellow);
        p.restore();
        p.setPen(black);
        p.setBrush(Qt::NoBrush);
        p.drawPath(glass);
        p.fillRect(QRect(11, 4, 2, 2), white);
        p.fillRect(QRect(10, 6, 1, 3), white);

        // The exclamation mark.
        p.fillRect(QRect(15, 4, 3, 8), black);
        p.fillRect(QRect(16, 12, 1, 1), black);
        p.fillRect(QRect(15, 14, 3, 2), black);

        // The screw base and its contact.
        p.setPen(black);
        p.setBrush(silver);
        p.drawRect(QRect(13, 21, 7, 4));
        p.fillRect(QRect(14, 23, 6, 1), grey);
        p.fillRect(QRect(15, 26, 3, 1), black);
    }
    return toIndexed(image, kStandard16, 4);
}

} // namespace qb::imagegen
