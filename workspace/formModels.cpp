#include "workspace/PelmoraForm.h"

#include "base/AppInfo.h"
#include "base/vendorserver.h"
#include "ui_PelmoraForm.h"
#include "workspace/models/modelDownloader.h"
#include "workspace/models/modelFiles.h"

#include <QDebug>
#include <QNetworkReply>
#include <QStackedLayout>

void PelmoraForm::checkModelFiles()
{
    const QString folder = AppInfo::installFolder();
    qDebug().noquote() << "path: " + folder;
    const QList<ModelFile> table = modelFileTable();
    x2BinPath = modelFilePath(folder, table.at(0).fileName);
    x2ParamPath = modelFilePath(folder, table.at(1).fileName);
    x4BinPath = modelFilePath(folder, table.at(2).fileName);
    x4ParamPath = modelFilePath(folder, table.at(3).fileName);

    // "Try Again" resumes the run at the file that failed.
    connect(ui->downloadErrorDescButton, &QPushButton::clicked, this, &PelmoraForm::downloadNextModel,
            Qt::UniqueConnection);

    QStringList refusals;
    missingModels = missingModelFiles(folder, &refusals);
    if (missingModels.isEmpty())
        return;
    // A network saved under the other scale's name is fetched again like a missing one; the page
    // says which and why.
    if (!refusals.isEmpty())
        ui->downloadDescLabel->setText(refusals.join(QLatin1Char('\n')) + QStringLiteral(".\n\n") +
                                       ui->downloadDescLabel->text());
    downloadIndex = 0;
    downloadTotal = int(missingModels.size());
    pageStack->setCurrentIndex(3);
}

void PelmoraForm::on_downloadButton_clicked()
{
    downloadNextModel();
}

void PelmoraForm::downloadNextModel()
{
    if (missingModels.isEmpty())
        return;
    if (!modelDownloader) {
        // One network manager for the form, owned by the downloader so that it goes after it.
        modelDownloader = new ModelDownloader(this);
        networkManager = modelDownloader->networkManager();
        connect(modelDownloader, &ModelDownloader::progressChanged, ui->downloadProgressBar,
                &QProgressBar::setValue);
        connect(modelDownloader, &ModelDownloader::finished, this, &PelmoraForm::modelReplyFinished);
    }
    const QString fileName = missingModels.first();
    pageStack->setCurrentIndex(4);
    ui->downloadErrorDescLabel->hide();
    ui->downloadErrorDescButton->hide();
    ui->downloadProgressBar->setValue(0);
    ui->downloadFileLabel->setText(QString::number(downloadIndex) + QStringLiteral(" of ") +
                                   QString::number(downloadTotal) + QStringLiteral(": ") + fileName);
    modelDownloader->start(VendorServer::modelFileUrl(fileName),
                           AppInfo::installFolder() + QLatin1Char('/') + fileName,
                           expectedModelFileSize(fileName));
}

void PelmoraForm::modelReplyFinished(QNetworkReply *)
{
    if (modelDownloader->state() != ModelDownloader::State::Stored) {
        qDebug().noquote() << "Error Code:" << modelDownloader->errorCode();
        qDebug().noquote() << "Error String:" << modelDownloader->errorString();
        // The failed file stays first in missingModels, so "Try Again" starts with it.
        ui->downloadErrorDescLabel->show();
        ui->downloadErrorDescButton->show();
        return;
    }
    qDebug() << "Success! Data received";
    missingModels.removeFirst();
    ++downloadIndex;
    if (missingModels.isEmpty())
        pageStack->setCurrentIndex(0);
    else
        downloadNextModel();
}
