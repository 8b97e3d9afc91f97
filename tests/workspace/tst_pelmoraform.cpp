#include "support/browsercatcher.h"
#include "support/iconcheck.h"
#include "widgets/PelmoraFrame.h"
#include "widgets/PelmoraTreeView.h"
#include "workspace/PelmoraForm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSettings>
#include <QSlider>
#include <QStackedLayout>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <memory>

struct FormTestTag;
template <> struct PelmoraFormProbe<FormTestTag> {
    static QStackedLayout *pageStack(PelmoraForm &form) { return form.pageStack; }
    static QStandardItemModel &fileModel(PelmoraForm &form) { return form.fileModel; }
    static bool uiReady(PelmoraForm &form) { return form.uiReady; }
    static bool previewTimerActive(PelmoraForm &form) { return form.previewTimer.isActive(); }
    // Each answers whether the explicit connection of the constructor was there (and takes it away).
    static bool timerReachesTick(PelmoraForm &form)
    {
        return QObject::disconnect(&form.previewTimer, &QTimer::timeout, &form, &PelmoraForm::on_updateTimer);
    }
    static bool selectionReachesHandler(PelmoraForm &form, QItemSelectionModel *selection)
    {
        return QObject::disconnect(selection, &QItemSelectionModel::selectionChanged, &form,
                                   &PelmoraForm::on_itemSelection_changed);
    }
    static bool dropsReachTheList(PelmoraForm &form, PelmoraFrame *frame, PelmoraTreeView *view)
    {
        return QObject::disconnect(frame, &PelmoraFrame::addURLs, &form, &PelmoraForm::on_AddURLs) &&
               QObject::disconnect(view, &PelmoraTreeView::addURLs, &form, &PelmoraForm::on_AddURLs);
    }
};
using Probe = PelmoraFormProbe<FormTestTag>;

class TestPelmoraForm : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void widgetTree_data();
    void widgetTree();
    void texts_data();
    void texts();
    void pages();
    void toolButtons_data();
    void toolButtons();
    void initialIcons();
    void listAndOptions();
    void constructionSteps();
    void buttonsReachTheirSlots_data();
    void buttonsReachTheirSlots();
    void dialogButtonsOpenModalDialogs_data();
    void dialogButtonsOpenModalDialogs();
    void webButtonsOpenTheSite_data();
    void webButtonsOpenTheSite();
    void updateIcons_data();
    void updateIcons();
    void slotOrder();

private:
    std::unique_ptr<QWidget> host;
    PelmoraForm *form = nullptr;
    QTemporaryDir home;
    QPalette originalPalette;
};

void TestPelmoraForm::initTestCase()
{
    // on_itemSelection_changed is connected explicitly; connectSlotsByName reads it as object
    // "itemSelection" and says so on every construction.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    QVERIFY(home.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       home.filePath(QStringLiteral("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    // The update dialog asks the server at once: a closed loopback port answers without delay.
    qputenv("BRIVELLE_SERVER_URL", "http://127.0.0.1:9");
    QApplication::setStyle(QStringLiteral("Fusion"));
    originalPalette = QGuiApplication::palette();
}

void TestPelmoraForm::init()
{
    if (!form) {
        host = std::make_unique<QWidget>();
        form = new PelmoraForm(host.get());
    }
}

// A form costs a GPU instance and a device query; the tests that only read it share one.
void TestPelmoraForm::cleanup()
{
    static const QByteArrayList readOnly = {"widgetTree",   "texts",          "toolButtons",
                                            "initialIcons", "listAndOptions", "slotOrder"};
    if (readOnly.contains(QByteArray(QTest::currentTestFunction())) && !QTest::currentTestFailed())
        return;
    host.reset();
    form = nullptr;
    QGuiApplication::setPalette(originalPalette);
}

void TestPelmoraForm::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parentName");
    const struct {
        const char *name;
        const char *className;
        const char *parent; // the widget it lives in once the layouts are built
    } rows[] = {
        {"sourceFrame", "PelmoraFrame", "PelmoraForm"},
        {"sourceFrameContent", "QWidget", "sourceFrame"},
        {"sourceImageButton", "QToolButton", "sourceFrameContent"},
        {"sourceLabel", "QLabel", "sourceFrameContent"},
        {"aboutButton2", "QToolButton", "sourceFrame"},
        {"webButton2", "QToolButton", "sourceFrame"},
        {"updateButton2", "QToolButton", "sourceFrame"},
        {"orgWidget", "QWidget", "PelmoraForm"},
        {"upscaleButton", "QToolButton", "orgWidget"},
        {"sourceTreeView", "PelmoraTreeView", ""},
        {"clearButton", "QToolButton", "orgWidget"},
        {"removeButton", "QToolButton", "orgWidget"},
        {"optionsWidget", "QWidget", ""},
        {"outputFolderButton", "QToolButton", "optionsWidget"},
        {"outputFolderLabel", "QLabel", "optionsWidget"},
        {"outputFolderLineEdit", "QLineEdit", "optionsWidget"},
        {"scrollArea", "QScrollArea", "optionsWidget"},
        {"scrollAreaWidgetContents", "QWidget", ""},
        {"orgLabel", "QLabel", "scrollAreaWidgetContents"},
        {"scaleSlider", "QSlider", "optionsWidget"},
        {"scaleLabel", "QLabel", "optionsWidget"},
        {"processLabel", "QLabel", "optionsWidget"},
        {"processCpuRadioButton", "QRadioButton", "optionsWidget"},
        {"processGpuRadioButton", "QRadioButton", "optionsWidget"},
        {"processInfoLabel", "QLabel", "optionsWidget"},
        {"processGpuComboBox", "QComboBox", "optionsWidget"},
        {"aboutButton", "QToolButton", "orgWidget"},
        {"line", "QFrame", "orgWidget"},
        {"webButton", "QToolButton", "orgWidget"},
        {"addButton", "QToolButton", "orgWidget"},
        {"updateButton", "QToolButton", "orgWidget"},
        {"progressWidget", "QWidget", "PelmoraForm"},
        {"progressBar", "QProgressBar", "progressWidget"},
        {"cancelButton", "QPushButton", "progressWidget"},
        {"progressLabel", "QLabel", "progressWidget"},
        {"progressFileLabel", "QLabel", "progressWidget"},
        {"downloadModelWidget", "QWidget", "PelmoraForm"},
        {"downloadTitleLabel", "QLabel", "downloadModelWidget"},
        {"downloadDescLabel", "QLabel", "downloadModelWidget"},
        {"downloadButton", "QPushButton", "downloadModelWidget"},
        {"downloadProgressWidget", "QWidget", "PelmoraForm"},
        {"downloadProgressBar", "QProgressBar", "downloadProgressWidget"},
        {"downloadFileLabel", "QLabel", "downloadProgressWidget"},
        {"downloadErrorDescLabel", "QLabel", "downloadProgressWidget"},
        {"downloadErrorDescButton", "QPushButton", "downloadProgressWidget"},
    };
    static_assert(sizeof(rows) / sizeof(rows[0]) == 45, "the form has 45 widgets");
    for (const auto &row : rows) {
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << QByteArray(row.className)
                                << QString::fromLatin1(row.parent);
    }
}

void TestPelmoraForm::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parentName);
    QCOMPARE(form->objectName(), QStringLiteral("PelmoraForm"));
    const QList<QWidget *> found = form->findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.constFirst();
    QCOMPARE(QByteArray(widget->metaObject()->className()), className);
    if (!parentName.isEmpty())
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
}

void TestPelmoraForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("sourceImageButton") << "sourceImageButton"
                                       << "..."
                                       << "";
    QTest::newRow("sourceLabel") << "sourceLabel"
                                 << "Drop Image here"
                                 << "";
    QTest::newRow("aboutButton2") << "aboutButton2"
                                  << "About"
                                  << "About";
    QTest::newRow("webButton2") << "webButton2"
                                << "Website"
                                << "Website";
    QTest::newRow("updateButton2") << "updateButton2"
                                   << "Update"
                                   << "Update";
    QTest::newRow("upscaleButton") << "upscaleButton"
                                   << "Upscale"
                                   << "Upscale";
    QTest::newRow("clearButton") << "clearButton"
                                 << ""
                                 << "Remove All";
    QTest::newRow("removeButton") << "removeButton"
                                  << ""
                                  << "Remove";
    QTest::newRow("outputFolderButton") << "outputFolderButton"
                                        << "..."
                                        << "";
    QTest::newRow("outputFolderLabel") << "outputFolderLabel"
                                       << "Save upscaled images to:"
                                       << "";
    QTest::newRow("orgLabel") << "orgLabel"
                              << "Preview"
                              << "";
    QTest::newRow("processLabel") << "processLabel"
                                  << "AI Processing Backend:"
                                  << "";
    QTest::newRow("processCpuRadioButton") << "processCpuRadioButton"
                                           << "CPU (Best for older PCs)"
                                           << "";
    QTest::newRow("processGpuRadioButton") << "processGpuRadioButton"
                                           << "GPU (Recommended / Fast)"
                                           << "";
    QTest::newRow("aboutButton") << "aboutButton"
                                 << ""
                                 << "About";
    QTest::newRow("webButton") << "webButton"
                               << ""
                               << "Website";
    QTest::newRow("addButton") << "addButton"
                               << ""
                               << "Add";
    QTest::newRow("updateButton") << "updateButton"
                                  << "Update"
                                  << "Update";
    QTest::newRow("cancelButton") << "cancelButton"
                                  << "Cancel"
                                  << "";
    QTest::newRow("progressLabel") << "progressLabel"
                                   << "TextLabel"
                                   << "";
    QTest::newRow("progressFileLabel") << "progressFileLabel"
                                       << "TextLabel"
                                       << "";
    QTest::newRow("downloadTitleLabel") << "downloadTitleLabel"
                                        << "AI Models Missing"
                                        << "";
    QTest::newRow("downloadDescLabel") << "downloadDescLabel"
                                       << "The required AI model files are missing from your installation "
                                          "folder. Please click the button below "
                                          "to download them."
                                       << "";
    QTest::newRow("downloadButton") << "downloadButton"
                                    << "Download"
                                    << "";
    QTest::newRow("downloadFileLabel") << "downloadFileLabel"
                                       << "TextLabel"
                                       << "";
    QTest::newRow("downloadErrorDescLabel")
        << "downloadErrorDescLabel"
        << "We encountered an error while downloading the required AI models. Please check your internet "
           "connection and try again."
        << "";
    QTest::newRow("downloadErrorDescButton") << "downloadErrorDescButton"
                                             << "Try Again"
                                             << "";
}

void TestPelmoraForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QWidget *widget = form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
    QCOMPARE(widget->toolTip(), toolTip);
}

void TestPelmoraForm::pages()
{
    QCOMPARE(form->windowTitle(), QStringLiteral("Form"));
    QStackedLayout *stack = Probe::pageStack(*form);
    QVERIFY(stack);
    QCOMPARE(form->layout(), stack);
    const char *pageNames[] = {"sourceFrame", "orgWidget", "progressWidget", "downloadModelWidget",
                               "downloadProgressWidget"};
    QCOMPARE(stack->count(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(stack->widget(i)->objectName(), QString::fromLatin1(pageNames[i]));
    // The drop page, unless the model check found files missing.
    QVERIFY2(stack->currentIndex() == 0 || stack->currentIndex() == 3,
             qPrintable(QString::number(stack->currentIndex())));

    host->resize(1280, 800);
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host.get()));
    QVERIFY(!form->findChild<QWidget *>(QStringLiteral("downloadErrorDescLabel"))->isVisibleTo(form));
    QVERIFY(!form->findChild<QWidget *>(QStringLiteral("downloadErrorDescButton"))->isVisibleTo(form));
    QVERIFY(stack->currentWidget()->isVisible());

    // The error pair stays hidden when its page comes up.
    stack->setCurrentIndex(4);
    QVERIFY(form->findChild<QWidget *>(QStringLiteral("downloadProgressBar"))->isVisible());
    QVERIFY(!form->findChild<QWidget *>(QStringLiteral("downloadErrorDescLabel"))->isVisible());
    QVERIFY(!form->findChild<QWidget *>(QStringLiteral("downloadErrorDescButton"))->isVisible());
}

void TestPelmoraForm::toolButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("iconSide");
    QTest::addColumn<bool>("textBesideIcon");
    QTest::addColumn<bool>("autoRaise");
    QTest::addColumn<int>("minimumWidth");
    QTest::addColumn<int>("maximumWidth");
    const int none = QWIDGETSIZE_MAX;
    QTest::newRow("sourceImageButton") << "sourceImageButton" << 256 << false << true << 0 << none;
    QTest::newRow("updateButton2") << "updateButton2" << 24 << true << true << 32 << none;
    QTest::newRow("webButton2") << "webButton2" << 24 << true << true << 32 << none;
    QTest::newRow("aboutButton2") << "aboutButton2" << 24 << true << true << 32 << none;
    QTest::newRow("upscaleButton") << "upscaleButton" << 24 << true << true << 0 << none;
    QTest::newRow("addButton") << "addButton" << 24 << false << true << 32 << 32;
    QTest::newRow("removeButton") << "removeButton" << 24 << false << true << 32 << 32;
    QTest::newRow("clearButton") << "clearButton" << 24 << false << true << 32 << 32;
    QTest::newRow("updateButton") << "updateButton" << 24 << false << true << 32 << 32;
    QTest::newRow("webButton") << "webButton" << 24 << false << true << 32 << 32;
    QTest::newRow("aboutButton") << "aboutButton" << 24 << false << true << 32 << 32;
    QTest::newRow("outputFolderButton") << "outputFolderButton" << 24 << false << false << 0 << none;
}

void TestPelmoraForm::toolButtons()
{
    QFETCH(QString, name);
    QFETCH(int, iconSide);
    QFETCH(bool, textBesideIcon);
    QFETCH(bool, autoRaise);
    QFETCH(int, minimumWidth);
    QFETCH(int, maximumWidth);
    auto *button = form->findChild<QToolButton *>(name);
    QVERIFY(button);
    QCOMPARE(button->iconSize(), QSize(iconSide, iconSide));
    QCOMPARE(button->toolButtonStyle(),
             textBesideIcon ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
    QCOMPARE(button->autoRaise(), autoRaise);
    QCOMPARE(button->minimumWidth(), minimumWidth);
    QCOMPARE(button->maximumWidth(), maximumWidth);
}

void TestPelmoraForm::initialIcons()
{
    // Widget setup installs the standard family, whatever the scheme.
    const struct {
        const char *button;
        const char *image;
    } rows[] = {{"sourceImageButton", "_DropLogo.png"},
                {"updateButton2", "Update24.png"},
                {"webButton2", "Web24.png"},
                {"aboutButton2", "About24.png"},
                {"upscaleButton", "_Convert24.png"},
                {"addButton", "_Add24.png"},
                {"removeButton", "_Delete24.png"},
                {"clearButton", "_shortcut24.png"},
                {"updateButton", "Update24.png"},
                {"webButton", "Web24.png"},
                {"aboutButton", "About24.png"},
                {"outputFolderButton", "_Folder24.png"}};
    for (const auto &row : rows) {
        auto *button = form->findChild<QToolButton *>(QString::fromLatin1(row.button));
        QVERIFY2(button && showsImage(button, QString::fromLatin1(row.image)), row.button);
    }
}

void TestPelmoraForm::listAndOptions()
{
    auto *view = form->findChild<PelmoraTreeView *>(QStringLiteral("sourceTreeView"));
    QVERIFY(view);
    QStandardItemModel &model = Probe::fileModel(*form);
    QCOMPARE(view->model(), &model);
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.horizontalHeaderItem(0)->text(), QStringLiteral("File List"));
    QCOMPARE(model.horizontalHeaderItem(1)->text(), QStringLiteral("Path"));
    QCOMPARE(view->iconSize(), QSize(64, 64));
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    QVERIFY(view->acceptDrops());
    QVERIFY(view->dragEnabled());
    QCOMPARE(view->dragDropMode(), QAbstractItemView::InternalMove);
    QCOMPARE(view->defaultDropAction(), Qt::MoveAction);
    QVERIFY(view->selectedPath.isEmpty());
    // Room for the thumbnail and its label, without branch indentation.
    QVERIFY(!view->rootIsDecorated());
    QVERIFY(view->columnWidth(0) >=
            64 + view->fontMetrics().horizontalAdvance(QStringLiteral("holiday_photo_1.jpg")));

    auto *frame = form->findChild<PelmoraFrame *>(QStringLiteral("sourceFrame"));
    QVERIFY(frame->acceptDrops());
    QCOMPARE(frame->frameShape(), QFrame::NoFrame);
    QCOMPARE(frame->minimumSize(), QSize(431, 291));

    auto *slider = form->findChild<QSlider *>(QStringLiteral("scaleSlider"));
    QCOMPARE(slider->orientation(), Qt::Horizontal);
    QCOMPARE(slider->minimum(), 1);
    QCOMPARE(slider->maximum(), 2);
    QCOMPARE(slider->singleStep(), 1);
    QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
    QCOMPARE(slider->tickInterval(), 2);

    auto *line = form->findChild<QFrame *>(QStringLiteral("line"));
    QCOMPARE(line->frameShape(), QFrame::VLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);

    auto *edit = form->findChild<QLineEdit *>(QStringLiteral("outputFolderLineEdit"));
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->minimumHeight(), 32);

    auto *scroll = form->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    QVERIFY(scroll->widgetResizable());
    QCOMPARE(scroll->widget()->objectName(), QStringLiteral("scrollAreaWidgetContents"));
    QCOMPARE(scroll->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(scroll->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    auto *preview = form->findChild<QLabel *>(QStringLiteral("orgLabel"));
    QCOMPARE(preview->frameShape(), QFrame::Box);
    QCOMPARE(preview->alignment(), Qt::AlignCenter);

    QCOMPARE(form->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"))->value(), 0);
    auto *title = form->findChild<QLabel *>(QStringLiteral("downloadTitleLabel"));
    QCOMPARE(title->font().pointSize(), 11);
    QVERIFY(title->font().bold());
    auto *drop = form->findChild<QLabel *>(QStringLiteral("sourceLabel"));
    QCOMPARE(drop->font().pointSize(), 20);
    QVERIFY(drop->font().bold());
    QVERIFY(form->findChild<QLabel *>(QStringLiteral("downloadDescLabel"))->wordWrap());
    QVERIFY(form->findChild<QLabel *>(QStringLiteral("downloadErrorDescLabel"))->wordWrap());
    QCOMPARE(form->findChild<QPushButton *>(QStringLiteral("cancelButton"))->sizePolicy(),
             QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
}

void TestPelmoraForm::constructionSteps()
{
    QVERIFY(Probe::uiReady(*form));
    QVERIFY(!Probe::previewTimerActive(*form));
    auto *view = form->findChild<PelmoraTreeView *>(QStringLiteral("sourceTreeView"));
    auto *frame = form->findChild<PelmoraFrame *>(QStringLiteral("sourceFrame"));
    QVERIFY(view && frame);
    QVERIFY(Probe::selectionReachesHandler(*form, view->selectionModel()));
    QVERIFY(Probe::dropsReachTheList(*form, frame, view));
    QVERIFY(Probe::timerReachesTick(*form));
}

void TestPelmoraForm::buttonsReachTheirSlots_data()
{
    QTest::addColumn<QString>("name");
    const char *names[] = {"sourceImageButton", "updateButton2", "webButton2",   "aboutButton2",
                           "upscaleButton",     "addButton",     "removeButton", "clearButton",
                           "updateButton",      "webButton",     "aboutButton",  "outputFolderButton",
                           "cancelButton",      "downloadButton"};
    for (const char *name : names)
        QTest::newRow(name) << QString::fromLatin1(name);
}

// Slots are connected by name: a button whose name or signal does not match stays dead silently.
void TestPelmoraForm::buttonsReachTheirSlots()
{
    QFETCH(QString, name);
    auto *button = form->findChild<QAbstractButton *>(name);
    QVERIFY(button);
    const QByteArray slot = "on_" + name.toLatin1() + "_clicked()";
    const int slotIndex = form->metaObject()->indexOfSlot(slot.constData());
    QVERIFY2(slotIndex >= 0, slot.constData());
    const QMetaMethod method = form->metaObject()->method(slotIndex);
    const QMetaMethod clicked = QMetaMethod::fromSignal(&QAbstractButton::clicked);
    // connectSlotsByName picks the overload without arguments of clicked(bool).
    const int clickedNoArgs = button->metaObject()->indexOfSignal("clicked()");
    QVERIFY(clickedNoArgs >= 0);
    const QMetaMethod signal = button->metaObject()->method(clickedNoArgs);
    QVERIFY2(QObject::disconnect(button, signal, form, method) ||
                 QObject::disconnect(button, clicked, form, method),
             "not connected");
}

void TestPelmoraForm::dialogButtonsOpenModalDialogs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("dialogClass");
    QTest::newRow("aboutButton") << "aboutButton" << QByteArray("AboutDialog");
    QTest::newRow("aboutButton2") << "aboutButton2" << QByteArray("AboutDialog");
    QTest::newRow("updateButton") << "updateButton" << QByteArray("CheckUpdateDialog");
    QTest::newRow("updateButton2") << "updateButton2" << QByteArray("CheckUpdateDialog");
}

void TestPelmoraForm::dialogButtonsOpenModalDialogs()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, dialogClass);
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host.get()));
    Probe::pageStack(*form)->setCurrentIndex(name.endsWith(QLatin1Char('2')) ? 0 : 1);
    auto *button = form->findChild<QAbstractButton *>(name);
    QVERIFY(button);

    // The dialog is gone once the slot returns, so its traits are noted while it runs.
    QByteArray seenClass;
    QWidget *seenParent = nullptr;
    QTimer::singleShot(0, this, [&] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (dialog) {
            seenClass = dialog->metaObject()->className();
            seenParent = dialog->parentWidget();
            dialog->reject();
        }
    });
    button->click();
    QCOMPARE(seenClass, dialogClass);
    QCOMPARE(seenParent, form);
}

void TestPelmoraForm::webButtonsOpenTheSite_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("webButton") << "webButton";
    QTest::newRow("webButton2") << "webButton2";
}

void TestPelmoraForm::webButtonsOpenTheSite()
{
    QFETCH(QString, name);
    qputenv("BRIVELLE_SERVER_URL", "http://127.0.0.1:8099");
    BrowserCatcher catcher;
    form->findChild<QAbstractButton *>(name)->click();
    qputenv("BRIVELLE_SERVER_URL", "http://127.0.0.1:9");
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:8099"))});
}

void TestPelmoraForm::updateIcons_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("listEmpty");
    QTest::newRow("light, list filled") << false << false;
    QTest::newRow("dark, list filled") << true << false;
    QTest::newRow("light, list empty") << false << true;
    QTest::newRow("dark, list empty") << true << true;
}

void TestPelmoraForm::updateIcons()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    QSKIP("the colour scheme comes from the platform theme here, not from the palette");
#endif
    QFETCH(bool, dark);
    QFETCH(bool, listEmpty);
    if (dark)
        QGuiApplication::setPalette(darkPalette());
    // What the file list does when it empties: the three list buttons go grey.
    for (const char *name : {"upscaleButton", "removeButton", "clearButton"})
        form->findChild<QToolButton *>(QString::fromLatin1(name))->setEnabled(!listEmpty);
    form->updateIcons();

    const QString family = dark ? QStringLiteral("White") : QString();
    const struct {
        const char *button;
        const char *glyph;
        const char *size;
        bool grays;
    } rows[] = {
        {"addButton", "_Add", "24", false},        {"sourceImageButton", "_DropLogo", "", false},
        {"upscaleButton", "_Convert", "24", true}, {"removeButton", "_Delete", "24", true},
        {"clearButton", "_shortcut", "24", true},  {"outputFolderButton", "_Folder", "24", false},
        {"updateButton", "Update", "24", false},   {"updateButton2", "Update", "24", false},
        {"webButton", "Web", "24", false},         {"webButton2", "Web", "24", false},
        {"aboutButton", "About", "24", false},     {"aboutButton2", "About", "24", false},
    };
    for (const auto &row : rows) {
        const QString variant = (row.grays && listEmpty) ? QStringLiteral("Gray") : family;
        const QString image =
            QString::fromLatin1(row.glyph) + variant + QString::fromLatin1(row.size) + QStringLiteral(".png");
        auto *button = form->findChild<QToolButton *>(QString::fromLatin1(row.button));
        QVERIFY2(showsImage(button, image),
                 qPrintable(QString::fromLatin1(row.button) + QLatin1String(" ") + image));
    }
    // Sizes stay as widget setup set them.
    QCOMPARE(form->findChild<QToolButton *>(QStringLiteral("sourceImageButton"))->iconSize(),
             QSize(256, 256));
    QCOMPARE(form->findChild<QToolButton *>(QStringLiteral("addButton"))->iconSize(), QSize(24, 24));
}

void TestPelmoraForm::slotOrder()
{
    const char *expected[] = {"on_AddURL(QUrl)",
                              "on_AddURLs(QList<QUrl>)",
                              "on_itemSelection_changed(QItemSelection,QItemSelection)",
                              "on_sourceImageButton_clicked()",
                              "on_updateTimer()",
                              "on_upscaleButton_clicked()",
                              "on_removeButton_clicked()",
                              "on_clearButton_clicked()",
                              "on_outputFolderButton_clicked()",
                              "on_aboutButton2_clicked()",
                              "on_aboutButton_clicked()",
                              "on_scaleSlider_valueChanged(int)",
                              "on_processCpuRadioButton_clicked(bool)",
                              "on_processGpuRadioButton_clicked(bool)",
                              "on_webButton_clicked()",
                              "on_webButton2_clicked()",
                              "on_cancelButton_clicked()",
                              "on_addButton_clicked()",
                              "on_updateButton_clicked()",
                              "on_updateButton2_clicked()",
                              "on_downloadButton_clicked()",
                              "on_processGpuComboBox_currentIndexChanged(int)"};
    const QMetaObject *meta = form->metaObject();
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 22);
    for (int i = 0; i < 22; ++i)
        QCOMPARE(meta->method(meta->methodOffset() + i).methodSignature(), QByteArray(expected[i]));
}

QTEST_MAIN(TestPelmoraForm)
#include "tst_pelmoraform.moc"
