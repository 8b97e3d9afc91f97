#pragma once

#include <QString>

class QAbstractItemModel;

// The row whose text in `column` names `path` in any letter case, or -1. The file list keys its rows
// on the path, and two spellings of one path on a case-insensitive file system are one file.
int findListedPath(const QAbstractItemModel &model, int column, const QString &path);
