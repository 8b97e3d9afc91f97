#include "dialogs/CheckUpdateDialog.h"
#include "ui_CheckUpdateDialog.h"

#include "base/platform/platform.h"
#include "base/vendorserver.h"
#include "dialogs/openFailure.h"
#include "dialogs/updateFile.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

CheckUpdateDialog::CheckUpdateDialog(QWidget *parent) : QDialog(parent), ui(new Ui::CheckUpdateDialog)
{
    ui->setupUi(this);
    ui->downloadButton->hide();

    const UpdateVersion installed = installedVersion();
    ui->installVersionLabel->setText(tr("Installed Version: ") + QString::number(installed.majorNumber) +
                                     QLatin1Char('.') + QString::number(installed.minorNumber) +
                                     QLatin1Char('.') + QString::number(installed.subMinorNumber));

    auto *networkManager = new QNetworkAccessManager(this);
    connect(networkManager, &QNetworkAccessManager::finished, this, &CheckUpdateDialog::fileIsReady);
    networkManager->get(QNetworkRequest(VendorServer::updateFileUrl()));
}

CheckUpdateDialog::~CheckUpdateDialog()
{
    delete ui;
}

void CheckUpdateDialog::on_closeButton_clicked()
{
    deleteLater();
}

void CheckUpdateDialog::fileIsReady(QNetworkReply *reply)
{
    const QString body = QString::fromUtf8(reply->readAll());
    const bool failed = reply->error() != QNetworkReply::NoError || !isUpdateFile(body);
    reply->deleteLater();

    const UpdateVersion latest = parseUpdateFile(body);
    latestMajor = latest.majorNumber;
    latestMinor = latest.minorNumber;
    latestSubMinor = latest.subMinorNumber;

    switch (updateCheckOutcome(failed, latest, installedVersion())) {
    case UpdateCheckOutcome::UpdateAvailable:
        ui->downloadButton->setText(tr("Download update"));
        ui->messageLabel->setText(tr("Version ") + QString::number(latestMajor) + QLatin1Char('.') +
                                  QString::number(latestMinor) + QLatin1Char('.') +
                                  QString::number(latestSubMinor) + tr(" is available to download."));
        break;
    case UpdateCheckOutcome::UpToDate:
        ui->messageLabel->setText(tr("There are no software updates available at this time."));
        ui->downloadButton->setText(tr("Visit Website"));
        break;
    case UpdateCheckOutcome::CheckFailed:
        // Saying "no updates" here would claim a result the check never got.
        ui->messageLabel->setText(tr("The update check could not be completed. Please check your "
                                     "internet connection and try again later."));
        ui->downloadButton->setText(tr("Visit Website"));
        break;
    }
    ui->downloadButton->show();
    // adjustSize() would also narrow the wrapped text to a column of a few words: only the height follows.
    const int width = ui->messageLabel->width();
    ui->messageLabel->resize(width,
                             qMax(ui->messageLabel->height(), ui->messageLabel->heightForWidth(width)));
}

void CheckUpdateDialog::on_downloadButton_clicked()
{
    const QUrl page = VendorServer::productPageUrl();
    if (!Platform::openAddress(page))
        reportNotOpened(this, page);
}
