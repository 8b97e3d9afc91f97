#pragma once

#include "workspace/engine/metadata.h"
#include "workspace/engine/picture.h"

#include <QImage>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

class QIODevice;

namespace engine {

// What the TIFF, JPEG XL and AVIF encoders write: the picture's samples as sampleLayout (pictureDepth.h)
// keeps them, its ICC profile where it describes the file's channels, and the resolution where the
// format has a field for it (TIFF; the others keep it in `metadata`'s EXIF).
struct Encoding {
    Picture picture;
    std::optional<QSizeF> dpi; // dots per inch across and down; none writes none
    int quality = -1;          // 1 to 100; -1: JPEG XL lossless, AVIF kDefaultAvifQuality
    EncodedMetadata metadata;  // embedded by the JPEG XL and AVIF encoders; TIFF gets it from exiv2
    std::function<void(int percent)> progress;
};

constexpr int kDefaultAvifQuality = 80;

// Each encodes onto the device; CannotWrite with the reason when it cannot.
// TIFF: 8 or 16 bits, grey, unassociated alpha (grey with alpha as RGBA), deflate with the horizontal
// predictor.
Problem encodeTiff(const Encoding &encoding, QIODevice *device);
// JPEG XL: lossless, or lossy at a distance from the quality as cjxl maps it; 8 or 16 bits.
Problem encodeJxl(const Encoding &encoding, QIODevice *device);
// AVIF through libavif's AV1 encoder: 4:4:4 (4:0:0 for grey), 8 bits or 10 for a deep picture.
Problem encodeAvif(const Encoding &encoding, QIODevice *device);

} // namespace engine
