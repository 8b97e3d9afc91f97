#pragma once

#include <QDialog>

namespace Ui {
class CheckUpdateDialog;
}
class QNetworkReply;

// Fetches the vendor's update file once, while it is being constructed, and says whether a newer
// version exists; its second button opens the product page either way.
// Create it with new: the close button deletes it, and with it a request still running.
class CheckUpdateDialog : public QDialog {
    Q_OBJECT

public:
    explicit CheckUpdateDialog(QWidget *parent);
    ~CheckUpdateDialog() override;

private slots:
    void on_closeButton_clicked();
    void fileIsReady(QNetworkReply *reply);
    void on_downloadButton_clicked();

private:
    Ui::CheckUpdateDialog *ui = nullptr;
    int latestMajor = 0;
    int latestMinor = 0;
    int latestSubMinor = 0;
};
