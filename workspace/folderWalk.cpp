#include "workspace/folderWalk.h"

#include <QDir>
#include <QDirIterator>

FolderWalk::FolderWalk(const QString &folder)
    : iterator(std::make_unique<QDirIterator>(folder, QStringList{QStringLiteral("*.*")}, QDir::Files,
                                              QDirIterator::Subdirectories))
{}

FolderWalk::~FolderWalk() = default;

bool FolderWalk::next(QString *path)
{
    if (!iterator->hasNext())
        return false;
    *path = iterator->next();
    return true;
}
