#include "base/vendorserver.h"

#include <QTest>

class TestVendorServer : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("BRIVELLE_SERVER_URL"); }
    void addresses_data();
    void addresses();
};

void TestVendorServer::addresses_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("update");
    QTest::addColumn<QString>("model");

    QTest::newRow("built-in host") << QByteArray() << "https://www.brivelle.example"
                                   << "https://www.brivelle.example/BrivelleAI.php"
                                   << "http://www.brivelle.example/BrivelleAI/update.txt"
                                   << "https://www.brivelle.example/UpscaleModels/realesrgan-x4plus.bin";
    QTest::newRow("loopback replaces scheme, host and port")
        << QByteArray("http://127.0.0.1:8080") << "http://127.0.0.1:8080"
        << "http://127.0.0.1:8080/BrivelleAI.php"
        << "http://127.0.0.1:8080/BrivelleAI/update.txt"
        << "http://127.0.0.1:8080/UpscaleModels/realesrgan-x4plus.bin";
    QTest::newRow("https mirror serves the update file too")
        << QByteArray("https://mirror.example.org") << "https://mirror.example.org"
        << "https://mirror.example.org/BrivelleAI.php"
        << "https://mirror.example.org/BrivelleAI/update.txt"
        << "https://mirror.example.org/UpscaleModels/realesrgan-x4plus.bin";
    QTest::newRow("path and query of the override are dropped")
        << QByteArray("http://localhost:9000/some/path?x=1") << "http://localhost:9000"
        << "http://localhost:9000/BrivelleAI.php"
        << "http://localhost:9000/BrivelleAI/update.txt"
        << "http://localhost:9000/UpscaleModels/realesrgan-x4plus.bin";
    QTest::newRow("override without scheme is ignored")
        << QByteArray("127.0.0.1:8080") << "https://www.brivelle.example"
        << "https://www.brivelle.example/BrivelleAI.php"
        << "http://www.brivelle.example/BrivelleAI/update.txt"
        << "https://www.brivelle.example/UpscaleModels/realesrgan-x4plus.bin";
    QTest::newRow("garbage override is ignored")
        << QByteArray("::::") << "https://www.brivelle.example"
        << "https://www.brivelle.example/BrivelleAI.php"
        << "http://www.brivelle.example/BrivelleAI/update.txt"
        << "https://www.brivelle.example/UpscaleModels/realesrgan-x4plus.bin";
}

void TestVendorServer::addresses()
{
    QFETCH(QByteArray, origin);
    if (!origin.isEmpty())
        qputenv("BRIVELLE_SERVER_URL", origin);
    else
        qunsetenv("BRIVELLE_SERVER_URL");

    QTEST(VendorServer::webSiteUrl().toString(), "site");
    QTEST(VendorServer::productPageUrl().toString(), "product");
    QTEST(VendorServer::updateFileUrl().toString(), "update");
    QTEST(VendorServer::modelFileUrl(QStringLiteral("realesrgan-x4plus.bin")).toString(), "model");
}

QTEST_GUILESS_MAIN(TestVendorServer)
#include "tst_vendorserver.moc"
