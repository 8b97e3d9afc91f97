#pragma once

#include <QString>

#include <memory>

class QDirIterator;

// Every file below a folder whose name holds a dot, at any depth, in the file system's order.
// Hidden files are left out and links to folders are not followed. One entry per next(), so a
// caller may stop between entries and come back later.
class FolderWalk {
public:
    explicit FolderWalk(const QString &folder);
    ~FolderWalk();
    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    // False when the walk is over; otherwise stores the next path in *path.
    bool next(QString *path);

private:
    std::unique_ptr<QDirIterator> iterator;
};
