#pragma once

#include <QSize>
#include <QString>

namespace engine {

// Copies the EXIF, XMP and IPTC of the source file into the encoded picture `target` (PNG, JPEG or
// WebP; WebP keeps the IPTC as XMP), rewriting the target. The result is described as it is: orientation
// normal (the pixels were turned when decoded), pixel dimensions `size`, and no embedded thumbnail (it shows
// the old picture). Empty when done or when the source has nothing to copy; otherwise why not. sourceProblem
// tells whether the failure was in reading the source (the target was not touched).
QString copyMetadata(const QString &source, const QString &target, QSize size, bool *sourceProblem = nullptr);

// The result mark (resultMark.h) in the XMP of a file whose format keeps no picture text (JPEG,
// WebP). Writing rewrites the file and returns why it could not, or an empty string; reading returns
// the mark, or an empty string when there is none.
QString writeXmpMark(const QString &target, const QString &mark);
QString readXmpMark(const QString &path);

} // namespace engine
