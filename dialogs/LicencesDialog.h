#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QListWidget;
class QPlainTextEdit;

// One component the program ships with or runs on, and the texts that belong to it: its notice
// first, then the full licence texts that the notice names.
struct LicenceEntry {
    QString title;
    QStringList files; // resource paths, also installed beside the program
};

// Real-ESRGAN, Qt, oneDNN and the Vulkan loader, in that order.
QList<LicenceEntry> licenceEntries();

// The texts of an entry joined in order; a file that cannot be read is named instead of its text.
QString licenceText(const LicenceEntry &entry);

// The licences view of the about box: the components on the left, the selected one's texts on the
// right. Resizable, since licence texts are long.
class LicencesDialog : public QDialog {
    Q_OBJECT

public:
    explicit LicencesDialog(QWidget *parent);

private:
    void showEntry(int row);

    QList<LicenceEntry> entries;
    QListWidget *list = nullptr;
    QPlainTextEdit *text = nullptr;
};
