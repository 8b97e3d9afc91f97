#include "workspace/PelmoraForm.h"

void PelmoraForm::checkModelFiles() {}
void PelmoraForm::downloadNextModel() {}
void PelmoraForm::modelReplyFinished(QNetworkReply *) {}
void PelmoraForm::on_downloadButton_clicked() {}
