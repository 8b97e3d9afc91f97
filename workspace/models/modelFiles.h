#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// One of the four files the upscaling networks load from the install folder.
struct ModelFile {
    QString fileName;
    qint64 size = 0;
};

// The window's two networks: the base name of the slot of a scale (realesrgan-x2plus for 2,
// realesrgan-x4plus for any other), its .param in a folder, and the slot of a stored "upscaleValue"
// (1 is x2, anything else x4).
QString slotBaseName(int scale);
QString slotParamPath(const QString &folder, int scale);
int slotScale(int upscaleValue);

// The four files in check order, which is also the download order.
QList<ModelFile> modelFileTable();

// The exact size the table gives for fileName, or -1 for a name that is not in it.
qint64 expectedModelFileSize(const QString &fileName);

// folder + "/" + fileName, in the system's separators.
QString modelFilePath(const QString &folder, const QString &fileName);

// Names of the files that are absent from folder or have another size than the table's, in table order.
// An empty folder finds every file missing: the root of a drive is never searched. A slot whose .param
// describes a network of another scale has both its files listed, and *refusals (when given) gets one
// line naming the file and both scales; a .param that cannot be read at all passes, as sizes alone
// decide that.
QStringList missingModelFiles(const QString &folder, QStringList *refusals = nullptr);
