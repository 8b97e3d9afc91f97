#include "dialogs/AboutDialog.h"
#include "ui_AboutDialog.h"

#include "app/AppInfo.h"
#include "app/vendorserver.h"

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
    ui->urlLabel->setOpenExternalLinks(true);
    // "Website:" ends right at the link's left edge with fonts wider than Segoe UI.
    ui->urlLabel->setIndent(3);

    ui->osLabel->setText(tr("for Windows 11"));
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
