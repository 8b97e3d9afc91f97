#include "dialogs/AboutDialog.h"
#include "ui_AboutDialog.h"

#include "base/AppInfo.h"
#include "base/platform/platform.h"
#include "base/vendorserver.h"
#include "dialogs/LicencesDialog.h"
#include "dialogs/openFailure.h"

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), ui(new Ui::AboutDialog)
{
    ui->setupUi(this);

    ui->label->setText(AppInfo::appTitle());
    ui->label->adjustSize();
    ui->versionLabel->setText(tr("Version: ") + AppInfo::versionString());

    QUrl site = VendorServer::webSiteUrl();
    site.setPath(QStringLiteral("/"));
    ui->urlLabel->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(site.toString(QUrl::FullyEncoded).toHtmlEscaped(), site.host().toHtmlEscaped()));
    ui->urlLabel->setTextFormat(Qt::RichText);
    ui->urlLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                          Qt::LinksAccessibleByKeyboard);
    // Opened here rather than by the label, which would say nothing when no browser is there.
    ui->urlLabel->setOpenExternalLinks(false);
    connect(ui->urlLabel, &QLabel::linkActivated, this, [this](const QString &link) {
        const QUrl address(link);
        if (!Platform::openAddress(address))
            reportNotOpened(this, address);
    });
    // "Website:" ends right at the link's left edge with fonts wider than Segoe UI.
    ui->urlLabel->setIndent(3);

    ui->osLabel->setText(tr("for %1").arg(Platform::systemName()));
    ui->osLabel->adjustSize();
    ui->urlLabel->adjustSize();
}

AboutDialog::~AboutDialog()
{
    delete ui;
}

void AboutDialog::on_closeButton_clicked()
{
    deleteLater();
}

void AboutDialog::on_licencesButton_clicked()
{
    LicencesDialog licences(this);
    licences.exec();
}
