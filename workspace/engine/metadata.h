#pragma once

#include "base/problem.h"

#include <QByteArray>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <optional>

namespace engine {

// Copies the EXIF, XMP and IPTC of the source file into the encoded picture `target` (PNG, JPEG,
// WebP or TIFF; WebP keeps the IPTC as XMP), rewriting the target. The result is described as it is:
// orientation normal (the pixels were turned when decoded), pixel dimensions `size`, resolution `dpi`
// (dots per inch across and down; none erases the source's), no embedded thumbnail (it shows the old
// picture) and no colour profile (the encoder writes its own). Done too when the source has nothing to
// copy; SourceUnreadable when the source could not be read (the target was not touched), CannotWrite
// when the target could not be rewritten.
Problem copyMetadata(const QString &source, const QString &target, QSize size,
                     const std::optional<QSizeF> &dpi);

// The source's metadata described as copyMetadata describes it, for an encoder that embeds it
// itself (JPEG XL, AVIF): EXIF as a TIFF-structured block, and XMP, with the IPTC mapped into it and
// the result mark (resultMark.h) when given. Empty where there is nothing; SourceUnreadable when
// the source's could not be read (the mark is encoded all the same), CannotWrite when they could not be
// encoded.
struct EncodedMetadata {
    QByteArray exif;
    QByteArray xmp;
};
Problem encodedMetadata(const QString &source, QSize size, const std::optional<QSizeF> &dpi,
                        const QString &mark, EncodedMetadata &encoded);

// The EXIF X/YResolution of a file (TIFF's own tags for a TIFF) and its ResolutionUnit (2 inch, 3
// centimetre; 0 when absent, 1 none), or nothing when the file states none.
struct ExifResolution {
    double x = 0;
    double y = 0;
    int unit = 0;
};
std::optional<ExifResolution> exifResolution(const QString &path);

// The result mark (resultMark.h) in the XMP of a file whose format keeps no picture text (JPEG,
// WebP, TIFF; AVIF and JPEG XL are read only). Writing rewrites the file (CannotWrite when it could
// not); reading returns the mark, or an empty string when there is none.
Problem writeXmpMark(const QString &target, const QString &mark);
QString readXmpMark(const QString &path);

} // namespace engine
