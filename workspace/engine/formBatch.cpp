#include "workspace/PelmoraForm.h"

void PelmoraForm::on_upscaleButton_clicked() {}
void PelmoraForm::on_cancelButton_clicked() {}
void PelmoraForm::processFiles(QStringList) {}
