#pragma once

#include <QList>

// Row numbers of a selection, highest first and each once. A selected row brings one index per
// column, and removing from the bottom up keeps the remaining row numbers valid.
QList<int> buildDeleteList(const QList<int> &selectedRows);
