#include "workspace/engine/pngOutput.h"

#include "workspace/engine/outputNaming.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

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
    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(folder, inputPath, k);
        QFile file(candidate);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
                continue;
            result.error = QStringLiteral("cannot create %1: %2").arg(candidate, file.errorString());
            return result;
        }
        QImageWriter writer(&file, "png");
        const bool written = writer.write(image) && file.flush();
        const QString writeError =
            writer.error() != QImageWriter::UnknownError ? writer.errorString() : file.errorString();
        file.close();
        if (!written || file.error() != QFileDevice::NoError) {
            file.remove();
            result.error = QStringLiteral("cannot write %1: %2").arg(candidate, writeError);
            return result;
        }
        result.path = candidate;
        return result;
    }
    result.error = QStringLiteral("no free name for %1 in %2").arg(QFileInfo(inputPath).baseName(), folder);
    return result;
}

} // namespace engine
