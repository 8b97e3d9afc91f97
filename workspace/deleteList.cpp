#include "workspace/deleteList.h"

#include <QDebug>

QList<int> buildDeleteList(const QList<int> &selectedRows)
{
    QList<int> result;
    for (const int row : selectedRows) {
        int at = 0;
        bool known = false;
        while (at < result.size()) {
            if (result.at(at) == row) {
                known = true;
                break;
            }
            if (result.at(at) < row)
                break;
            qDebug() << "row: " << row;
            ++at;
        }
        if (!known)
            result.insert(at, row);
    }
    return result;
}
