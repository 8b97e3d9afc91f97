#include "workspace/engine/pngOutput.h"

#include "workspace/engine/fileProblems.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/partFile.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

#include <cerrno>

namespace engine {

PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath)
{
    PngWriteResult result;
    if (image.isNull()) {
        result.error = QStringLiteral("no image to write");
        return result;
    }
    if (!QFileInfo(folder).isDir()) {
        result.error = writeFailureReason(ENOENT, QString());
        return result;
    }

    // Encoded under a hidden name first and renamed into place whole, so a result name never holds a
    // half-written picture, whatever stops the process.
    // errno is read right after each failing call: it names the cause the user can act on.
    QFile part;
    PartFile partFile;
    int systemError = partFile.create(part, folder, QStringLiteral("png"));
    if (systemError != 0) {
        result.error = writeFailureReason(systemError, part.errorString());
        return result;
    }
    QImageWriter writer(&part, "png");
    errno = 0;
    const bool written = writer.write(image) && part.flush();
    systemError = errno;
    const QString writeError =
        part.error() != QFileDevice::NoError ? part.errorString() : writer.errorString();
    part.close();
    if (systemError == 0)
        systemError = errno;
    if (!written || part.error() != QFileDevice::NoError) {
        part.remove();
        result.error = writeFailureReason(systemError, writeError);
        return result;
    }

    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(folder, inputPath, k);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // Never replaces: a name taken meanwhile (another program, another batch) fails the rename.
        errno = 0;
        if (part.rename(candidate)) {
            result.path = candidate;
            return result;
        }
        const int renameError = errno;
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) {
            result.error = writeFailureReason(renameError, part.errorString());
            part.remove();
            return result;
        }
    }
    part.remove();
    result.error = QStringLiteral("no free name for %1 in %2").arg(QFileInfo(inputPath).baseName(), folder);
    return result;
}

} // namespace engine
