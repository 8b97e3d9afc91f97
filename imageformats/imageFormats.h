#pragma once

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>

// Decoders of our own for the formats Qt's plugins do not read (HEIF, HEIC and AVIF through
// libheif; JPEG XL through libjxl), as image plugins linked into the programs: QImageReader then reads
// them like every other format.

// Makes the decoders known to QImageReader. Called once at start, before anything reads a picture;
// calling it again does nothing.
void registerImageFormats();

namespace imageformats {

// The EXIF (TIFF header first) and XMP blocks of a HEIF, HEIC or AVIF file's primary picture, read
// through libheif: exiv2 does not find them in every file, those of heif-enc among them. Empty where
// the file has none or is no such file.
struct EmbeddedMetadata {
    QByteArray exif;
    QByteArray xmp;
};
EmbeddedMetadata heifMetadata(const QString &path);

// The orientation an EXIF block (TIFF header first) states, as QImageReader's transformations.
QImageIOHandler::Transformations exifOrientation(const QByteArray &tiff);

// Widens samples of `bits` (9 to 16) in the low bits of 16-bit words to the full 16-bit range, in
// place, as replicating the top bits does: the maximum stays the maximum.
void widenSamples(quint16 *samples, qsizetype count, int bits);

} // namespace imageformats
