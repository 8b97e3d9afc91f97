#include "workspace/PelmoraForm.h"

#include <QImage>

bool PelmoraForm::eventFilter(QObject *watched, QEvent *event) { return QWidget::eventFilter(watched, event); }
void PelmoraForm::on_updateTimer() {}
void PelmoraForm::loadImage(QString) {}
void PelmoraForm::showPreview(const QImage &) {}
