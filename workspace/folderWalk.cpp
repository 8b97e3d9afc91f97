#include "workspace/folderWalk.h"

#include "base/nativeName.h"
#include "workspace/naturalOrder.h"

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
    const QString folder = folders.takeLast();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    // Listed from the names' bytes (nativeName.h): a name that is not UTF-8 is found too.
    QStringList names;
    QStringList subfolders;
    const QStringList all = NativeName::entries(folder);
    for (const QString &name : all) {
        if (name.startsWith(QLatin1Char('.')))
            continue;
        const QString path = prefix + name;
        // A link to a file counts as the file; a link to a folder is not followed.
        const NativeName::Kind kind = NativeName::kindOf(path);
        if (kind == NativeName::Kind::File && name.contains(QLatin1Char('.')))
            names << name;
        else if (kind == NativeName::Kind::Folder && !NativeName::isLink(path))
            subfolders << name;
    }
    for (const QString &name : reverseNatural(names))
        files.append(prefix + name);
    // Subfolders are visited after this folder's files, the first one next.
    for (const QString &name : reverseNatural(subfolders))
        folders.append(prefix + name);
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
