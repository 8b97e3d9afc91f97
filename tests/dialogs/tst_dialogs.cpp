#include "dialogs/AboutDialog.h"
#include "dialogs/CheckUpdateDialog.h"
#include "dialogs/LicencesDialog.h"

#include "support/testvendorserver.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

namespace {

const QString upToDateText = QStringLiteral("There are no software updates available at this time.");
const QString failedText = QStringLiteral(
    "The update check could not be completed. Please check your internet connection and try again later.");

QLabel *label(QWidget *dialog, const char *name)
{
    return dialog->findChild<QLabel *>(QLatin1String(name));
}
QPushButton *button(QWidget *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(QLatin1String(name));
}

} // namespace

// Takes the addresses that would go to the browser.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void updateResult_data();
    void updateResult();
    void failedRequest_data();
    void failedRequest();
    void buttonHiddenUntilReply();
    void closeButtonDeletesDialog();
    void secondButtonOpensProductPage_data();
    void secondButtonOpensProductPage();
    void aboutBox();
    void licencesView();

private:
    // Runs one update check against the server and returns the dialog once its reply was handled.
    CheckUpdateDialog *checkedDialog();

    TestVendorServer server;
};

void DialogsTest::initTestCase()
{
    QVERIFY(server.listen());
    qputenv("BRIVELLE_SERVER_URL", server.origin().toString().toUtf8());
}

CheckUpdateDialog *DialogsTest::checkedDialog()
{
    auto *dialog = new CheckUpdateDialog(nullptr);
    QPushButton *download = button(dialog, "downloadButton");
    if (!QTest::qWaitFor([download] { return !download->isHidden(); }))
        qWarning("the update dialog never handled its reply");
    return dialog;
}

void DialogsTest::updateResult_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("buttonText");
    const QString visit = QStringLiteral("Visit Website");
    const QString download = QStringLiteral("Download update");
    const auto file = [](const char *version) -> QByteArray {
        const QList<QByteArray> parts = QByteArray(version).split('.');
        return "majorVersion=" + parts.at(0) + ";\r\nminorVersion=" + parts.at(1) +
               ";\r\nsubMinorVersion=" + parts.at(2) + ";\r\n";
    };
    QTest::newRow("1.4.0") << file("1.4.0") << upToDateText << visit;
    QTest::newRow("1.4.1") << file("1.4.1") << QStringLiteral("Version 1.4.1 is available to download.")
                           << download;
    QTest::newRow("1.5.0") << file("1.5.0") << QStringLiteral("Version 1.5.0 is available to download.")
                           << download;
    QTest::newRow("2.0.0") << file("2.0.0") << QStringLiteral("Version 2.0.0 is available to download.")
                           << download;
    QTest::newRow("1.3.9") << file("1.3.9") << upToDateText << visit;
    QTest::newRow("0.9.9") << file("0.9.9") << upToDateText << visit;
    QTest::newRow("only major 2") << QByteArray("majorVersion=2")
                                  << QStringLiteral("Version 2.0.0 is available to download.") << download;
    QTest::newRow("LF without CR") << QByteArray("majorVersion=1;\nminorVersion=5;\nsubMinorVersion=0;\n")
                                   << upToDateText << visit;
    QTest::newRow("blank before key")
        << QByteArray("majorVersion=1; minorVersion=5") << upToDateText << visit;
    // Answers that name no version are no update file: the check failed.
    QTest::newRow("blank before =") << QByteArray("majorVersion =2") << failedText << visit;
    QTest::newRow("letter case") << QByteArray("MajorVersion=2;minorversion=5") << failedText << visit;
    QTest::newRow("majorVersion=1=2")
        << QByteArray("majorVersion=1=2;minorVersion=9") << upToDateText << visit;
    QTest::newRow("empty body") << QByteArray() << failedText << visit;
    QTest::newRow("HTML page with status 200")
        << QByteArray("<!DOCTYPE html>\n<html><head><title>Welcome</title></head><body>Sign in</body></html>")
        << failedText << visit;
}

void DialogsTest::updateResult()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(QString, buttonText);
    server.setMode(TestVendorServer::updatePath(), TestVendorServer::Mode::Normal);
    server.setBody(TestVendorServer::updatePath(), body);
    std::unique_ptr<CheckUpdateDialog> dialog(checkedDialog());
    QVERIFY(!button(dialog.get(), "downloadButton")->isHidden());
    QCOMPARE(label(dialog.get(), "messageLabel")->text(), message);
    QCOMPARE(button(dialog.get(), "downloadButton")->text(), buttonText);
    QCOMPARE(label(dialog.get(), "installVersionLabel")->text(), QStringLiteral("Installed Version: 1.4.0"));
}

void DialogsTest::failedRequest_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<bool>("serverDown");
    QTest::newRow("404 with a version in its body") << TestVendorServer::Mode::NotFound << false;
    QTest::newRow("dropped connection") << TestVendorServer::Mode::Dropped << false;
    QTest::newRow("truncated") << TestVendorServer::Mode::Truncated << false;
    QTest::newRow("nothing listens") << TestVendorServer::Mode::Normal << true;
}

void DialogsTest::failedRequest()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(bool, serverDown);
    server.setMode(TestVendorServer::updatePath(), mode);
    server.setBody(TestVendorServer::updatePath(), "majorVersion=2;minorVersion=0;subMinorVersion=0");
    TestVendorServer down;
    if (serverDown) {
        // A port that was just free and is closed again: the connection is refused.
        QVERIFY(down.listen());
        const QUrl origin = down.origin();
        down.close();
        qputenv("BRIVELLE_SERVER_URL", origin.toString().toUtf8());
    }
    std::unique_ptr<CheckUpdateDialog> dialog(checkedDialog());
    qputenv("BRIVELLE_SERVER_URL", server.origin().toString().toUtf8());
    QVERIFY(!button(dialog.get(), "downloadButton")->isHidden());
    const QString message = label(dialog.get(), "messageLabel")->text();
    QVERIFY2(message.contains(QStringLiteral("could not be completed")), qPrintable(message));
    QVERIFY(message != upToDateText);
    QCOMPARE(button(dialog.get(), "downloadButton")->text(), QStringLiteral("Visit Website"));
}

void DialogsTest::buttonHiddenUntilReply()
{
    server.setBody(TestVendorServer::updatePath(), "majorVersion=1;minorVersion=5;subMinorVersion=0;");
    server.setMode(TestVendorServer::updatePath(), TestVendorServer::Mode::Stalled);
    QSignalSpy stalled(&server, &TestVendorServer::stalled);
    CheckUpdateDialog dialogOnStack(nullptr);
    QVERIFY(stalled.wait());
    QVERIFY(button(&dialogOnStack, "downloadButton")->isHidden());
    QCOMPARE(label(&dialogOnStack, "messageLabel")->text(), QStringLiteral("Checking for update ..."));
    server.releaseStalled();
    QTRY_VERIFY(!button(&dialogOnStack, "downloadButton")->isHidden());
    QCOMPARE(label(&dialogOnStack, "messageLabel")->text(),
             QStringLiteral("Version 1.5.0 is available to download."));
    server.setMode(TestVendorServer::updatePath(), TestVendorServer::Mode::Normal);
}

void DialogsTest::closeButtonDeletesDialog()
{
    server.setBody(TestVendorServer::updatePath(), "majorVersion=1");
    QPointer<CheckUpdateDialog> update = new CheckUpdateDialog(nullptr);
    QPointer<AboutDialog> about = new AboutDialog(nullptr);
    QTest::mouseClick(button(update, "closeButton"), Qt::LeftButton);
    QTest::mouseClick(button(about, "closeButton"), Qt::LeftButton);
    QTRY_VERIFY(update.isNull());
    QTRY_VERIFY(about.isNull());
}

void DialogsTest::secondButtonOpensProductPage_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("update available") << TestVendorServer::Mode::Normal << QByteArray("majorVersion=2");
    QTest::newRow("up to date") << TestVendorServer::Mode::Normal << QByteArray("majorVersion=1");
    QTest::newRow("check failed") << TestVendorServer::Mode::NotFound << QByteArray();
}

void DialogsTest::secondButtonOpensProductPage()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(QByteArray, body);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    server.setMode(TestVendorServer::updatePath(), mode);
    server.setBody(TestVendorServer::updatePath(), body);
    std::unique_ptr<CheckUpdateDialog> dialog(checkedDialog());
    dialog->show();
    QTest::mouseClick(button(dialog.get(), "downloadButton"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QUrl expected = server.origin();
    expected.setPath(QStringLiteral("/BrivelleAI.php"));
    QCOMPARE(catcher.urls, QList<QUrl>{expected});
    QVERIFY(dialog->isVisible());
    server.setMode(TestVendorServer::updatePath(), TestVendorServer::Mode::Normal);
}

void DialogsTest::aboutBox()
{
    AboutDialog dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About"));
    QCOMPARE(label(&dialog, "versionLabel")->text(), QStringLiteral("Version: 1.4.0"));
    QCOMPARE(label(&dialog, "label")->text(), QStringLiteral("Brivelle AI"));
    QCOMPARE(dialog.minimumSize(), QSize(573, 427));
    QCOMPARE(dialog.maximumSize(), QSize(573, 427));
    dialog.show();
    dialog.resize(800, 600);
    QCOMPARE(dialog.size(), QSize(573, 427));
    QLabel *url = label(&dialog, "urlLabel");
    const QString site = server.origin().toString();
    QVERIFY2(url->text().contains(QStringLiteral("href=\"") + site + QStringLiteral("/\"")),
             qPrintable(url->text()));
    // The dialog opens the link itself, so that it can say when no browser took it.
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    emit url->linkActivated(site + QStringLiteral("/"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl(site + QStringLiteral("/"))});
#ifdef Q_OS_LINUX
    QCOMPARE(label(&dialog, "osLabel")->text(), QStringLiteral("for Linux"));
#endif
    QVERIFY(!label(&dialog, "label_4")->pixmap().isNull());
    QCOMPARE(url->pos(), QPoint(230, 150));
    const QString licence = dialog.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
    QVERIFY(licence.startsWith(QStringLiteral("Third-Party Licenses")));
    QVERIFY(licence.contains(
        QStringLiteral("This application uses Real-ESRGAN for AI-powered image upscaling.")));
    QVERIFY(licence.contains(QStringLiteral("licensed under the BSD 3-Clause License.")));
}

// Reached from the about box; every component the program ships with has its notice and full text.
void DialogsTest::licencesView()
{
    AboutDialog about(nullptr);
    about.show();
    QStringList titles;
    QString shown;
    QTimer::singleShot(0, &about, [&] {
        auto *view = qobject_cast<LicencesDialog *>(QApplication::activeModalWidget());
        if (!view)
            return;
        auto *list = view->findChild<QListWidget *>(QStringLiteral("licenceList"));
        for (int i = 0; i < list->count(); ++i)
            titles << list->item(i)->text();
        shown = view->findChild<QPlainTextEdit *>(QStringLiteral("licenceText"))->toPlainText();
        view->reject();
    });
    QTest::mouseClick(button(&about, "licencesButton"), Qt::LeftButton);
    QCOMPARE(titles, (QStringList{QStringLiteral("Real-ESRGAN (BSD 3-Clause)"), QStringLiteral("Qt (LGPL 3)"),
                                  QStringLiteral("oneDNN (Apache 2.0)"),
                                  QStringLiteral("Vulkan loader (Apache 2.0)")}));
    QVERIFY(shown.contains(QStringLiteral("Copyright (c) 2021, Xintao Wang")));

    const QList<LicenceEntry> entries = licenceEntries();
    const QStringList expected{QStringLiteral("Neither the name of the copyright holder"),
                               QStringLiteral("GNU LESSER GENERAL PUBLIC LICENSE"),
                               QStringLiteral("Apache License"), QStringLiteral("Apache License")};
    QCOMPARE(entries.size(), expected.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString text = licenceText(entries.at(i));
        QVERIFY2(text.contains(expected.at(i)) && !text.contains(QStringLiteral("is missing")),
                 qPrintable(entries.at(i).title));
    }
    QVERIFY(licenceText(entries.at(1)).contains(QStringLiteral("GNU GENERAL PUBLIC LICENSE")));
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
