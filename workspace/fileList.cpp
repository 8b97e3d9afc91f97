#include "workspace/PelmoraForm.h"

#include <QPixmap>

void PelmoraForm::on_AddURL(QUrl) {}
void PelmoraForm::on_AddURLs(QList<QUrl>) {}
void PelmoraForm::on_itemSelection_changed(QItemSelection, QItemSelection) {}
void PelmoraForm::on_sourceImageButton_clicked() {}
void PelmoraForm::on_addButton_clicked() {}
void PelmoraForm::on_removeButton_clicked() {}
void PelmoraForm::on_clearButton_clicked() {}
void PelmoraForm::startAddUrlsThread(QList<QUrl> &) {}
void PelmoraForm::loadUrl(QString) {}
void PelmoraForm::_loadUrl(QString) {}
void PelmoraForm::onAddUrlsFinish() {}
void PelmoraForm::getItemsIcon() {}
void PelmoraForm::applyThumbnail(QPixmap, QString, QString, QString, int) {}
