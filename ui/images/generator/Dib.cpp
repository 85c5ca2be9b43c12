#include "Dib.h"

#include <stdexcept>

namespace qb::imagegen {
namespace {

constexpr std::uint32_t kPelsPerMeter96Dpi = 3780;
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;
constexpr std::uint32_t kFileHeaderSize = 14;

void putU16(QByteArray& out, std::uint32_t value)
{
    out.append(static_cast<char>(value & 0xFF));
    out.append(static_cast<char>((value >> 8) & 0xFF));
}

void putU32(QByteArray& out, std::uint32_t value)
{
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

std::uint32_t rowBytes(int width, int bitsPerPixel)
{
    return ((static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(bitsPerPixel) + 31) / 32) * 4;
}

void putInfoHeader(QByteArray& out, int width, int storedHeight, int bitsPerPixel, std::uint32_t imageSize,
                   std::uint32_t coloursUsed, std::uint32_t pelsPerMeter)
{
    putU32(out, kBitmapInfoHeaderSize);
    putU32(out, static_cast<std::uint32_t>(width));
    putU32(out, static_cast<std::uint32_t>(storedHeight));
    putU16(out, 1); // planes
    putU16(out, static_cast<std::uint32_t>(bitsPerPixel));
    putU32(out, 0); // BI_RGB
    putU32(out, imageSize);
    putU32(out, pelsPerMeter);
    putU32(out, pelsPerMeter);
    putU32(out, coloursUsed);
    putU32(out, 0); // all colours important
}

void putPalette(QByteArray& out, const QList<QRgb>& palette, qsizetype entries)
{
    for (qsizetype i = 0; i < entries; ++i) {
        const QRgb c = i < palette.size() ? palette[i] : qRgb(0, 0, 0);
        out.append(static_cast<char>(qBlue(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qRed(c)));
        out.append('\0');
    }
}

// Palette pixels, bottom-up, each row padded to a multiple of four bytes.
// Transparent pixels are written as index 0 so that the XOR image is black
// under the AND mask, as the icon format expects.
void putIndexedRows(QByteArray& out, const IndexedImage& image, int bitsPerPixel, bool blankTransparent)
{
    const std::uint32_t stride = rowBytes(image.width, bitsPerPixel);
    for (int y = image.height - 1; y >= 0; --y) {
        QByteArray row(static_cast<qsizetype>(stride), '\0');
        for (int x = 0; x < image.width; ++x) {
            const auto at = static_cast<std::size_t>(y * image.width + x);
            std::uint8_t index = image.pixels[at];
            if (blankTransparent && !image.transparent.empty() && image.transparent[at])
                index = 0;
            if (bitsPerPixel == 8) {
                row[x] = static_cast<char>(index);
            } else {
                const auto shift = (x % 2 == 0) ? 4 : 0;
                row[x / 2] = static_cast<char>(static_cast<std::uint8_t>(row[x / 2]) | (index << shift));
            }
        }
        out.append(row);
    }
}

void putMaskRows(QByteArray& out, const IndexedImage& image)
{
    const std::uint32_t stride = rowBytes(image.width, 1);
    for (int y = image.height - 1; y >= 0; --y) {
        QByteArray row(static_cast<qsizetype>(stride), '\0');
        for (int x = 0; x < image.width; ++x) {
            const auto at = static_cast<std::size_t>(y * image.width + x);
            if (!image.transparent.empty() && image.transparent[at])
                row[x / 8] = static_cast<char>(static_cast<std::uint8_t>(row[x / 8]) | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
}

void checkIndexed(const IndexedImage& image)
{
    const auto count = static_cast<std::size_t>(image.width * image.height);
    if (image.width <= 0 || image.height <= 0 || image.pixels.size() != count ||
        (!image.transparent.empty() && image.transparent.size() != count) || image.palette.isEmpty() ||
        image.palette.size() > 256)
        throw std::invalid_argument("malformed indexed image");
    for (const std::uint8_t index : image.pixels) {
        if (index >= image.palette.size())
            throw std::invalid_argument("pixel outside the palette");
    }
}

} // namespace

QByteArray bmpFile8(const IndexedImage& image)
{
    checkIndexed(image);
    const auto colours = static_cast<std::uint32_t>(image.palette.size());
    const std::uint32_t imageSize = rowBytes(image.width, 8) * static_cast<std::uint32_t>(image.height);
    const std::uint32_t offset = kFileHeaderSize + kBitmapInfoHeaderSize + colours * 4;

    QByteArray out;
    out.append("BM");
    putU32(out, offset + imageSize);
    putU32(out, 0); // reserved
    putU32(out, offset);
    putInfoHeader(out, image.width, image.height, 8, imageSize, colours, kPelsPerMeter96Dpi);
    putPalette(out, image.palette, image.palette.size());
    putIndexedRows(out, image, 8, false);
    return out;
}

QByteArray bmpFile24(const QImage& source)
{
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    const std::uint32_t stride = rowBytes(image.width(), 24);
    const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(image.height());
    const std::uint32_t offset = kFileHeaderSize + kBitmapInfoHeaderSize;

    QByteArray out;
    out.append("BM");
    putU32(out, offset + imageSize);
    putU32(out, 0);
    putU32(out, offset);
    putInfoHeader(out, image.width(), image.height(), 24, imageSize, 0, kPelsPerMeter96Dpi);
    for (int y = image.height() - 1; y >= 0; --y) {
        QByteArray row(static_cast<qsizetype>(stride), '\0');
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            row[3 * x] = static_cast<char>(qBlue(c));
            row[3 * x + 1] = static_cast<char>(qGreen(c));
            row[3 * x + 2] = static_cast<char>(qRed(c));
        }
        out.append(row);
    }
    return out;
}

QByteArray icoFile(const QList<IndexedImage>& images)
{
    constexpr std::uint32_t kDirHeaderSize = 6;
    constexpr std::uint32_t kDirEntrySize = 16;

    QList<QByteArray> bodies;
    QList<int> depths;
    for (const IndexedImage& image : images) {
        checkIndexed(image);
        if (image.width > 256 || image.height > 256)
            throw std::invalid_argument("icon image too large");
        const int bits = image.iconBits;
        if ((bits != 4 && bits != 8) || image.palette.size() > (qsizetype(1) << bits))
            throw std::invalid_argument("icon palette does not fit its depth");
        const qsizetype tableEntries = qsizetype(1) << bits;
        const std::uint32_t xorSize = rowBytes(image.width, bits) * static_cast<std::uint32_t>(image.height);
        const std::uint32_t andSize = rowBytes(image.width, 1) * static_cast<std::uint32_t>(image.height);

        QByteArray body;
        // The stored height covers the XOR image and the AND mask together.
        putInfoHeader(body, image.width, image.height * 2, bits, xorSize + andSize, 0, 0);
        putPalette(body, image.palette, tableEntries);
        putIndexedRows(body, image, bits, true);
        putMaskRows(body, image);
        bodies.append(body);
        depths.append(bits);
    }

    QByteArray out;
    putU16(out, 0); // reserved
    putU16(out, 1); // icon
    putU16(out, static_cast<std::uint32_t>(images.size()));
    auto offset = static_cast<std::uint32_t>(kDirHeaderSize + kDirEntrySize * images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const IndexedImage& image = images[i];
        out.append(static_cast<char>(image.width == 256 ? 0 : image.width));
        out.append(static_cast<char>(image.height == 256 ? 0 : image.height));
        out.append(static_cast<char>(depths[i] == 4 ? 16 : 0)); // 0 stands for 256 colours
        out.append('\0');
        putU16(out, 1);
        putU16(out, static_cast<std::uint32_t>(depths[i]));
        putU32(out, static_cast<std::uint32_t>(bodies[i].size()));
        putU32(out, offset);
        offset += static_cast<std::uint32_t>(bodies[i].size());
    }
    for (const QByteArray& body : bodies)
        out.append(body);
    return out;
}

} // namespace qb::imagegen
