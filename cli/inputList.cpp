#include "cli/inputList.h"

#include "widgets/supportedImage.h"
#include "workspace/folderWalk.h"

#include <QFileInfo>
#include <QSet>

InputList collectInputs(const QStringList &arguments)
{
    InputList list;
    QSet<QString> seen;
    auto add = [&](const QString &path) {
        const QString key = QFileInfo(path).absoluteFilePath();
        if (seen.contains(key))
            return false;
        seen.insert(key);
        list.pictures << path;
        return true;
    };
    for (const QString &argument : arguments) {
        const QFileInfo info(argument);
        if (info.isDir()) {
            FolderWalk walk(argument);
            bool any = false;
            for (QString path; walk.next(&path);) {
                if (isSupportedImage(path))
                    any = add(path) || any;
            }
            if (!any)
                list.emptyFolders << argument;
        } else if (info.exists()) {
            // Named on purpose: tried whatever its suffix, and reported if it does not decode.
            add(argument);
        } else {
            list.missing << argument;
        }
    }
    return list;
}
