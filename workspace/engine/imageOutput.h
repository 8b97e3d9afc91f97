#pragma once

#include "workspace/engine/picture.h"

#include <QImage>
#include <QList>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

namespace engine {

// The file format of the results.
struct OutputFormat {
    enum class Kind { Png, Jpeg, Webp, Tiff, Jxl, Avif };
    Kind kind = Kind::Png;
    // 1 to 100 for JPEG, WebP, JPEG XL and AVIF; -1 leaves it to the encoder (JPEG XL: lossless)
    int quality = -1;
    // Dots per inch for every result, instead of the source's.
    std::optional<double> dpi;

    QString suffix() const;
    // Whether `quality` means anything for this kind: the lossy ones (JPEG XL: lossy only with it).
    bool takesQuality() const;
    // Every kind the writer can make, in the order a list of them is shown (PNG first); the window's
    // format list is made from this, so a kind added here appears there too.
    static QList<OutputFormat> offered();
    // "png", "jpg" or "jpeg", "webp", "tif" or "tiff", "jxl", "avif", in any letter case; nothing for
    // other names.
    static std::optional<OutputFormat> named(const QString &name, int quality = -1);
};

struct WriteResult {
    QString path; // the file written; empty on failure
    QString error;
    QString note;           // written, but something the user should know (metadata that could not be copied)
    bool transient = false; // failed for a reason that may pass (a full disk)
    bool ok() const { return !path.isEmpty(); }
};

struct PictureToWrite {
    // The pixels, described by the source's record: depth, channels (grey with alpha as an alpha image
    // with equal colour channels, see Upscaler), profile and resolution.
    Picture result;
    QString folder;
    QString inputPath; // names the result
    OutputFormat format;
    std::function<void(int percent)> progress; // on the writing thread, while the pixels are encoded
};

// Writes the picture under the first free name of outputCandidate(folder, inputPath, k, suffix). It
// is encoded, and given the input's metadata, under a hidden temporary name and renamed into place
// whole, by a rename that never replaces, so a file that appears meanwhile (another program, another
// batch) is never overwritten and a result name never holds half a picture; a failed write removes
// what it left. PNG, TIFF and JPEG XL keep 16 bits, grey and alpha, AVIF 10 bits; JPEG and WebP hold
// 8 bits, and JPEG, which has no alpha, gets the picture composed over white. The resolution
// (format.dpi, else the source's) goes into the format's own fields (PNG pHYs, JPEG JFIF, TIFF) and
// into the EXIF the result carries; a result without one says none (JFIF: aspect ratio only).
// JPEG XL and AVIF results get their metadata and mark from their encoder, the others from exiv2.
WriteResult writeNewPicture(const PictureToWrite &picture);

} // namespace engine
