#include "dialogs/AboutDialog.h"
#include "dialogs/CheckUpdateDialog.h"
#include "workspace/PelmoraForm.h"

#include "support/testvendorserver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The form's about and update buttons run their dialog modally; Close deletes it, Escape hides it and
// the form lets it go then.
class FormDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void closeButtonEndsModalDialog_data();
    void closeButtonEndsModalDialog();

private:
    TestVendorServer server;
};

void FormDialogsTest::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    QVERIFY(server.listen());
    server.setBody(TestVendorServer::updatePath(), "majorVersion=1;minorVersion=5;subMinorVersion=0");
    qputenv("BRIVELLE_SERVER_URL", server.origin().toString().toUtf8());
}

void FormDialogsTest::closeButtonEndsModalDialog_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("dialogClass");
    QTest::addColumn<bool>("escape");
    const QString about = QStringLiteral("AboutDialog");
    const QString update = QStringLiteral("CheckUpdateDialog");
    for (bool escape : {false, true}) {
        const char *how = escape ? " Escape" : " Close";
        QTest::addRow("aboutButton%s", how) << QStringLiteral("aboutButton") << about << escape;
        QTest::addRow("aboutButton2%s", how) << QStringLiteral("aboutButton2") << about << escape;
        QTest::addRow("updateButton%s", how) << QStringLiteral("updateButton") << update << escape;
        QTest::addRow("updateButton2%s", how) << QStringLiteral("updateButton2") << update << escape;
    }
}

void FormDialogsTest::closeButtonEndsModalDialog()
{
    QFETCH(QString, button);
    QFETCH(QString, dialogClass);
    QFETCH(bool, escape);
    PelmoraForm form(nullptr);
    form.show();
    QPointer<QWidget> seen;
    QString seenClass;
    bool clicked = false;
    QTimer::singleShot(0, &form, [&] {
        seen = QApplication::activeModalWidget();
        if (!seen)
            return;
        seenClass = QString::fromLatin1(seen->metaObject()->className());
        // Close only once the update check has shown its result, so its reply is handled too.
        auto *download = seen->findChild<QPushButton *>(QStringLiteral("downloadButton"));
        if (download && !QTest::qWaitFor([download] { return !download->isHidden(); }))
            qWarning("the update check did not finish");
        if (escape)
            QTest::keyClick(seen, Qt::Key_Escape);
        else
            QTest::mouseClick(seen->findChild<QPushButton *>(QStringLiteral("closeButton")), Qt::LeftButton);
        clicked = true;
    });
    QTest::mouseClick(form.findChild<QAbstractButton *>(button), Qt::LeftButton);
    // The click returns once the modal loop has ended.
    QVERIFY(clicked);
    QCOMPARE(seenClass, dialogClass);
    QTRY_VERIFY(seen.isNull());
    QVERIFY(!form.findChild<QDialog *>());
}

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    QApplication app(argc, argv);
    FormDialogsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_formdialogs.moc"
