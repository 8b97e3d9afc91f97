#pragma once

#include <QMainWindow>

namespace Ui {
class MainWindow;
}
class QStackedLayout;
class PelmoraForm;

// The one top-level window: hosts the workspace form and keeps its own geometry between runs.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    // Serves only the theme-aware icons; other change events are deliberately not passed on.
    void changeEvent(QEvent *event) override;

private:
    void restoreWindowGeometry();

    Ui::MainWindow *ui = nullptr;
    QStackedLayout *stackedLayout = nullptr;
    PelmoraForm *form = nullptr;
};
