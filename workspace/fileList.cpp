#include "workspace/PelmoraForm.h"

#include "app/AppInfo.h"
#include "app/settingsstore.h"
#include "ui_PelmoraForm.h"
#include "widgets/supportedImage.h"
#include "workspace/deleteList.h"
#include "workspace/folderWalk.h"
#include "workspace/listedPath.h"
#include "workspace/storedOptions.h"
#include "workspace/thumbnail.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPixmap>
#include <QSettings>
#include <QStackedLayout>

namespace {
constexpr int nameColumn = 0;
constexpr int pathColumn = 1;
constexpr int emptyPage = 0;
constexpr int workPage = 1;
} // namespace

void PelmoraForm::on_AddURL(QUrl url)
{
    qDebug() << "url: " << url;
    pendingUrls.clear();
    pendingUrls.append(url);
    startAddUrlsThread(pendingUrls);
}

void PelmoraForm::on_AddURLs(QList<QUrl> _urls)
{
    pendingUrls.clear();
    pendingUrls = _urls;
    startAddUrlsThread(pendingUrls);
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
    pendingUrls = urls;
    startAddUrlsThread(pendingUrls);

    settings.setValue(lastOpenIcoPathKey(), QFileInfo(files.constFirst()).path());
    pageStack->setCurrentIndex(workPage);
}

void PelmoraForm::on_addButton_clicked()
{
    on_sourceImageButton_clicked();
}

void PelmoraForm::startAddUrlsThread(QList<QUrl> &urls)
{
    qDebug() << "startAddUrlsThread: " << urls;
    pendingIconRows.clear();
    while (!urls.isEmpty()) {
        const QUrl url = urls.takeFirst();
        loadUrl(QDir::toNativeSeparators(url.toLocalFile()));
    }
    onAddUrlsFinish();
}

void PelmoraForm::loadUrl(QString path)
{
    qDebug() << "loadUrl: " << path;
    if (QFileInfo(path).isDir()) {
        FolderWalk walk(path);
        QString file;
        while (walk.next(&file))
            _loadUrl(file);
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
    pendingIconRows.append(fileModel.rowCount() - 1);
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
    while (!pendingIconRows.isEmpty()) {
        const int row = pendingIconRows.takeFirst();
        const QString path = fileModel.data(fileModel.index(row, pathColumn)).toString();
        const Thumbnail thumbnail = decodeThumbnail(path);
        const QFileInfo info(path);
        applyThumbnail(QPixmap::fromImage(thumbnail.image), info.fileName(), info.path(), thumbnail.sizeText,
                       row);
    }
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
