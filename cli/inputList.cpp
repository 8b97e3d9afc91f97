#include "cli/inputList.h"

#include "base/nativeName.h"

#include "workspace/engine/resultMark.h"
#include "workspace/folderWalk.h"
#include "workspace/supportedImage.h"

#include <QFile>
#include <QSet>

InputList collectInputs(const QStringList &arguments)
{
    InputList list;
    QSet<QString> seen;
    auto add = [&](const QString &path, const QString &subfolder) {
        const QString key = NativeName::absolute(path);
        if (seen.contains(key)) {
            list.repeated.append({path, QStringLiteral("listed twice: enlarged once")});
            return;
        }
        seen.insert(key);
        list.pictures << path;
        list.subfolders << subfolder;
    };
    for (const QString &argument : arguments) {
        // Found from the bytes of the name, which need not be UTF-8.
        const NativeName::Kind kind = NativeName::kindOf(argument);
        if (kind == NativeName::Kind::Folder) {
            FolderWalk walk(argument);
            bool any = false;
            bool results = false;
            // Both sides absolute and clean: "../in", "in" and "/home/me/in" give the same tree.
            for (QString path; walk.next(&path);) {
                if (!isSupportedImage(path))
                    continue;
                // Enlarging the results of an earlier run would only enlarge them again and again.
                if (engine::isMarkedResult(path)) {
                    results = true;
                    continue;
                }
                const QString file = NativeName::relativeTo(argument, path);
                const QString subfolder =
                    file.contains(QLatin1Char('/')) ? file.section(QLatin1Char('/'), 0, -2) : QString();
                add(path, subfolder);
                any = true;
            }
            if (!any)
                list.refused.append({argument, results ? QStringLiteral("no pictures in this folder but "
                                                                        "results of this program")
                                                       : QStringLiteral("no pictures in this folder")});
        } else if (kind == NativeName::Kind::Missing) {
            list.refused.append({argument, QStringLiteral("no such file or folder")});
        } else if (kind != NativeName::Kind::File) {
            list.refused.append({argument, QStringLiteral("not a regular file")});
        } else if (!isSupportedImage(argument)) {
            list.refused.append(
                {argument,
                 QStringLiteral("not a picture this program reads (gif, heif, heic, avif, jxl, jpg, "
                                "jpeg, png, tif, tiff or webp)")});
        } else {
            add(argument, QString());
        }
    }
    return list;
}

QStringList splitFileList(const QByteArray &bytes, bool nulSeparated)
{
    QStringList names;
    for (const QByteArray &name : bytes.split(nulSeparated ? '\0' : '\n')) {
        if (!name.isEmpty())
            names << NativeName::decode(name);
    }
    return names;
}
