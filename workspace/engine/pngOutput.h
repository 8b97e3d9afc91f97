#pragma once

#include <QImage>
#include <QString>

namespace engine {

struct PngWriteResult {
    QString path; // the file written; empty on failure
    QString error;
    bool ok() const { return !path.isEmpty(); }
};

// Writes the image as a PNG under the first free name of outputCandidate(folder, inputPath, k). The
// picture is encoded under a hidden temporary name and renamed into place whole, by a rename that
// never replaces, so a file that appears meanwhile (another program, another batch) is never
// overwritten and a result name never holds half a picture; a failed write removes what it left.
PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath);

} // namespace engine
