#pragma once

#include <QImage>
#include <QString>

// Edge of the shorter side of a file-list thumbnail, in pixels.
inline constexpr int thumbnailEdge = 64;

struct Thumbnail {
    QImage image;     // null when the file could not be decoded
    QString sizeText; // "<width>x<height>" of the decoded image before scaling; "0x0" when undecodable
};

// The process-wide decoding limit of 256 MB that guards every later decode against images too
// large to hold. Set it on the GUI thread before decodes start on the pool.
void setThumbnailDecodeLimit();

// Decodes a whole file with its stored orientation applied and scales it fast so that its shorter
// side is thumbnailEdge, in logical pixels of a screen with this device pixel ratio (the image carries
// the ratio, so it is drawn crisp at 64 logical pixels). Thread-safe: touches no widget and no shared
// state.
Thumbnail decodeThumbnail(const QString &path, qreal pixelRatio = 1);

// Column-0 text of a row once its thumbnail is made: name, size, folder on three lines.
QString thumbnailLabel(const QString &fileName, const QString &sizeText, const QString &folder);
