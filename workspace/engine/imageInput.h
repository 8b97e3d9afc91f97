#pragma once

#include "workspace/engine/fileProblems.h"

#include <QImage>
#include <QString>

namespace engine {

struct LoadedImage {
    QImage image; // null on failure
    InputProblem problem = InputProblem::None;
    QString error; // the problem in the user's words
};

// Decodes a file for the batch with the orientation stored in it applied, as the thumbnails show it:
// the PNG written later carries no orientation tag. The colour space read from the file stays on the
// image. A file whose data stops early is refused rather than enlarged with its missing part grey.
LoadedImage loadInputImage(const QString &path);

} // namespace engine
