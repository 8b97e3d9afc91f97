#include "workspace/batchProgress.h"

#include "base/nativeName.h"

#include "workspace/engine/engineText.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/tilePlan.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <numeric>

namespace {

double pixels(QSize size)
{
    return double(size.width()) * size.height();
}

} // namespace

BatchTimeEstimate::BatchTimeEstimate(const QList<QSize> &pictureSizes, int tileSize, int inputMultiple)
    : sizes(pictureSizes), edge(tileSize), multiple(inputMultiple)
{
    double known = 0;
    int knownCount = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        const std::vector<double> tiles = tileWork(i);
        weights << (tiles.empty() ? -1.0 : tiles.back());
        if (!tiles.empty()) {
            known += tiles.back();
            ++knownCount;
        }
    }
    const double average = knownCount > 0 ? known / knownCount : 1.0;
    for (double &weight : weights) {
        if (weight < 0)
            weight = average;
        totalWeight += weight;
    }
}

std::vector<double> BatchTimeEstimate::tileWork(int index) const
{
    const QSize size = sizes.value(index);
    std::vector<double> sums;
    if (!size.isValid() || size.isEmpty())
        return sums;
    // Without a known edge, a picture is one tile of its own size and margins count for nothing.
    const engine::TilePlan plan = engine::planTiles(size, edge, 1, multiple);
    if (edge <= 0 || !plan.isValid()) {
        sums.push_back(pixels(size));
        return sums;
    }
    sums.reserve(size_t(plan.tileCount()));
    double sum = 0;
    for (int i = 0; i < plan.tileCount(); ++i) {
        const engine::Tile tile = plan.tile(i);
        if (tile.inPicture())
            sum += pixels(tile.inputSize);
        sums.push_back(sum);
    }
    return sums;
}

void BatchTimeEstimate::pictureStarted(int index, qint64 nowMs)
{
    if (index < 0 || index >= weights.size())
        return;
    weightBefore = std::accumulate(weights.cbegin(), weights.cbegin() + index, 0.0);
    current = index;
    currentTiles = tileWork(index);
    currentDone = 0;
    // Work of skipped pictures is done without taking time; the rate measured so far still holds.
    if (firstMs >= 0)
        lastMs = std::max(lastMs, nowMs);
}

void BatchTimeEstimate::tilesDone(double done, int total, qint64 nowMs)
{
    if (current < 0 || total <= 0 || done <= 0)
        return;
    done = std::min(done, double(total));
    const double weight = weights.at(current);
    // After a retry with smaller tiles the plan differs from the one foreseen: share of the tiles.
    if (int(currentTiles.size()) == total && currentTiles.back() > 0) {
        const int whole = int(done);
        const double before = whole > 0 ? currentTiles.at(size_t(whole - 1)) : 0.0;
        const double within =
            whole < total ? (currentTiles.at(size_t(whole)) - before) * (done - whole) : 0.0;
        currentDone = weight * (before + within) / currentTiles.back();
    } else {
        currentDone = weight * std::clamp(done / total, 0.0, 1.0);
    }
    const double work = weightBefore + currentDone;
    if (firstMs < 0) {
        firstMs = nowMs;
        firstWork = work;
    } else
        ++tilesSinceFirst;
    lastMs = nowMs;
    lastWork = work;
    window.push_back({nowMs, work});
    // The start only moves forward, so older points are never needed again.
    const qint64 start = lastMs - std::max(kMeasuredMs, (lastMs - firstMs) / 2);
    while (window.size() > 2 && window[1].ms <= start)
        window.pop_front();
}

double BatchTimeEstimate::fractionDone() const
{
    if (totalWeight <= 0 || current < 0)
        return 0;
    return std::clamp((weightBefore + currentDone) / totalWeight, 0.0, 1.0);
}

qint64 BatchTimeEstimate::remainingMs(qint64 nowMs) const
{
    if (current < 0 || firstMs < 0)
        return -1;
    const double left = std::max(totalWeight - lastWork, 0.0);
    if (left <= 0)
        return 0;
    const Point &from = window.front();
    const qint64 measured = lastMs - firstMs;
    const bool enough =
        measured >= kMeasuredMs || (measured >= kShortMeasuredMs && lastWork - firstWork >= totalWeight / 20);
    if (tilesSinceFirst < 2 || !enough || lastWork <= from.work)
        return -1;
    const double msPerWork = double(lastMs - from.ms) / (lastWork - from.work);
    // The tile under way since the last report is partly done.
    return std::max<qint64>(qint64(left * msPerWork + 0.5) - std::max<qint64>(nowMs - lastMs, 0), 0);
}

void PictureInProgress::pictureStarted(int index, int total, const QString &path)
{
    current = index;
    file = QString::number(index + 1) + QStringLiteral(" of ") + QString::number(total) +
           QStringLiteral(": ") + engine::displayName(path);
    status.clear();
    maximum = 0;
    value = 0;
}

void PictureInProgress::tileProgress(int done, int total)
{
    if (current < 0 || total <= 0)
        return;
    maximum = total;
    value = std::clamp(done, 0, total);
}

void PictureInProgress::statusChanged(int index, const QString &text)
{
    if (index == current)
        status = text;
}

void PictureInProgress::pictureFinished(int index)
{
    if (index != current)
        return;
    status.clear();
    maximum = std::max(maximum, 1);
    value = maximum;
}

QSize orientedImageSize(const QString &path)
{
    // A pipe would block the caller until something writes into it.
    if (NativeName::kindOf(path) != NativeName::Kind::File)
        return QSize();
    QImageReader reader(NativeName::reachable(path));
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

QString batchTimeText(double fraction, qint64 elapsedMs, qint64 remainingMs, BatchPhase phase)
{
    const QString dot = QStringLiteral(" \u00b7 ");
    // Rounded down: "100%" only once everything is done.
    const int percent = int(std::clamp(fraction, 0.0, 1.0) * 100);
    const QString done = engine::engineText("Batch %1%").arg(percent) + dot +
                         engine::engineText("Elapsed %1").arg(durationText(elapsedMs));
    switch (phase) {
    case BatchPhase::Finished:
        return done;
    case BatchPhase::Stopping:
        return done + dot + engine::engineText("Stopping after this picture\u2026");
    case BatchPhase::Running:
        break;
    }
    if (remainingMs < 0)
        return done + dot + engine::engineText("estimating the time left");
    // Rounded up: "about 0:00 left" while work still runs would read as done.
    return done + dot + engine::engineText("about %1 left").arg(durationText(remainingMs + 999));
}
