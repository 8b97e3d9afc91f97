#pragma once

#include <QString>

namespace engine {

// Paths longer than 256 characters are shown as their first 127, "..." and their last 126.
QString displayName(const QString &path);

// The k-th candidate for an input's result in a folder: base.png for k <= 1, then base(2).png, ...
// The base is the file name up to its first dot; `suffix` replaces png for other result formats.
QString outputCandidate(const QString &folder, const QString &inputPath, int k,
                        const QString &suffix = QStringLiteral("png"));

} // namespace engine
