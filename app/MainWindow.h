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

    // Files the window was started with ("Open with" in a file manager) join the list as a drop
    // would. Only over the list pages: over the model pages the list would come forward before the
    // models are there, so the files are left out.
    void addFiles(const QStringList &paths);

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
