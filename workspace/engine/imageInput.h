#pragma once

#include "workspace/engine/fileProblems.h"
#include "workspace/engine/picture.h"

#include <QImage>
#include <QSizeF>
#include <QString>

#include <optional>

namespace engine {

// The decoded picture (its image null on failure), and why it did not decode.
struct LoadedImage : Picture {
    InputProblem problem = InputProblem::None;
    QString error; // the problem in the user's words
    QString note;  // something the user should know about a picture that did load, in their words
};

// Decodes a file for the batch with the orientation stored in it applied, as the thumbnails show it:
// the result written later says its orientation is normal. What the picture is (Picture) is decided
// here: grey when the file stores grey, even where the decoder gave a colour format. The colour space read
// from the file stays on the image, and so do 16 bits a channel. A file whose data stops early is refused
// rather than enlarged with its missing part grey. Of an animation or a multi-page file only the first
// picture is decoded, and the note says so. A picture whose header declares more pixels than the decoder may
// take, or than memory could hold once enlarged by `scale`, is refused before it is decoded.
LoadedImage loadInputImage(const QString &path, int scale = 1);

// The resolution a file states: a PNG's pHYs chunk, a JPEG's JFIF density, else its EXIF (TIFF
// tags among them) X/YResolution and unit; none when it states none.
std::optional<QSizeF> sourceResolution(const QString &path);

// Whether PNG data stores grey (colour types 0 and 4), from its header; false for anything else.
bool pngStoresGrey(const QByteArray &head);

} // namespace engine
