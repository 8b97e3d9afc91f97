#include "workspace/batchProgress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <numeric>

BatchTimeEstimate::BatchTimeEstimate(const QList<QSize> &pictureSizes)
{
    double known = 0;
    int knownCount = 0;
    for (const QSize &size : pictureSizes) {
        if (size.isValid() && !size.isEmpty()) {
            known += double(size.width()) * size.height();
            ++knownCount;
        }
    }
    const double average = knownCount > 0 ? known / knownCount : 1.0;
    for (const QSize &size : pictureSizes)
        weights << (size.isValid() && !size.isEmpty() ? double(size.width()) * size.height() : average);
    for (const double weight : std::as_const(weights))
        totalWeight += weight;
}

void BatchTimeEstimate::pictureStarted(int index)
{
    if (index < 0 || index >= weights.size())
        return;
    weightBefore = std::accumulate(weights.cbegin(), weights.cbegin() + index, 0.0);
    current = index;
    currentFraction = 0;
}

void BatchTimeEstimate::tilesDone(int done, int total)
{
    if (current < 0 || total <= 0)
        return;
    currentFraction = std::clamp(double(done) / total, 0.0, 1.0);
}

double BatchTimeEstimate::fractionDone() const
{
    if (totalWeight <= 0 || current < 0)
        return 0;
    return std::clamp((weightBefore + currentFraction * weights.at(current)) / totalWeight, 0.0, 1.0);
}

qint64 BatchTimeEstimate::remainingMs(qint64 elapsedMs) const
{
    const double done = fractionDone();
    // Before the first tile is through, the time taken says nothing about the rate.
    if (done <= 0 || elapsedMs <= 0)
        return -1;
    return qint64(double(elapsedMs) * (1.0 - done) / done + 0.5);
}

QSize orientedImageSize(const QString &path)
{
    // A pipe would block the caller until something writes into it.
    if (!QFileInfo(path).isFile())
        return QSize();
    QImageReader reader(path);
    const QSize size = reader.size();
    return reader.transformation() & QImageIOHandler::TransformationRotate90 ? size.transposed() : size;
}

QString durationText(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString secondsText = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0)
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(secondsText);
    return QStringLiteral("%1:%2").arg(minutes).arg(secondsText);
}

QString batchTimeText(qint64 elapsedMs, qint64 remainingMs)
{
    const QString elapsed =
        QCoreApplication::translate("PelmoraForm", "Elapsed %1").arg(durationText(elapsedMs));
    if (remainingMs < 0)
        return elapsed;
    // Rounded up: "about 0:00 left" while work still runs would read as done.
    return elapsed + QStringLiteral(" \u00b7 ") +
           QCoreApplication::translate("PelmoraForm", "about %1 left").arg(durationText(remainingMs + 999));
}
