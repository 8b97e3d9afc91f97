#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"
#include "workspace/previewRender.h"

#include <QDebug>
#include <QEvent>
#include <QFutureWatcher>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QScrollArea>
#include <QThreadPool>
#include <QtConcurrent>

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
    previewCountdown = previewTicksToWait;
    if (!previewTimer.isActive()) {
        previewTimer.start(previewTickMs);
        qDebug() << "start Timer";
    }
}

bool PelmoraForm::eventFilter(QObject *watched, QEvent *event)
{
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
    const QSize areaSize = visiblePreviewSize(ui->scrollArea, ui->orgLabel);
    // The task gets copies and never sees the form; the watcher, a child of the form, brings the
    // picture back to the GUI thread and dies with the form if the form goes first.
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher] {
        showPreview(watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                         [path, areaSize] { return renderPreview(path, areaSize); }));
}

void PelmoraForm::showPreview(const QImage &image)
{
    ui->orgLabel->setPixmap(QPixmap::fromImage(image));
    ui->orgLabel->adjustSize();
}
