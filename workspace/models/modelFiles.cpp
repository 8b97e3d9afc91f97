#include "workspace/models/modelFiles.h"

#include <QDir>
#include <QFileInfo>

QList<ModelFile> modelFileTable()
{
    return {
        {QStringLiteral("realesrgan-x2plus.bin"), 33434888},
        {QStringLiteral("realesrgan-x2plus.param"), 101743},
        {QStringLiteral("realesrgan-x4plus.bin"), 33424520},
        {QStringLiteral("realesrgan-x4plus.param"), 116029},
    };
}

qint64 expectedModelFileSize(const QString &fileName)
{
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &file : table) {
        if (file.fileName == fileName)
            return file.size;
    }
    return -1;
}

QString modelFilePath(const QString &folder, const QString &fileName)
{
    return QDir::toNativeSeparators(folder + QLatin1Char('/') + fileName);
}

QStringList missingModelFiles(const QString &folder)
{
    QStringList missing;
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &file : table) {
        const QFileInfo info(folder + QLatin1Char('/') + file.fileName);
        if (folder.isEmpty() || !info.isFile() || info.size() != file.size)
            missing.append(file.fileName);
    }
    return missing;
}
