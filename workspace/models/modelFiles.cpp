#include "workspace/models/modelFiles.h"

#include "workspace/models/modelDescription.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

QString slotBaseName(int scale)
{
    return scale == 2 ? QStringLiteral("realesrgan-x2plus") : QStringLiteral("realesrgan-x4plus");
}

QString slotParamPath(const QString &folder, int scale)
{
    return folder + QLatin1Char('/') + slotBaseName(scale) + QStringLiteral(".param");
}

int slotScale(int upscaleValue)
{
    return upscaleValue == 1 ? 2 : 4;
}

QList<ModelFile> modelFileTable()
{
    const QString bin = QStringLiteral(".bin");
    const QString param = QStringLiteral(".param");
    return {
        {slotBaseName(2) + bin, 33434888},
        {slotBaseName(2) + param, 101743},
        {slotBaseName(4) + bin, 33424520},
        {slotBaseName(4) + param, 116029},
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

QStringList missingModelFiles(const QString &folder, QStringList *refusals)
{
    QStringList wrongScale;
    for (const int scale : {2, 4}) {
        const QString path = slotParamPath(folder, scale);
        if (folder.isEmpty() || QFileInfo(path).size() != expectedModelFileSize(QFileInfo(path).fileName()))
            continue;
        const Problem refusal = scaleRefusal(describeModel(path), scale);
        if (!refusal)
            continue;
        qDebug().noquote() << refusal.words();
        wrongScale << slotBaseName(scale);
        if (refusals)
            refusals->append(refusal.words());
    }
    QStringList missing;
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &file : table) {
        const QFileInfo info(folder + QLatin1Char('/') + file.fileName);
        if (folder.isEmpty() || !info.isFile() || info.size() != file.size ||
            wrongScale.contains(info.completeBaseName()))
            missing.append(file.fileName);
    }
    return missing;
}
