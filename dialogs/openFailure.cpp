#include "dialogs/openFailure.h"

#include "base/AppInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QUrl>

void reportNotOpened(QWidget *parent, const QUrl &address)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("PelmoraForm", text);
    };
    const QString what = address.isLocalFile()
                             ? tr("The folder could not be opened: no file manager is available.")
                             : tr("The web page could not be opened: no web browser is available.");
    const QString where = address.isLocalFile() ? QDir::toNativeSeparators(address.toLocalFile())
                                                : address.toString(QUrl::FullyEncoded);
    const QString text = what + QStringLiteral("\n\n") + where;
    QMessageBox box(QMessageBox::Warning, AppInfo::appTitle(), text, QMessageBox::Ok, parent);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}
