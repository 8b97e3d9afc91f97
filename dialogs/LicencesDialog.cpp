#include "dialogs/LicencesDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

QList<LicenceEntry> licenceEntries()
{
    const QString apache = QStringLiteral(":/licences/Apache-2.0.txt");
    return {
        {QStringLiteral("Real-ESRGAN (BSD 3-Clause)"), {QStringLiteral(":/licences/Real-ESRGAN.txt")}},
        {QStringLiteral("Qt (LGPL 3)"),
         {QStringLiteral(":/licences/Qt.txt"), QStringLiteral(":/licences/LGPL-3.0.txt"),
          QStringLiteral(":/licences/GPL-3.0.txt")}},
        {QStringLiteral("oneDNN (Apache 2.0)"), {QStringLiteral(":/licences/oneDNN.txt"), apache}},
        {QStringLiteral("Vulkan loader (Apache 2.0)"),
         {QStringLiteral(":/licences/Vulkan-Loader.txt"), apache}},
    };
}

QString licenceText(const LicenceEntry &entry)
{
    QStringList parts;
    for (const QString &path : entry.files) {
        QFile file(path);
        parts << (file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                                 : QStringLiteral("(%1 is missing)").arg(path));
    }
    return parts.join(QStringLiteral("\n\n") + QString(72, QLatin1Char('-')) + QStringLiteral("\n\n"));
}

LicencesDialog::LicencesDialog(QWidget *parent) : QDialog(parent), entries(licenceEntries())
{
    setObjectName(QStringLiteral("LicencesDialog"));
    setWindowTitle(tr("Licences"));

    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("licenceList"));
    for (const LicenceEntry &entry : entries)
        list->addItem(entry.title);
    list->setMaximumWidth(list->sizeHintForColumn(0) + 2 * list->frameWidth() + 8);

    text = new QPlainTextEdit(this);
    text->setObjectName(QStringLiteral("licenceText"));
    text->setReadOnly(true);
    // The texts are laid out in fixed columns; a proportional font breaks their indentation.
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *panes = new QHBoxLayout;
    panes->addWidget(list);
    panes->addWidget(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(panes);
    layout->addWidget(buttons);

    connect(list, &QListWidget::currentRowChanged, this, &LicencesDialog::showEntry);
    list->setCurrentRow(0);
    // Wide enough for the texts' 80 columns beside the list.
    resize(list->maximumWidth() + text->fontMetrics().horizontalAdvance(QLatin1Char('m')) * 82 + 60, 520);
}

void LicencesDialog::showEntry(int row)
{
    if (row < 0 || row >= entries.size())
        return;
    text->setPlainText(licenceText(entries.at(row)));
    text->moveCursor(QTextCursor::Start);
}
