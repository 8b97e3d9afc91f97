#pragma once

#include <QString>

// File-manager order: runs of digits compare by their value, so img2 comes before img10; letters
// compare without regard to case. Names that differ only in case or in leading zeros still get a
// fixed order, so sorting is stable from one walk to the next.
bool naturalLess(const QString &a, const QString &b);
