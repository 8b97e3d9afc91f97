#pragma once

#include "base/problem.h"
#include "workspace/engine/imageOutput.h"
#include "workspace/engine/picture.h"

#include <QImage>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

class QIODevice;

namespace engine {

using PngWriteResult = WriteResult;

// zlib's effort, the row filter and zlib's strategy. Measured on enlarged pictures (brivelle_engine_bench
// write): one filter at level 2 is several times faster than libpng's defaults. Which filter and
// strategy give the fewest bytes depends on the picture: run-length matching makes the smooth results
// of the network smaller than Qt's writer did, but grainy ones a third larger. So unless both are
// given, a strip of the picture is encoded with each of a few pairs and the smallest wins.
struct PngSettings {
    int level = 2;     // zlib's compression level, 0 to 9
    int filters = 0;   // libpng's PNG_FILTER_* mask; 0: chosen by a strip
    int strategy = -1; // zlib's strategy (Z_DEFAULT_STRATEGY, Z_RLE, ...); -1: chosen by a strip
};

// Encodes the picture as a PNG onto the device at its depth and with its channels. Its ICC profile
// goes in when it describes the file's channels (grey or RGB) and the
// resolution `dpi` (dots per inch across and down) when given. progress, when given, gets 0 to 100 as the
// rows go out. CannotWrite, with the reason, when the device refuses the bytes or memory runs out; a
// profile the encoder refuses is left out instead, and *note says so.
Problem encodePng(const Picture &picture, QIODevice *device,
                  const std::function<void(int percent)> &progress = {}, const PngSettings &settings = {},
                  QString *note = nullptr, const std::optional<QSizeF> &dpi = std::nullopt);
// An image of its own making, described as its format stores it (Picture::asStored): grey when `grey`
// or its format is grey.
Problem encodePng(const QImage &image, bool grey, QIODevice *device,
                  const std::function<void(int percent)> &progress = {}, const PngSettings &settings = {},
                  QString *note = nullptr, const std::optional<QSizeF> &dpi = std::nullopt);

// Writes the image as a PNG under the first free name of outputCandidate(folder, inputPath, k): see
// writeNewPicture.
PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath);

} // namespace engine
