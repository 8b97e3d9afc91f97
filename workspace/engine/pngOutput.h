#pragma once

#include <QImage>
#include <QString>

namespace engine {

struct PngWriteResult {
    QString path; // the file written; empty on failure
    QString error;
    bool ok() const { return !path.isEmpty(); }
};

// Writes the image as a PNG under the first free name of outputCandidate(folder, inputPath, k). A
// name is taken only by creating its file new, so a file that appears meanwhile (another program,
// another batch) is never overwritten; a failed write removes what it left behind.
PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath);

} // namespace engine
