#include "workspace/PelmoraForm.h"
#include "workspace/engine/testModels.h"
#include "workspace/models/modelDownloader.h"
#include "workspace/models/modelFiles.h"

#include "support/testvendorserver.h"
#include "support/unwritablefolder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedLayout>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct ModelsProbeTag {};
template <> struct PelmoraFormProbe<ModelsProbeTag> {
    static int page(PelmoraForm &form) { return form.pageStack->currentIndex(); }
    static QStringList missing(PelmoraForm &form) { return form.missingModels; }
    static qint64 received(PelmoraForm &form)
    {
        return form.modelDownloader ? form.modelDownloader->bytesReceived() : 0;
    }
    static QString x4ParamPath(PelmoraForm &form) { return form.x4ParamPath; }
};
using Probe = PelmoraFormProbe<ModelsProbeTag>;

namespace {

const QString x2Bin = QStringLiteral("realesrgan-x2plus.bin");
const QString x2Param = QStringLiteral("realesrgan-x2plus.param");
const QString x4Bin = QStringLiteral("realesrgan-x4plus.bin");
const QString x4Param = QStringLiteral("realesrgan-x4plus.param");

// A file of the given size whose bytes depend on its name, so a mixed-up download shows.
void writeModel(const QString &folder, const QString &name, qint64 size)
{
    QFile file(folder + QLatin1Char('/') + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray block(64 * 1024, char(name.size() + size % 251));
    for (qint64 left = size; left > 0; left -= block.size())
        QVERIFY(file.write(block.constData(), qMin<qint64>(left, block.size())) > 0);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class FormModelsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void allPresentMakesNoRequest();
    void downloadsWhatIsMissing_data();
    void downloadsWhatIsMissing();
    void progress_data();
    void progress();
    void failureOffersTryAgain_data();
    void failureOffersTryAgain();
    void unwritableFolderShowsError();
    void closedWhileDownloading();
    void networkOfTheOtherScaleIsFetchedAgain();

private:
    std::unique_ptr<PelmoraForm> makeForm(const QString &installFolder);
    QWidget *widget(const char *name) const { return form->findChild<QWidget *>(QLatin1String(name)); }
    QString fileLabel() const
    {
        return form->findChild<QLabel *>(QStringLiteral("downloadFileLabel"))->text();
    }
    void click(const char *name) { QTest::mouseClick(widget(name), Qt::LeftButton); }

    QTemporaryDir served;
    TestVendorServer server;
    std::unique_ptr<PelmoraForm> form;
};

void FormModelsTest::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    QVERIFY(served.isValid());
    QVERIFY(server.listen());
    server.setFolder(served.path());
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &model : table)
        writeModel(served.path(), model.fileName, model.size);
    qputenv("BRIVELLE_SERVER_URL", server.origin().toString().toUtf8());
}

void FormModelsTest::init()
{
    form.reset();
    for (const QString &path : {TestVendorServer::modelPath(x2Bin), TestVendorServer::modelPath(x2Param),
                                TestVendorServer::modelPath(x4Bin), TestVendorServer::modelPath(x4Param)})
        server.setMode(path, TestVendorServer::Mode::Normal);
}

std::unique_ptr<PelmoraForm> FormModelsTest::makeForm(const QString &installFolder)
{
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"))
        .setValue(QStringLiteral("Path"), installFolder);
    auto made = std::make_unique<PelmoraForm>(nullptr);
    made->resize(800, 600);
    made->show();
    return made;
}

void FormModelsTest::allPresentMakesNoRequest()
{
    QTemporaryDir folder;
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &model : table)
        writeModel(folder.path(), model.fileName, model.size);
    const qsizetype before = server.requestedPaths().size();
    form = makeForm(folder.path());
    QCOMPARE(Probe::page(*form), 0);
    QVERIFY(Probe::missing(*form).isEmpty());
    QCOMPARE(Probe::x4ParamPath(*form), QDir::toNativeSeparators(folder.filePath(x4Param)));
    QCoreApplication::processEvents();
    QCOMPARE(server.requestedPaths().size(), before);
}

void FormModelsTest::downloadsWhatIsMissing_data()
{
    QTest::addColumn<QList<qint64>>("sizeDelta"); // per table row; -1000 = absent
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QString>("firstLabel");
    QTest::newRow("weights one byte short") << QList<qint64>{-1, 0, 0, 0} << QStringList{x2Bin}
                                            << QStringLiteral("0 of 1: realesrgan-x2plus.bin");
    QTest::newRow("only x4 description absent") << QList<qint64>{0, 0, 0, -1000} << QStringList{x4Param}
                                                << QStringLiteral("0 of 1: realesrgan-x4plus.param");
    QTest::newRow("all absent, in table order")
        << QList<qint64>{-1000, -1000, -1000, -1000} << QStringList{x2Bin, x2Param, x4Bin, x4Param}
        << QStringLiteral("0 of 4: realesrgan-x2plus.bin");
}

void FormModelsTest::downloadsWhatIsMissing()
{
    QFETCH(QList<qint64>, sizeDelta);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QString, firstLabel);
    QTemporaryDir folder;
    const QList<ModelFile> table = modelFileTable();
    for (int i = 0; i < table.size(); ++i) {
        if (sizeDelta.at(i) != -1000)
            writeModel(folder.path(), table.at(i).fileName, table.at(i).size + sizeDelta.at(i));
    }
    form = makeForm(folder.path());
    QCOMPARE(Probe::page(*form), 3);
    QCOMPARE(Probe::missing(*form), expectedRequests);

    const qsizetype before = server.requestedPaths().size();
    click("downloadButton");
    QCOMPARE(Probe::page(*form), 4);
    QCOMPARE(fileLabel(), firstLabel);
    QTRY_COMPARE_WITH_TIMEOUT(Probe::page(*form), 0, 30000);

    QStringList requested = server.requestedPaths().mid(before);
    QStringList expectedPaths;
    for (const QString &name : expectedRequests)
        expectedPaths << TestVendorServer::modelPath(name);
    QCOMPARE(requested, expectedPaths);
    QVERIFY(missingModelFiles(folder.path()).isEmpty());
    for (const QString &name : expectedRequests)
        QVERIFY(readFile(folder.filePath(name)) == readFile(served.filePath(name)));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 4);
}

void FormModelsTest::progress_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<int>("barWhileStalled");
    // 58014 of 116029 bytes: 49.99 %, rounded down.
    QTest::newRow("known total") << TestVendorServer::Mode::Stalled << 49;
    QTest::newRow("unknown total does not move the bar") << TestVendorServer::Mode::StalledUnknownLength << 0;
}

void FormModelsTest::progress()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(int, barWhileStalled);
    QTemporaryDir folder;
    const QList<ModelFile> table = modelFileTable();
    for (int i = 0; i < 3; ++i)
        writeModel(folder.path(), table.at(i).fileName, table.at(i).size);
    server.setMode(TestVendorServer::modelPath(x4Param), mode);
    form = makeForm(folder.path());
    click("downloadButton");
    QTRY_COMPARE(Probe::received(*form), expectedModelFileSize(x4Param) / 2);
    QCOMPARE(form->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"))->value(),
             barWhileStalled);
    QVERIFY(!QFileInfo::exists(folder.filePath(x4Param)));
    server.releaseStalled();
    QTRY_COMPARE(Probe::page(*form), 0);
    QVERIFY(missingModelFiles(folder.path()).isEmpty());
}

void FormModelsTest::failureOffersTryAgain_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<int>("barAtError");
    // The 404 page's own body must not count as progress of the file.
    QTest::newRow("404") << TestVendorServer::Mode::NotFound << 0;
    QTest::newRow("dropped connection") << TestVendorServer::Mode::Dropped << 0;
    // Half of 101743 bytes arrived: 49.99 %, rounded down.
    QTest::newRow("truncated body") << TestVendorServer::Mode::Truncated << 49;
}

void FormModelsTest::failureOffersTryAgain()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(int, barAtError);
    QTemporaryDir folder;
    writeModel(folder.path(), x4Bin, expectedModelFileSize(x4Bin));
    writeModel(folder.path(), x4Param, expectedModelFileSize(x4Param));
    server.setMode(TestVendorServer::modelPath(x2Param), mode);
    form = makeForm(folder.path());
    QVERIFY(widget("downloadErrorDescLabel")->isHidden());
    QVERIFY(widget("downloadErrorDescButton")->isHidden());
    click("downloadButton");
    QTRY_VERIFY_WITH_TIMEOUT(!widget("downloadErrorDescButton")->isHidden(), 30000);

    QVERIFY(!widget("downloadErrorDescLabel")->isHidden());
    QCOMPARE(form->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"))->value(), barAtError);
    QCOMPARE(Probe::page(*form), 4);
    QCOMPARE(fileLabel(), QStringLiteral("1 of 2: realesrgan-x2plus.param"));
    QCOMPARE(QFileInfo(folder.filePath(x2Bin)).size(), expectedModelFileSize(x2Bin));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), (QStringList{x2Bin, x4Bin, x4Param}));
    QCOMPARE(Probe::missing(*form), QStringList{x2Param});

    server.setMode(TestVendorServer::modelPath(x2Param), TestVendorServer::Mode::Normal);
    const qsizetype before = server.requestedPaths().size();
    click("downloadErrorDescButton");
    QVERIFY(widget("downloadErrorDescButton")->isHidden());
    QCOMPARE(fileLabel(), QStringLiteral("1 of 2: realesrgan-x2plus.param"));
    QTRY_COMPARE(Probe::page(*form), 0);
    QCOMPARE(server.requestedPaths().mid(before), QStringList{TestVendorServer::modelPath(x2Param)});
    QVERIFY(missingModelFiles(folder.path()).isEmpty());
}

void FormModelsTest::unwritableFolderShowsError()
{
    QTemporaryDir base;
    const QString folder = unwritableFolder(base);
    form = makeForm(folder);
    QCOMPARE(Probe::page(*form), 3);
    click("downloadButton");
    QTRY_VERIFY(!widget("downloadErrorDescButton")->isHidden());
    QCOMPARE(Probe::page(*form), 4);
    QCOMPARE(fileLabel(), QStringLiteral("0 of 4: realesrgan-x2plus.bin"));
    QVERIFY(!QFileInfo::exists(folder + QLatin1Char('/') + x2Bin));
    form.reset();
    QFile::setPermissions(base.filePath(QStringLiteral("read-only")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void FormModelsTest::closedWhileDownloading()
{
    QTemporaryDir folder;
    writeModel(folder.path(), x2Bin, expectedModelFileSize(x2Bin));
    writeModel(folder.path(), x2Param, expectedModelFileSize(x2Param));
    writeModel(folder.path(), x4Bin, expectedModelFileSize(x4Bin));
    server.setMode(TestVendorServer::modelPath(x4Param), TestVendorServer::Mode::Stalled);
    form = makeForm(folder.path());
    click("downloadButton");
    QTRY_VERIFY(Probe::received(*form) > 0);
    form.reset();
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{x2Bin, x2Param, x4Bin}));
    server.releaseStalled();
}

// Sizes alone would pass an x4 network saved under the x2 name and padded to its size: the check
// reads the scale from the network and offers the slot's files again, saying why.
void FormModelsTest::networkOfTheOtherScaleIsFetchedAgain()
{
    QTemporaryDir folder;
    const QList<ModelFile> table = modelFileTable();
    for (const ModelFile &model : table)
        writeModel(folder.path(), model.fileName, model.size);
    const QString x2 = folder.filePath(QStringLiteral("realesrgan-x2plus"));
    QVERIFY(writeTestModel(folder.path(), QStringLiteral("realesrgan-x2plus"), 4));
    QVERIFY(padModel(x2, expectedModelFileSize(x2Param), expectedModelFileSize(x2Bin)));
    form = makeForm(folder.path());
    QCOMPARE(Probe::page(*form), 3);
    QCOMPARE(Probe::missing(*form), (QStringList{x2Bin, x2Param}));
    const QString text = form->findChild<QLabel *>(QStringLiteral("downloadDescLabel"))->text();
    QVERIFY2(text.startsWith(QStringLiteral("realesrgan-x2plus.param enlarges by 4, not 2")),
             qPrintable(text));
}

int main(int argc, char *argv[])
{
    // Settings and the per-user data folder of this run only, set before Qt reads them.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    QApplication app(argc, argv);
    FormModelsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_formmodels.moc"
