#pragma once

#include <QString>
#include <QStringList>

// Every file below a folder whose name holds a dot, at any depth, in natural name order (img2
// before img10): a folder's files first, then its subfolders one after the other. Hidden files and
// folders are left out and links to folders are not followed. One entry per next(), and one folder
// listed at a time, so a caller may stop between entries and come back later.
class FolderWalk {
public:
    explicit FolderWalk(const QString &folder);

    // False when the walk is over; otherwise stores the next path in *path.
    bool next(QString *path);

private:
    // Lists the next folder of the walk; false when none is left.
    bool listNextFolder();

    QStringList files;   // of the folder listed last, still to hand out, in reverse order
    QStringList folders; // still to list, the next one last
};
