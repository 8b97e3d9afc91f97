#pragma once

#include <QDialog>

namespace Ui {
class AboutDialog;
}

// The fixed-size about box: logo, title, version, the system it runs on, web site link, the model's
// licence notice and the way to the licence texts of everything the program ships with.
// Create it with new: the close button deletes it.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent);
    ~AboutDialog() override;

private slots:
    void on_closeButton_clicked();
    void on_licencesButton_clicked();

private:
    Ui::AboutDialog *ui = nullptr;
};
