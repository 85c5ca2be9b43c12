#pragma once

#include "Dib.h"

#include <QImage>

namespace qb::imagegen {

// The image button face: 61 x 27, a grey ellipse lit from the upper left on black.
QImage buttonFace();

// The display panel: 230 x 115, a light-green rounded panel fading into black.
QImage displayPanel();

// The window icon, 32 x 32: a white page with a red circular arrow over its
// top edge and purple staff lines with notes. The first entry has up to 256
// colours, the second 16 (the standard 16-colour palette).
QList<IndexedImage> windowIcon();

// The window icon's full-colour design for the desktop: `size` x `size` pixels with soft edges, and
// as a scalable SVG document (32 x 32 units).
QImage applicationIcon(int size);
QByteArray applicationIconSvg();

// The tip icon, 32 x 32, 16 colours: a yellow light bulb with a black
// exclamation mark standing on a cyan diamond.
IndexedImage tipIcon();

} // namespace qb::imagegen
