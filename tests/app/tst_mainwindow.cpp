#include "app/MainWindow.h"
#include "app/windowgeometry.h"
#include "support/iconcheck.h"
#include "workspace/PelmoraForm.h"
#include "workspace/models/modelFiles.h"

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QPalette>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowForm();
    void restoresStoredGeometry_data();
    void restoresStoredGeometry();
    void closeSavesGeometryUnderCorvanePelmora();
    void themeChangeSwapsIcons();
    void startFilesJoinTheListOverTheListPages_data();
    void startFilesJoinTheListOverTheListPages();

private:
    QTemporaryDir settingsDir;
    QPalette originalPalette;
};

void TestMainWindow::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    QVERIFY(settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    qputenv("XDG_DATA_HOME", QFile::encodeName(settingsDir.filePath(QStringLiteral("data"))));
    QApplication::setStyle(QStringLiteral("Fusion"));
    originalPalette = QGuiApplication::palette();
}

void TestMainWindow::init()
{
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Pelmora")).clear();
}

void TestMainWindow::cleanup()
{
    QGuiApplication::setPalette(originalPalette);
}

void TestMainWindow::windowForm()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Brivelle AI"));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.metaObject()->className(), "MainWindow");
    // No slots or signals of its own.
    QCOMPARE(window.metaObject()->methodCount(), QMainWindow::staticMetaObject.methodCount());

    auto *central = window.findChild<QWidget *>(QStringLiteral("centralwidget"));
    QVERIFY(central);
    QCOMPARE(window.centralWidget(), central);
    auto *menubar = window.findChild<QMenuBar *>(QStringLiteral("menubar"));
    QVERIFY(menubar);
    QCOMPARE(window.menuBar(), menubar);
    QVERIFY(menubar->actions().isEmpty());
    auto *statusbar = window.findChild<QStatusBar *>(QStringLiteral("statusbar"));
    QVERIFY(statusbar);
    QCOMPARE(window.statusBar(), statusbar);

    // The form is the only page, inside the central widget's layout.
    const QList<PelmoraForm *> forms = window.findChildren<PelmoraForm *>();
    QCOMPARE(forms.size(), 1);
    QVERIFY(central->isAncestorOf(forms.constFirst()));
    QVERIFY(!window.isMaximized());
    // Never smaller than what its pages need: the device note and the preview are not cut.
    window.resize(600, 380);
    QVERIFY2(window.width() >= 760 && window.height() >= 500,
             qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
    QCOMPARE(window.minimumSize().expandedTo(window.minimumSizeHint()), window.minimumSize());

    // The window system shows the application's logo for the window, not a generic one.
    const QImage logo =
        QImage(QStringLiteral(":/resources/images/Logo128.png")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!logo.isNull());
    QVERIFY(looksTheSame(window.windowIcon().pixmap(logo.size()).toImage(), logo));
}

void TestMainWindow::restoresStoredGeometry_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QRect>("values");
    QTest::newRow("first start") << false << QRect();
    QTest::newRow("inside the screen") << true << QRect(40, 30, 990, 520);
    QTest::newRow("beyond every edge") << true << QRect(-7, 9000, 40, 9000);
}

void TestMainWindow::restoresStoredGeometry()
{
    QFETCH(bool, stored);
    QFETCH(QRect, values);
    if (stored) {
        QSettings settings(QStringLiteral("Corvane"), QStringLiteral("Pelmora"));
        WindowGeometry::write(settings, values);
    }
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const QRect expected = WindowGeometry::restore(
        stored ? StoredGeometry{values.x(), values.y(), values.width(), values.height()} : StoredGeometry{},
        screen);

    MainWindow window;
    // Never below the size at which nothing of the form is cut (with other fonts it may exceed the
    // rules' own minimum).
    QCOMPARE(window.geometry(), QRect(expected.topLeft(), expected.size().expandedTo(window.minimumSize())));
}

void TestMainWindow::closeSavesGeometryUnderCorvanePelmora()
{
    QRect geometry;
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.setGeometry(QRect(23, 17, 1001, 600));
        geometry = window.geometry();
        QVERIFY(window.close());
    }
    const QString file = settingsDir.filePath(QStringLiteral("Corvane/Pelmora.conf"));
    QVERIFY2(QFileInfo::exists(file), qPrintable(file));
    const QSettings saved(file, QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("posX")).toInt(), geometry.x());
    QCOMPARE(saved.value(QStringLiteral("posY")).toInt(), geometry.y());
    QCOMPARE(saved.value(QStringLiteral("width")).toInt(), geometry.width());
    QCOMPARE(saved.value(QStringLiteral("height")).toInt(), geometry.height());

    // The next start takes the same geometry back when it satisfies the rules.
    const QRect again = WindowGeometry::restore(WindowGeometry::read(saved), QSize(1920, 1080));
    QCOMPARE(again, geometry);
}

void TestMainWindow::themeChangeSwapsIcons()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    QSKIP("the colour scheme comes from the platform theme here, not from the palette");
#endif
    MainWindow window;
    auto *add = window.findChild<QToolButton *>(QStringLiteral("addButton"));
    auto *about = window.findChild<QToolButton *>(QStringLiteral("aboutButton2"));
    QVERIFY(add && about);
    QVERIFY(showsImage(add, QStringLiteral("_Add24.png")));

    QGuiApplication::setPalette(darkPalette());
    // Other change events leave the icons alone.
    QEvent fontChange(QEvent::FontChange);
    QApplication::sendEvent(&window, &fontChange);
    QVERIFY(showsImage(add, QStringLiteral("_Add24.png")));

    QEvent themeChange(QEvent::ThemeChange);
    QApplication::sendEvent(&window, &themeChange);
    QVERIFY(showsImage(add, QStringLiteral("_AddWhite24.png")));
    QVERIFY(showsImage(about, QStringLiteral("AboutWhite24.png")));

    QGuiApplication::setPalette(originalPalette);
    QApplication::sendEvent(&window, &themeChange);
    QVERIFY(showsImage(add, QStringLiteral("_Add24.png")));
}

void TestMainWindow::startFilesJoinTheListOverTheListPages_data()
{
    QTest::addColumn<bool>("models");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("page");
    QTest::newRow("models present: the list") << true << 1 << QStringLiteral("orgWidget");
    QTest::newRow("models missing: their page stays") << false << 0 << QStringLiteral("downloadModelWidget");
}

void TestMainWindow::startFilesJoinTheListOverTheListPages()
{
    QFETCH(bool, models);
    QFETCH(int, rows);
    QFETCH(QString, page);
    QTemporaryDir install;
    QVERIFY(install.isValid());
    if (models) {
        // The start-up check looks at names and sizes only.
        for (const ModelFile &model : modelFileTable()) {
            QFile file(modelFilePath(install.path(), model.fileName));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(model.size));
        }
    }
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"))
        .setValue(QStringLiteral("Path"), install.path());
    const QString picture = install.filePath(QStringLiteral("picture.png"));
    QImage image(32, 24, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QVERIFY(image.save(picture));

    MainWindow window;
    window.addFiles({picture, install.filePath(QStringLiteral("absent.png"))});
    auto *list = window.findChild<QTreeView *>(QStringLiteral("sourceTreeView"));
    QVERIFY(list && list->model());
    QTRY_COMPARE(list->model()->rowCount(), rows);
    const auto *shown = window.findChild<QWidget *>(page);
    QVERIFY(shown && shown->isVisibleTo(&window));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
