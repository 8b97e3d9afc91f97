#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"
#include "workspace/previewRender.h"

#include <QDebug>
#include <QEvent>
#include <QFutureWatcher>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QMouseEvent>
#include <QPixmap>
#include <QScrollArea>
#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>

namespace {
constexpr int previewTickMs = 50;
constexpr int previewTicksToWait = 5;

// The size a picture may take and still be seen whole: the area's viewport less the margins around
// the label and the label's own frame. Scaling to the area's outer height cut the bottom of every
// picture off.
QSize visiblePreviewSize(const QScrollArea *area, const QLabel *label)
{
    QSize size = area->viewport()->size() - QSize(2 * label->frameWidth(), 2 * label->frameWidth());
    if (const QWidget *contents = area->widget(); contents && contents->layout()) {
        const QMargins margins = contents->layout()->contentsMargins();
        size -= QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
    }
    return size;
}
} // namespace

void PelmoraForm::loadImage(QString path)
{
    qDebug() << path;
    previewPath = path;
    ++previewRequest;
    previewCountdown = previewTicksToWait;
    if (!previewTimer.isActive()) {
        previewTimer.start(previewTickMs);
        qDebug() << "start Timer";
    }
}

bool PelmoraForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->orgLabel) {
        const bool shown = comparisonShown();
        if (shown && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseMove)) {
            const auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->buttons() & Qt::LeftButton)
                moveDivider(qRound(mouse->position().x()));
        }
        // The file list resets the label without knowing of the comparison's hint.
        if (!shown && event->type() == QEvent::ToolTip)
            ui->orgLabel->setToolTip(QString());
    }
    // Compared by name: the filter may still see events while the form tears its widget record down.
    if (event->type() == QEvent::Resize && watched->objectName() == QLatin1String("scrollArea")) {
        qDebug() << "orgLabel Resize";
        // A resize never postpones a render that a request already scheduled.
        if (!previewTimer.isActive()) {
            previewCountdown = previewTicksToWait;
            previewTimer.start(previewTickMs);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void PelmoraForm::on_updateTimer()
{
    if (!previewTimer.isActive())
        return;
    if (previewCountdown > 0) {
        --previewCountdown;
        return;
    }
    previewTimer.stop();
    ++previewRendersStarted;
    const QString path = previewPath;
    // Rendered in the screen's pixels, so that a scaled screen shows the detail a comparison is about.
    const qreal ratio = ui->orgLabel->devicePixelRatioF();
    const QSize areaSize = visiblePreviewSize(ui->scrollArea, ui->orgLabel) * ratio;
    if (const auto result = batchResults.constFind(path); result != batchResults.cend()) {
        const int request = previewRequest;
        auto *watcher = new QFutureWatcher<PreviewPair>(this);
        connect(watcher, &QFutureWatcher<PreviewPair>::finished, this, [this, watcher, request] {
            showComparison(request, watcher->result());
            watcher->deleteLater();
        });
        watcher->setFuture(
            QtConcurrent::run(QThreadPool::globalInstance(), [path, output = *result, areaSize, ratio] {
                PreviewPair pair = renderComparison(path, output, areaSize);
                pair.source.setDevicePixelRatio(ratio);
                pair.result.setDevicePixelRatio(ratio);
                return pair;
            }));
        return;
    }
    // The task gets copies and never sees the form; the watcher, a child of the form, brings the
    // picture back to the GUI thread and dies with the form if the form goes first.
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, request = previewRequest] {
        showPreview(request, watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [path, areaSize, ratio] {
        QImage image = renderPreview(path, areaSize);
        image.setDevicePixelRatio(ratio);
        return image;
    }));
}

void PelmoraForm::showPreview(int request, const QImage &image)
{
    // A plain render of an earlier request is still shown, but never over a later one's comparison.
    if (comparisonShown() && request < comparisonRequest)
        return;
    comparisonPixmapKey = 0;
    ui->orgLabel->setToolTip(QString());
    ui->orgLabel->setPixmap(QPixmap::fromImage(image));
    ui->orgLabel->adjustSize();
}

void PelmoraForm::showComparison(int request, const PreviewPair &pair)
{
    // The selection has moved on: this pair would show a picture that is no longer the selected one.
    if (request != previewRequest) {
        ++comparisonsDropped;
        return;
    }
    if (!pair.isComparison()) {
        showPreview(request, pair.source);
        return;
    }
    comparison = pair;
    comparisonRequest = request;
    comparisonSide = ComparisonSide::Split;
    ui->orgLabel->setToolTip(tr("Source on the left, result on the right: drag to move the divider, press \\ "
                                "to see one or the other"));
    composeComparisonPixmap();
    ui->orgLabel->adjustSize();
}

bool PelmoraForm::comparisonShown() const
{
    return comparisonPixmapKey != 0 && ui->orgLabel->pixmap().cacheKey() == comparisonPixmapKey;
}

void PelmoraForm::composeComparisonPixmap()
{
    const QPixmap pixmap =
        QPixmap::fromImage(composeComparison(comparison, comparisonDivider, comparisonSide));
    ui->orgLabel->setPixmap(pixmap);
    comparisonPixmapKey = ui->orgLabel->pixmap().cacheKey();
}

void PelmoraForm::toggleComparison()
{
    if (!comparisonShown())
        return;
    comparisonSide =
        comparisonSide == ComparisonSide::Source ? ComparisonSide::Result : ComparisonSide::Source;
    composeComparisonPixmap();
}

void PelmoraForm::moveDivider(int labelX)
{
    const int width = qRound(comparison.result.width() / comparison.result.devicePixelRatio());
    if (width <= 0)
        return;
    // The label is as large as its picture, inside its frame.
    const int x = labelX - ui->orgLabel->contentsRect().left();
    comparisonDivider = std::clamp(static_cast<double>(x) / width, 0.0, 1.0);
    comparisonSide = ComparisonSide::Split;
    composeComparisonPixmap();
}
