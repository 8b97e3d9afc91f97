#pragma once

#include <QString>

namespace engine {

// Paths longer than 256 characters are shown as their first 127, "..." and their last 126.
QString displayName(const QString &path);

// What a result is named after: the input's file name without its last suffix, so "trip.day1.png"
// gives "trip.day1" and ".a.png" gives ".a".
QString resultStem(const QString &inputPath);

// The k-th candidate for an input's result in a folder: stem.png for k <= 1, then stem(2).png, ...
// `suffix` replaces png for other result formats.
QString outputCandidate(const QString &folder, const QString &inputPath, int k,
                        const QString &suffix = QStringLiteral("png"));

} // namespace engine
