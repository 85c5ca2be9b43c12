#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRgb>
#include <cstdint>
#include <vector>

namespace qb::imagegen {

// A palette picture with an optional 1-bit transparency mask, stored top-down.
// pixels[y * width + x] indexes palette; transparent[y * width + x] marks the
// pixels an icon's AND mask lets the background show through. iconBits is the
// depth an icon stores the picture at: 4 (up to 16 colours) or 8 (up to 256).
struct IndexedImage
{
    int width = 0;
    int height = 0;
    int iconBits = 8;
    QList<QRgb> palette;
    std::vector<std::uint8_t> pixels;
    std::vector<bool> transparent;
};

// A complete .bmp file: 8 bits per pixel, uncompressed, with exactly
// image.palette.size() colours in the colour table (biClrUsed).
QByteArray bmpFile8(const IndexedImage& image);

// A complete .bmp file: 24 bits per pixel, uncompressed; alpha is ignored.
QByteArray bmpFile24(const QImage& image);

// A complete .ico file holding the images in the given order, each with its
// colour table padded to 2^iconBits entries and its AND mask. Throws
// std::invalid_argument for an image larger than 256 x 256 or whose palette
// does not fit its depth.
QByteArray icoFile(const QList<IndexedImage>& images);

} // namespace qb::imagegen
