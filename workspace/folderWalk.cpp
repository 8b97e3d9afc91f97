#include "workspace/folderWalk.h"

#include "workspace/naturalOrder.h"

#include <QDir>

#include <algorithm>

namespace {

// Sorted so that the first entry in natural order is last: the lists are consumed from the back.
QStringList reverseNatural(QStringList names)
{
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return naturalLess(b, a); });
    return names;
}

} // namespace

FolderWalk::FolderWalk(const QString &folder) : folders{folder} {}

bool FolderWalk::listNextFolder()
{
    if (folders.isEmpty())
        return false;
    const QDir dir(folders.takeLast());
    const QStringList names = dir.entryList({QStringLiteral("*.*")}, QDir::Files, QDir::NoSort);
    for (const QString &name : reverseNatural(names))
        files.append(dir.filePath(name));
    // Subfolders are visited after this folder's files, the first one next.
    const QStringList subfolders =
        dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::NoSort);
    for (const QString &name : reverseNatural(subfolders))
        folders.append(dir.filePath(name));
    return true;
}

bool FolderWalk::next(QString *path)
{
    while (files.isEmpty()) {
        if (!listNextFolder())
            return false;
    }
    *path = files.takeLast();
    return true;
}
