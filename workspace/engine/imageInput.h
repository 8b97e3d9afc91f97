#pragma once

#include <QImage>
#include <QString>

namespace engine {

struct LoadedImage {
    QImage image; // null on failure
    QString error;
};

// Decodes a file for the batch with the orientation stored in it applied, as the thumbnails show it:
// the PNG written later carries no orientation tag. The colour space read from the file stays on the
// image.
LoadedImage loadInputImage(const QString &path);

} // namespace engine
