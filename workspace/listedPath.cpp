#include "workspace/listedPath.h"

#include <QAbstractItemModel>

int findListedPath(const QAbstractItemModel &model, int column, const QString &path)
{
    const int rows = model.rowCount();
    for (int row = 0; row < rows; ++row) {
        const QString listed = model.data(model.index(row, column)).toString();
        if (QString::compare(listed, path, Qt::CaseInsensitive) == 0)
            return row;
    }
    return -1;
}
