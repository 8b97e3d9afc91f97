#include "workspace/models/modelDownloader.h"
#include "workspace/models/modelFiles.h"

#include "support/testvendorserver.h"
#include "support/unwritablefolder.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString x2Bin = QStringLiteral("realesrgan-x2plus.bin");
const QString x2Param = QStringLiteral("realesrgan-x2plus.param");
const QString x4Bin = QStringLiteral("realesrgan-x4plus.bin");
const QString x4Param = QStringLiteral("realesrgan-x4plus.param");

QByteArray seededBytes(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

void writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(QByteArray(size, 'm')), size);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class ModelFilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void tableIsInCheckOrder();
    void missingFiles_data();
    void missingFiles();
    void storesCompleteFile();
    void failedTransferLeavesNoFile_data();
    void failedTransferLeavesNoFile();
    void unwritableFolderFails();
    void progressOnlyWithKnownTotal_data();
    void progressOnlyWithKnownTotal();
    void destroyedWhileReceiving();

private:
    QTemporaryDir served;
    TestVendorServer server;
    QByteArray body;
};

void ModelFilesTest::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    QVERIFY(served.isValid());
    QVERIFY(server.listen());
    server.setFolder(served.path());
    body = seededBytes(300000, 7);
    QFile file(served.filePath(x4Param));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body);
}

void ModelFilesTest::tableIsInCheckOrder()
{
    const QList<ModelFile> table = modelFileTable();
    QCOMPARE(table.size(), 4);
    const QStringList names{x2Bin, x2Param, x4Bin, x4Param};
    const QList<qint64> sizes{33434888, 101743, 33424520, 116029};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(table.at(i).fileName, names.at(i));
        QCOMPARE(table.at(i).size, sizes.at(i));
        QCOMPARE(expectedModelFileSize(names.at(i)), sizes.at(i));
    }
    QCOMPARE(expectedModelFileSize(QStringLiteral("realesrgan-x3plus.bin")), qint64(-1));
}

void ModelFilesTest::missingFiles_data()
{
    QTest::addColumn<QList<qint64>>("sizeDelta"); // per table row; -1000 = absent
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all present") << QList<qint64>{0, 0, 0, 0} << QStringList{};
    QTest::newRow("weights one byte short") << QList<qint64>{-1, 0, 0, 0} << QStringList{x2Bin};
    QTest::newRow("description one byte long") << QList<qint64>{0, 0, 0, 1} << QStringList{x4Param};
    QTest::newRow("only x4 description absent") << QList<qint64>{0, 0, 0, -1000} << QStringList{x4Param};
    QTest::newRow("all absent") << QList<qint64>{-1000, -1000, -1000, -1000}
                                << QStringList{x2Bin, x2Param, x4Bin, x4Param};
    QTest::newRow("two absent keep table order")
        << QList<qint64>{0, -1000, 0, -1000} << QStringList{x2Param, x4Param};
}

void ModelFilesTest::missingFiles()
{
    QFETCH(QList<qint64>, sizeDelta);
    QFETCH(QStringList, expected);
    QTemporaryDir folder;
    const QList<ModelFile> table = modelFileTable();
    for (int i = 0; i < table.size(); ++i) {
        if (sizeDelta.at(i) != -1000)
            writeFile(folder.filePath(table.at(i).fileName), table.at(i).size + sizeDelta.at(i));
    }
    QCOMPARE(missingModelFiles(folder.path()), expected);
}

void ModelFilesTest::storesCompleteFile()
{
    QTemporaryDir folder;
    const QString target = folder.filePath(x4Param);
    writeFile(target, body.size() - 1); // the short file the check found is replaced
    ModelDownloader downloader(nullptr);
    QSignalSpy finished(&downloader, &ModelDownloader::finished);
    server.setMode(TestVendorServer::modelPath(x4Param), TestVendorServer::Mode::Normal);
    QUrl url = server.origin();
    url.setPath(TestVendorServer::modelPath(x4Param));
    downloader.start(url, target, body.size());
    QCOMPARE(downloader.state(), ModelDownloader::State::Receiving);
    QVERIFY(finished.wait());
    QCOMPARE(downloader.state(), ModelDownloader::State::Stored);
    QCOMPARE(readFile(target), body);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{x4Param});
}

void ModelFilesTest::failedTransferLeavesNoFile_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<bool>("previousFile");
    const qint64 size = 300000;
    QTest::newRow("truncated body") << TestVendorServer::Mode::Truncated << size << false;
    QTest::newRow("404") << TestVendorServer::Mode::NotFound << size << false;
    QTest::newRow("dropped connection") << TestVendorServer::Mode::Dropped << size << false;
    QTest::newRow("shorter than the table") << TestVendorServer::Mode::Normal << size + 1 << false;
    QTest::newRow("longer than the table") << TestVendorServer::Mode::Normal << size - 1 << false;
    QTest::newRow("longer, unknown length") << TestVendorServer::Mode::UnknownLength << size - 1 << false;
    QTest::newRow("truncated over an old file") << TestVendorServer::Mode::Truncated << size << true;
}

void ModelFilesTest::failedTransferLeavesNoFile()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(qint64, expectedSize);
    QFETCH(bool, previousFile);
    QTemporaryDir folder;
    const QString target = folder.filePath(x4Param);
    if (previousFile)
        writeFile(target, 1234);
    server.setMode(TestVendorServer::modelPath(x4Param), mode);
    ModelDownloader downloader(nullptr);
    QSignalSpy finished(&downloader, &ModelDownloader::finished);
    QUrl url = server.origin();
    url.setPath(TestVendorServer::modelPath(x4Param));
    downloader.start(url, target, expectedSize);
    QVERIFY(finished.wait());
    QCOMPARE(downloader.state(), ModelDownloader::State::Failed);
    QVERIFY(!downloader.errorString().isEmpty());
    // Nothing damaged in place: either no file, or the one that was there, untouched; no leftovers.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), previousFile ? QStringList{x4Param} : QStringList{});
    if (previousFile)
        QCOMPARE(QFileInfo(target).size(), qint64(1234));
}

void ModelFilesTest::unwritableFolderFails()
{
    QTemporaryDir base;
    const QString folder = unwritableFolder(base);
    server.setMode(TestVendorServer::modelPath(x4Param), TestVendorServer::Mode::Normal);
    ModelDownloader downloader(nullptr);
    QSignalSpy finished(&downloader, &ModelDownloader::finished);
    QUrl url = server.origin();
    url.setPath(TestVendorServer::modelPath(x4Param));
    const QString target = folder + QLatin1Char('/') + x4Param;
    downloader.start(url, target, body.size());
    QVERIFY(finished.wait());
    QCOMPARE(downloader.state(), ModelDownloader::State::Failed);
    QVERIFY2(downloader.errorString().contains(target), qPrintable(downloader.errorString()));
    QVERIFY(!QFileInfo::exists(target));
    QFile::setPermissions(base.filePath(QStringLiteral("read-only")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void ModelFilesTest::progressOnlyWithKnownTotal_data()
{
    QTest::addColumn<TestVendorServer::Mode>("mode");
    QTest::addColumn<bool>("moves");
    QTest::newRow("known total") << TestVendorServer::Mode::Stalled << true;
    QTest::newRow("unknown total") << TestVendorServer::Mode::StalledUnknownLength << false;
}

void ModelFilesTest::progressOnlyWithKnownTotal()
{
    QFETCH(TestVendorServer::Mode, mode);
    QFETCH(bool, moves);
    QTemporaryDir folder;
    server.setMode(TestVendorServer::modelPath(x4Param), mode);
    ModelDownloader downloader(nullptr);
    QSignalSpy progress(&downloader, &ModelDownloader::progressChanged);
    QSignalSpy finished(&downloader, &ModelDownloader::finished);
    QUrl url = server.origin();
    url.setPath(TestVendorServer::modelPath(x4Param));
    downloader.start(url, folder.filePath(x4Param), body.size());
    QTRY_COMPARE(downloader.bytesReceived(), qint64(body.size() / 2));
    if (moves) {
        QTRY_VERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toInt(), 50);
    } else {
        QVERIFY(progress.isEmpty());
    }
    server.releaseStalled();
    QVERIFY(finished.wait());
    QCOMPARE(downloader.state(), ModelDownloader::State::Stored);
    QCOMPARE(readFile(folder.filePath(x4Param)), body);
}

void ModelFilesTest::destroyedWhileReceiving()
{
    QTemporaryDir folder;
    server.setMode(TestVendorServer::modelPath(x4Param), TestVendorServer::Mode::Stalled);
    auto downloader = std::make_unique<ModelDownloader>(nullptr);
    QSignalSpy finished(downloader.get(), &ModelDownloader::finished);
    QUrl url = server.origin();
    url.setPath(TestVendorServer::modelPath(x4Param));
    downloader->start(url, folder.filePath(x4Param), body.size());
    QTRY_VERIFY(downloader->bytesReceived() > 0);
    downloader.reset();
    QVERIFY(finished.isEmpty());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    server.releaseStalled();
}

QTEST_GUILESS_MAIN(ModelFilesTest)
#include "tst_modelfiles.moc"
