#include "workspace/naturalOrder.h"

namespace {

// The run of digits or of non-digits that starts at `from`.
QStringView runAt(const QString &text, qsizetype from)
{
    const bool digits = text.at(from).isDigit();
    qsizetype end = from + 1;
    while (end < text.size() && text.at(end).isDigit() == digits)
        ++end;
    return QStringView(text).mid(from, end - from);
}

// Compares two digit runs by value, without converting: runs may be longer than any integer.
int compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == QLatin1Char('0'))
        a = a.mid(1);
    while (b.size() > 1 && b.front() == QLatin1Char('0'))
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const QStringView left = runAt(a, i);
        const QStringView right = runAt(b, j);
        const bool leftDigits = left.front().isDigit();
        const bool rightDigits = right.front().isDigit();
        int order = 0;
        if (leftDigits && rightDigits)
            order = compareNumbers(left, right);
        else if (leftDigits != rightDigits)
            order = leftDigits ? -1 : 1; // digits before letters, as file managers show them
        else
            order = left.compare(right, Qt::CaseInsensitive);
        if (order != 0)
            return order < 0;
        i += left.size();
        j += right.size();
    }
    if (i < a.size() || j < b.size())
        return j < b.size(); // the shorter name, a prefix of the other, comes first
    // Equal by value and letters: fall back to the exact text for a fixed order.
    return a < b;
}
