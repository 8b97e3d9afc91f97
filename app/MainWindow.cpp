#include "app/MainWindow.h"

#include "app/windowgeometry.h"
#include "base/AppInfo.h"
#include "base/settingsstore.h"
#include "ui_MainWindow.h"
#include "workspace/PelmoraForm.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QSettings>
#include <QStackedLayout>
#include <QUrl>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    restoreWindowGeometry();

    stackedLayout = new QStackedLayout;
    if (!form) {
        form = new PelmoraForm(this);
        form->show();
        stackedLayout->addWidget(form);
    }
    auto *box = new QVBoxLayout;
    box->addLayout(stackedLayout, 0);
    ui->centralwidget->setLayout(box);
    // Below this the splitter squeezes the preview to a sliver and the device note is cut. Logical
    // pixels: a scale factor grows the floor with the fonts.
    setMinimumSize(minimumSizeHint().expandedTo(QSize(760, 500)));

    setWindowTitle(AppInfo::appTitle());
    // Windows takes the executable's icon resource; other systems need the window to carry one.
    setWindowIcon(QIcon(QStringLiteral(":/resources/images/Logo128.png")));
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::addFiles(const QStringList &paths)
{
    const auto showing = [this](const char *page) {
        const auto *widget = form->findChild<QWidget *>(QLatin1String(page));
        return widget && widget->isVisibleTo(form);
    };
    if (paths.isEmpty() || !(showing("sourceFrame") || showing("orgWidget")))
        return;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    // The form's drop slot: the one way in that walks folders and skips what it cannot open.
    if (!QMetaObject::invokeMethod(form, "on_AddURLs", Q_ARG(QList<QUrl>, urls)))
        qWarning("the workspace form takes no dropped files");
}

void MainWindow::restoreWindowGeometry()
{
    // The whole screen, not the available area: the stored values are compared with it.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QSize screenSize =
        screen ? screen->size() : QSize(WindowGeometry::minimumWidth, WindowGeometry::minimumHeight);
    const QSettings settings(QString::fromLatin1(SettingsStore::organization),
                             QString::fromLatin1(SettingsStore::application));
    setGeometry(WindowGeometry::restore(WindowGeometry::read(settings), screenSize));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings(QString::fromLatin1(SettingsStore::organization),
                       QString::fromLatin1(SettingsStore::application));
    WindowGeometry::write(settings, geometry());
    event->accept();
}

void MainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ThemeChange && form)
        form->updateIcons();
}
