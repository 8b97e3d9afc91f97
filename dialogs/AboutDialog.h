#pragma once

#include <QDialog>

namespace Ui {
class AboutDialog;
}

// The fixed-size about box: logo, title, version, web site link and the model's licence notice.
// Create it with new: the close button deletes it.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent);
    ~AboutDialog() override;

private slots:
    void on_closeButton_clicked();

private:
    Ui::AboutDialog *ui = nullptr;
};
