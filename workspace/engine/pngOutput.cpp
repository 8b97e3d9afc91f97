#include "workspace/engine/pngOutput.h"

#include "workspace/engine/outputNaming.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QTemporaryFile>

namespace engine {

PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath)
{
    PngWriteResult result;
    if (image.isNull()) {
        result.error = QStringLiteral("no image to write");
        return result;
    }
    if (!QFileInfo(folder).isDir()) {
        result.error = QStringLiteral("the output folder %1 does not exist").arg(folder);
        return result;
    }

    // Encoded under a hidden name first and renamed into place whole, so a result name never holds a
    // half-written picture, whatever stops the process.
    QTemporaryFile part(folder + QStringLiteral("/.brivelle-XXXXXX.png.part"));
    if (!part.open()) {
        result.error = QStringLiteral("cannot create a file in %1: %2").arg(folder, part.errorString());
        return result;
    }
    QImageWriter writer(&part, "png");
    const bool written = writer.write(image) && part.flush();
    if (!written || part.error() != QFileDevice::NoError) {
        result.error = QStringLiteral("cannot write into %1: %2")
                           .arg(folder, writer.error() != QImageWriter::UnknownError ? writer.errorString()
                                                                                     : part.errorString());
        return result;
    }
    part.close();

    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(folder, inputPath, k);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // Never replaces: a name taken meanwhile (another program, another batch) fails the rename.
        if (part.rename(candidate)) {
            part.setAutoRemove(false);
            result.path = candidate;
            return result;
        }
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) {
            result.error = QStringLiteral("cannot create %1: %2").arg(candidate, part.errorString());
            return result;
        }
    }
    result.error = QStringLiteral("no free name for %1 in %2").arg(QFileInfo(inputPath).baseName(), folder);
    return result;
}

} // namespace engine
