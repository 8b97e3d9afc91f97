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

// The four files in check order, which is also the download order.
QList<ModelFile> modelFileTable();

// The exact size the table gives for fileName, or -1 for a name that is not in it.
qint64 expectedModelFileSize(const QString &fileName);

// folder + "/" + fileName, in the system's separators.
QString modelFilePath(const QString &folder, const QString &fileName);

// Names of the files that are absent from folder or have another size than the table's, in table order.
// An empty folder finds every file missing: the root of a drive is never searched.
QStringList missingModelFiles(const QString &folder);
