#pragma once

#include "workspace/engine/picture.h"

#include <QImage>

namespace engine {

// True when the image has an alpha channel and at least one pixel, read as straight RGBA, is not
// fully opaque (read at 16 bits for a deep picture). The scan stops at the first such pixel. Asked
// once, when a picture is decoded (Picture::decoded); later stages read Picture::channels.
bool hasTransparency(const QImage &image);

// The straight alpha of every pixel as a Format_Grayscale8 image of the same size, Format_Grayscale16
// for a deep picture.
QImage extractAlphaPlane(const Picture &picture);

// The image composited over opaque white, as Format_RGB888.
QImage flattenOnWhite(const QImage &image);

// Format_RGBA8888 of the colour image's size: its RGB with the alpha plane smoothly scaled to that
// size as the alpha byte; Format_RGBA64 with 16-bit alpha at depth 16. Null when either input is null.
QImage mergeAlpha(const QImage &colour, const QImage &alphaPlane, int depth);

} // namespace engine
