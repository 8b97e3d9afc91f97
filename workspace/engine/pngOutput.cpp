#include "workspace/engine/pngOutput.h"

#include "workspace/engine/outputNaming.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QRandomGenerator>

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
    // half-written picture, whatever stops the process. Created like any new file (not as a private
    // temporary one), so the result gets the usual permissions.
    QFile part;
    for (int attempt = 0; attempt < 100 && !part.isOpen(); ++attempt) {
        part.setFileName(folder +
                         QStringLiteral("/.brivelle-%1.png.part")
                             .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')));
        if (!part.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(part.fileName()))
            break;
    }
    if (!part.isOpen()) {
        result.error = QStringLiteral("cannot create a file in %1: %2").arg(folder, part.errorString());
        return result;
    }
    QImageWriter writer(&part, "png");
    const bool written = writer.write(image) && part.flush();
    const QString writeError =
        writer.error() != QImageWriter::UnknownError ? writer.errorString() : part.errorString();
    part.close();
    if (!written || part.error() != QFileDevice::NoError) {
        part.remove();
        result.error = QStringLiteral("cannot write into %1: %2").arg(folder, writeError);
        return result;
    }

    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(folder, inputPath, k);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // Never replaces: a name taken meanwhile (another program, another batch) fails the rename.
        if (part.rename(candidate)) {
            result.path = candidate;
            return result;
        }
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) {
            result.error = QStringLiteral("cannot create %1: %2").arg(candidate, part.errorString());
            part.remove();
            return result;
        }
    }
    part.remove();
    result.error = QStringLiteral("no free name for %1 in %2").arg(QFileInfo(inputPath).baseName(), folder);
    return result;
}

} // namespace engine
