#include "workspace/engine/testModels.h"
#include "workspace/models/modelDescription.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

// The description reads scale and input multiple from the shapes the layers give, never from a name.
class ModelDescriptionTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    void describes_data()
    {
        QTest::addColumn<QString>("source"); // a form of the family, "shared:NAME" or "text:PARAM"
        QTest::addColumn<int>("generatedScale");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("multiple");
        QTest::addColumn<QString>("error");
        QTest::newRow("RRDBNet x4") << QStringLiteral("rrdb") << 4 << 4 << 1 << QString();
        QTest::newRow("RRDBNet x2 folds 2x2 blocks") << QStringLiteral("rrdb") << 2 << 2 << 2 << QString();
        QTest::newRow("RRDBNet x1 folds 4x4 blocks") << QStringLiteral("rrdb") << 1 << 1 << 4 << QString();
        QTest::newRow("SRVGG x3") << QStringLiteral("srvgg") << 3 << 3 << 1 << QString();
        QTest::newRow("ESRGAN x2") << QStringLiteral("esrgan") << 2 << 2 << 1 << QString();
        QTest::newRow("published x4plus")
            << QStringLiteral("shared:realesrgan-x4plus") << 0 << 4 << 1 << QString();
        QTest::newRow("published x4fast")
            << QStringLiteral("shared:realesrgan-x4fast") << 0 << 4 << 1 << QString();
        QTest::newRow("not a network")
            << QStringLiteral("text:hello") << 0 << 0 << 1 << QStringLiteral("bad.param: ");
        QTest::newRow("grey output")
            << QStringLiteral(
                   "text:7767517\n2 2\nInput in 0 1 data\nConvolution c 1 1 data output 0=1 1=3 4=1 6=27\n")
            << 0 << 0 << 1 << QStringLiteral("bad.param: has 1 output channels, not 3");
        QTest::newRow("no whole factor")
            << QStringLiteral(
                   "text:7767517\n2 2\nInput in 0 1 data\nInterp i 1 1 data output 0=1 1=1.5 2=1.5\n")
            << 0 << 0 << 1
            << QStringLiteral("bad.param: does not enlarge by a whole factor (96x192 becomes 144x288)");
    }
    void describes()
    {
        QFETCH(QString, source);
        QFETCH(int, generatedScale);
        QFETCH(QString, error);
        QString param;
        if (source.startsWith(QLatin1String("shared:"))) {
            param = qEnvironmentVariable("BRIVELLE_SHARED_DIR") + QStringLiteral("/models/") + source.mid(7) +
                    QStringLiteral(".param");
            if (!QFileInfo::exists(param))
                QSKIP("the published models are not in ../shared/models");
        } else if (source.startsWith(QLatin1String("text:"))) {
            param = folder.filePath(QStringLiteral("bad.param"));
            QFile file(param);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(source.mid(5).toUtf8());
        } else {
            param = folder.filePath(QStringLiteral("%1-%2.param").arg(source).arg(generatedScale));
            QVERIFY(writeFamilyModel(param.chopped(6), source, generatedScale));
        }
        const ModelDescription model = describeModel(param);
        QVERIFY2(error.isEmpty() ? model.error.isEmpty() : model.error.startsWith(error),
                 qPrintable(model.error));
        if (!error.isEmpty())
            return;
        QTEST(model.scale, "scale");
        QTEST(model.inputMultiple, "multiple");
        QCOMPARE(model.inputBlob, QStringLiteral("data"));
        QCOMPARE(model.outputBlob, QStringLiteral("output"));
        QCOMPARE(model.binPath, param.chopped(6) + QStringLiteral(".bin"));
        // The file's name says nothing: only the network's own shapes count.
        QVERIFY(!scaleRefusal(model, model.scale));
        const Problem refusal = scaleRefusal(model, 7);
        QCOMPARE(refusal.code(), Problem::Code::WrongScale);
        QCOMPARE(
            refusal.words(),
            QStringLiteral("%1 enlarges by %2, not 7").arg(QFileInfo(param).fileName()).arg(model.scale));
    }
};

QTEST_GUILESS_MAIN(ModelDescriptionTest)
#include "tst_modeldescription.moc"
