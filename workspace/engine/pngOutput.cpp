#include "workspace/engine/pngOutput.h"

#include "workspace/engine/fileProblems.h"
#include "workspace/engine/outputNaming.h"

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
    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(folder, inputPath, k);
        QFile file(candidate);
        // errno is read right after the failing call: it names the cause the user can act on.
        errno = 0;
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            const int openError = errno;
            if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
                continue;
            result.error = writeFailureReason(openError, file.errorString());
            return result;
        }
        QImageWriter writer(&file, "png");
        errno = 0;
        const bool written = writer.write(image) && file.flush();
        int writeErrno = errno;
        const QString writeError =
            file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
        file.close();
        if (writeErrno == 0)
            writeErrno = errno;
        if (!written || file.error() != QFileDevice::NoError) {
            file.remove();
            result.error = writeFailureReason(writeErrno, writeError);
            return result;
        }
        result.path = candidate;
        return result;
    }
    result.error = QStringLiteral("no free name for %1 in %2").arg(QFileInfo(inputPath).baseName(), folder);
    return result;
}

} // namespace engine
