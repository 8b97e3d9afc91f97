#include "workspace/PelmoraForm.h"

#include "base/AppInfo.h"
#include "base/settingsstore.h"
#include "dialogs/openFailure.h"
#include "ui_PelmoraForm.h"
#include "workspace/deleteList.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/resultMark.h"
#include "workspace/folderWalk.h"
#include "workspace/listedPath.h"
#include "workspace/storedOptions.h"
#include "workspace/supportedImage.h"
#include "workspace/thumbnail.h"
#include "workspace/thumbnailBatch.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSettings>
#include <QStackedLayout>
#include <QStyle>
#include <QTimer>

namespace {
constexpr int nameColumn = 0;
constexpr int pathColumn = 1;
constexpr int emptyPage = 0;
constexpr int workPage = 1;
// Longest stretch of walking and row building before the event loop gets a turn.
constexpr int addSliceMs = 15;

// Stands in for the thumbnail of a file that cannot be decoded: the style's warning sign on a
// transparent square of the thumbnail's size, so that the row's text lines up with the others.
QPixmap unreadablePlaceholder(const QWidget *widget)
{
    // At the screen's pixels, like the thumbnails.
    const qreal ratio = widget->devicePixelRatioF();
    QPixmap square(QSize(thumbnailEdge, thumbnailEdge) * ratio);
    square.setDevicePixelRatio(ratio);
    square.fill(Qt::transparent);
    const QIcon warning = widget->style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, widget);
    QPainter painter(&square);
    const int edge = thumbnailEdge / 2;
    warning.paint(&painter, QRect((thumbnailEdge - edge) / 2, (thumbnailEdge - edge) / 2, edge, edge));
    return square;
}
} // namespace

void PelmoraForm::on_AddURL(QUrl url)
{
    qDebug() << "url: " << url;
    requestAdd({url});
}

void PelmoraForm::on_AddURLs(QList<QUrl> _urls)
{
    requestAdd(_urls);
}

void PelmoraForm::on_sourceImageButton_clicked()
{
    QSettings settings(QString::fromLatin1(SettingsStore::organization),
                       QString::fromLatin1(SettingsStore::application));
    QString startFolder = settings.value(lastOpenIcoPathKey()).toString();
    if (!QFileInfo::exists(startFolder))
        startFolder = AppInfo::picturesFolder();

    const QStringList files = QFileDialog::getOpenFileNames(this, tr("Open Icon"), startFolder,
                                                            tr("Image Files (*.jpg *.jpeg *.png *.webp)"));
    if (files.isEmpty())
        return;

    QList<QUrl> urls;
    for (const QString &file : files)
        urls.append(QUrl::fromLocalFile(file));
    requestAdd(urls);

    settings.setValue(lastOpenIcoPathKey(), QFileInfo(files.constFirst()).path());
    pageStack->setCurrentIndex(workPage);
}

void PelmoraForm::on_addButton_clicked()
{
    on_sourceImageButton_clicked();
}

void PelmoraForm::requestAdd(const QList<QUrl> &urls)
{
    // The running add owns pendingUrls and pendingIconRows until it has finished.
    if (addInProgress) {
        waitingAdds.append(urls);
        return;
    }
    pendingUrls.clear();
    pendingUrls = urls;
    startAddUrlsThread(pendingUrls);
}

void PelmoraForm::startAddUrlsThread(QList<QUrl> &urls)
{
    qDebug() << "startAddUrlsThread: " << urls;
    addInProgress = true;
    pendingIconRows.clear();
    continueAdd();
}

void PelmoraForm::continueAdd()
{
    QElapsedTimer slice;
    slice.start();
    while (slice.elapsed() < addSliceMs) {
        if (currentWalk) {
            QString file;
            if (currentWalk->next(&file)) {
                // Results of earlier batches in the same tree would only be enlarged again.
                if (isSupportedImage(file) && !engine::isMarkedResult(file))
                    _loadUrl(file);
            } else {
                currentWalk.reset();
            }
            continue;
        }
        if (pendingUrls.isEmpty()) {
            onAddUrlsFinish();
            return;
        }
        loadUrl(QDir::toNativeSeparators(pendingUrls.takeFirst().toLocalFile()));
    }
    QTimer::singleShot(0, this, &PelmoraForm::continueAdd);
}

void PelmoraForm::loadUrl(QString path)
{
    qDebug() << "loadUrl: " << path;
    if (QFileInfo(path).isDir()) {
        // Walked slice by slice from continueAdd, so a large tree never freezes the window.
        currentWalk = std::make_shared<FolderWalk>(path);
        return;
    }
    _loadUrl(path);
}

void PelmoraForm::_loadUrl(QString path)
{
    qDebug() << "_loadUrl: " << path;
    if (!isSupportedImage(path))
        return;
    if (findListedPath(fileModel, pathColumn, path) >= 0)
        return;
    fileModel.appendRow({new QStandardItem(QFileInfo(path).fileName()), new QStandardItem(path)});
    pendingIconRows.append(path);
    lastAddedPath = path;
}

void PelmoraForm::onAddUrlsFinish()
{
    qDebug() << "urls.size(): " << pendingUrls.size();
    uiReady = false;
    loadImage(lastAddedPath);
    if (fileModel.rowCount() > 0)
        ui->sourceTreeView->setCurrentIndex(fileModel.index(fileModel.rowCount() - 1, nameColumn));
    ui->upscaleButton->setEnabled(true);
    ui->clearButton->setEnabled(true);
    pageStack->setCurrentIndex(workPage);
    updateIcons();
    uiReady = true;
    getItemsIcon();
}

void PelmoraForm::getItemsIcon()
{
    qDebug() << "getItemsIcon: " << pendingIconRows.size();
    qDebug() << "urls.size(): " << pendingUrls.size();
    const QStringList paths = pendingIconRows;
    pendingIconRows.clear();
    if (paths.isEmpty()) {
        addFinished();
        return;
    }
    setThumbnailDecodeLimit();
    thumbnailBatch = new ThumbnailBatch(paths, this, ui->sourceTreeView->devicePixelRatioF());
    connect(
        thumbnailBatch, &ThumbnailBatch::ready, this, [this, paths](int index, const Thumbnail &thumbnail) {
            const QString &path = paths.at(index);
            const QFileInfo info(path);
            const bool readable = !thumbnail.image.isNull();
            // Found again by its key: the row may have moved, or be gone.
            applyThumbnail(readable ? QPixmap::fromImage(thumbnail.image) : unreadablePlaceholder(this),
                           info.fileName(), info.path(), readable ? thumbnail.sizeText : tr("Cannot be read"),
                           findListedPath(fileModel, pathColumn, path));
        });
    connect(thumbnailBatch, &ThumbnailBatch::finished, this, [this] {
        thumbnailBatch->deleteLater();
        thumbnailBatch = nullptr;
        addFinished();
    });
}

void PelmoraForm::addFinished()
{
    addInProgress = false;
    if (!waitingAdds.isEmpty())
        requestAdd(waitingAdds.takeFirst());
}

void PelmoraForm::applyThumbnail(QPixmap pixmap, QString fileName, QString folder, QString size, int row)
{
    if (row < 0 || row >= fileModel.rowCount())
        return;
    QStandardItem *item = fileModel.item(row, nameColumn);
    item->setText(thumbnailLabel(fileName, size, folder));
    if (!pixmap.isNull())
        item->setIcon(QIcon(pixmap));
}

void PelmoraForm::on_itemSelection_changed(QItemSelection, QItemSelection)
{
    qDebug() << "on_itemSelection_changed";
    QItemSelectionModel *selection = ui->sourceTreeView->selectionModel();
    if (selection->hasSelection()) {
        ui->removeButton->setEnabled(true);
        const QModelIndex first = selection->selectedIndexes().constFirst();
        const QString path = first.siblingAtColumn(pathColumn).data().toString();
        qDebug() << "on_itemSelection_changed 1: " << path;
        loadImage(path);
        ui->sourceTreeView->selectedPath = path;
    } else {
        ui->removeButton->setEnabled(false);
        ui->orgLabel->clear();
        ui->orgLabel->setText(QStringLiteral("Preview"));
    }
    updateIcons();
}

void PelmoraForm::on_removeButton_clicked()
{
    uiReady = false;
    const QModelIndexList selected = ui->sourceTreeView->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        uiReady = true;
        return;
    }
    QList<int> rows;
    rows.reserve(selected.size());
    for (const QModelIndex &index : selected)
        rows.append(index.row());
    const QList<int> deleteList = buildDeleteList(rows);

    qDebug() << "modelIndex.count(): " << selected.size();
    for (const int row : deleteList) {
        qDebug() << "deleteList: " << row;
        fileModel.removeRow(row);
    }
    ui->orgLabel->clear();
    ui->orgLabel->setText(QStringLiteral("Preview"));
    if (fileModel.rowCount() == 0) {
        ui->upscaleButton->setEnabled(false);
        ui->clearButton->setEnabled(false);
        ui->removeButton->setEnabled(false);
        pageStack->setCurrentIndex(emptyPage);
        updateIcons();
    }
    uiReady = true;
}

void PelmoraForm::on_clearButton_clicked()
{
    fileModel.removeRows(0, fileModel.rowCount());
    ui->upscaleButton->setEnabled(false);
    ui->removeButton->setEnabled(false);
    ui->clearButton->setEnabled(false);
    ui->orgLabel->clear();
    ui->orgLabel->setText(QStringLiteral("Preview"));
    pageStack->setCurrentIndex(emptyPage);
    updateIcons();
}

namespace {
// The row's label without an outcome line, and the result of a written row.
constexpr int plainLabelRole = Qt::UserRole + 1;
constexpr int resultRole = Qt::UserRole + 2;
} // namespace

void PelmoraForm::showRowOutcome(const engine::PictureReport &report)
{
    using Status = engine::PictureReport::Status;
    const int row = findListedPath(fileModel, pathColumn, report.input);
    if (row < 0)
        return;
    QString outcome;
    switch (report.status) {
    case Status::Done:
        outcome = tr("Written: %1, %2 x %3")
                      .arg(QFileInfo(report.output).fileName())
                      .arg(report.size.width())
                      .arg(report.size.height());
        break;
    case Status::Failed:
    case Status::OutOfMemory:
    case Status::DeviceLost:
        outcome = tr("Failed: %1").arg(report.reason);
        break;
    case Status::Cancelled:
    case Status::NotStarted:
        outcome = tr("Left out");
        break;
    }
    QStandardItem *item = fileModel.item(row, nameColumn);
    if (!item->data(plainLabelRole).isValid())
        item->setData(item->text(), plainLabelRole);
    item->setText(item->data(plainLabelRole).toString() + QLatin1Char('\n') + outcome);
    item->setToolTip(outcome);
    item->setData(report.status == Status::Done ? report.output : QString(), resultRole);
}

void PelmoraForm::markRowsLeftOut()
{
    for (int row = 0; row < fileModel.rowCount(); ++row)
        if (!fileModel.item(row, nameColumn)->data(plainLabelRole).isValid()) {
            engine::PictureReport report;
            report.input = fileModel.item(row, pathColumn)->text();
            report.status = engine::PictureReport::Status::NotStarted;
            showRowOutcome(report);
        }
}

void PelmoraForm::clearRowOutcomes()
{
    for (int row = 0; row < fileModel.rowCount(); ++row) {
        QStandardItem *item = fileModel.item(row, nameColumn);
        if (!item->data(plainLabelRole).isValid())
            continue;
        item->setText(item->data(plainLabelRole).toString());
        item->setToolTip(QString());
        item->setData(QVariant(), plainLabelRole);
        item->setData(QVariant(), resultRole);
    }
}

QString PelmoraForm::rowResult(const QModelIndex &index) const
{
    const QString result = index.siblingAtColumn(nameColumn).data(resultRole).toString();
    // Moved or deleted since: nothing to open.
    return !result.isEmpty() && QFileInfo(result).isFile() ? result : QString();
}

void PelmoraForm::openRowResult(const QModelIndex &index)
{
    const QString result = rowResult(index);
    if (result.isEmpty())
        return;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(result)))
        reportNotOpened(this, QUrl::fromLocalFile(result));
}

void PelmoraForm::showRowMenu(const QPoint &where)
{
    const QModelIndex index = ui->sourceTreeView->indexAt(where);
    if (rowResult(index).isEmpty())
        return;
    QMenu menu(ui->sourceTreeView);
    QAction *open = menu.addAction(tr("Open Result"));
    if (menu.exec(ui->sourceTreeView->viewport()->mapToGlobal(where)) == open)
        openRowResult(index);
}
