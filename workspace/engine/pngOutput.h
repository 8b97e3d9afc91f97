#pragma once

#include "workspace/engine/imageOutput.h"

#include <QImage>
#include <QString>

#include <functional>

class QIODevice;

namespace engine {

using PngWriteResult = WriteResult;

// zlib's effort and the row filters. The defaults were measured on enlarged photographs (see
// brivelle_engine_bench write): several times faster than libpng's own defaults for a few per cent
// more bytes.
struct PngSettings {
    int level = 2;        // zlib's compression level, 0 to 9
    int filters = 0x80;   // libpng's PNG_FILTER_* mask; more than one makes it try each on every row
    int strategy = 1;     // zlib's strategy (Z_FILTERED)
};

// Encodes the image as a PNG onto the device: 16 bits a channel for a deep image, 8 otherwise; grey
// when `grey` or the image's format is grey; alpha when the image has an alpha channel. The colour
// space goes in as an ICC profile (not for grey, which an RGB profile does not describe) and the
// resolution as it is. progress, when given, gets 0 to 100 as the rows go out. False, with the reason
// in *error, when the device refuses the bytes or memory runs out.
bool encodePng(const QImage &image, bool grey, QIODevice *device, QString *error,
               const std::function<void(int percent)> &progress = {}, const PngSettings &settings = {});

// Writes the image as a PNG under the first free name of outputCandidate(folder, inputPath, k): see
// writeNewPicture.
PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath);

} // namespace engine
