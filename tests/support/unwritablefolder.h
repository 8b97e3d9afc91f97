#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

// A folder in which no file can be created. A folder without write permission stops everyone but root;
// for root (CI containers) a "folder" below a regular file stops creation as well.
inline QString unwritableFolder(const QTemporaryDir &base)
{
    const QString folder = base.filePath(QStringLiteral("read-only"));
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    QFile probe(folder + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return folder;
    probe.close();
    probe.remove();
    const QString blocker = base.filePath(QStringLiteral("not-a-folder"));
    QFile file(blocker);
    if (file.open(QIODevice::WriteOnly))
        file.write("x");
    return blocker + QStringLiteral("/models");
}
