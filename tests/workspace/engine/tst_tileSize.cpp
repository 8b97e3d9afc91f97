#include "workspace/engine/precision.h"
#include "workspace/engine/tileSize.h"

#include <QTest>

class TileSizeTest : public QObject {
    Q_OBJECT

private slots:
    void formula_data()
    {
        QTest::addColumn<uint>("budgetMb");
        QTest::addColumn<int>("tile");
        QTest::newRow("0 MiB gets the floor") << 0u << 32;
        QTest::newRow("249 MiB gets the floor, not 0") << 249u << 32;
        QTest::newRow("250") << 250u << 32;
        QTest::newRow("500") << 500u << 32;
        QTest::newRow("1000") << 1000u << 64;
        QTest::newRow("2000") << 2000u << 64;
        QTest::newRow("3000") << 3000u << 96;
        QTest::newRow("4000") << 4000u << 128;
        QTest::newRow("8000") << 8000u << 160;
        QTest::newRow("12000") << 12000u << 192;
        QTest::newRow("16000") << 16000u << 256;
        QTest::newRow("32000") << 32000u << 352;
    }
    void formula()
    {
        QFETCH(uint, budgetMb);
        QFETCH(int, tile);
        QCOMPARE(engine::tileSizeForBudget(budgetMb), tile);
    }

    // Blobs of 2-byte values take half the memory per pixel: the edge grows by about the square root of 2.
    void halfSizeValues_data()
    {
        QTest::addColumn<uint>("budgetMb");
        QTest::addColumn<int>("tile");
        QTest::newRow("124 MiB gets the floor") << 124u << 32;
        QTest::newRow("4000 (128 at fp32)") << 4000u << 160;
        QTest::newRow("8000 (160 at fp32)") << 8000u << 256;
        QTest::newRow("16000 (256 at fp32)") << 16000u << 352;
    }
    void halfSizeValues()
    {
        QFETCH(uint, budgetMb);
        QTEST(engine::tileSizeForBudget(budgetMb, 2), "tile");
        QTEST(engine::gpuTileSize(true, 0, budgetMb, 2), "tile");
        QCOMPARE(engine::tileSizeForBudget(budgetMb, 4), engine::tileSizeForBudget(budgetMb));
    }

    // What each device runs for each precision asked, and what it refuses.
    void precisionChoice_data()
    {
        using engine::Precision;
        QTest::addColumn<bool>("gpu");
        QTest::addColumn<bool>("reduced"); // bf16 products on a CPU, 16-bit storage on a GPU
        QTest::addColumn<Precision>("asked");
        QTest::addColumn<Precision>("runs");
        QTest::addColumn<QString>("refusal"); // a part of it; empty: none
        QTest::newRow("CPU with bf16, auto")
            << false << true << Precision::Auto << Precision::Bf16 << QString();
        QTest::newRow("CPU without, auto")
            << false << false << Precision::Auto << Precision::Fp32 << QString();
        QTest::newRow("CPU with bf16, fp32")
            << false << true << Precision::Fp32 << Precision::Fp32 << QString();
        QTest::newRow("CPU with bf16, bf16")
            << false << true << Precision::Bf16 << Precision::Bf16 << QString();
        QTest::newRow("CPU without, bf16") << false << false << Precision::Bf16 << Precision::Fp32
                                           << QStringLiteral("no native bf16 products");
        QTest::newRow("CPU, fp16") << false << true << Precision::Fp16 << Precision::Fp32
                                   << QStringLiteral("fp16 storage runs on a GPU only");
        QTest::newRow("GPU with 16-bit storage, auto")
            << true << true << Precision::Auto << Precision::Fp16 << QString();
        QTest::newRow("GPU without, auto")
            << true << false << Precision::Auto << Precision::Fp32 << QString();
        QTest::newRow("GPU without, fp16") << true << false << Precision::Fp16 << Precision::Fp32
                                           << QStringLiteral("no 16-bit storage buffers");
        QTest::newRow("GPU, bf16") << true << true << Precision::Bf16 << Precision::Fp32
                                   << QStringLiteral("bf16 runs on the CPU only");
    }
    void precisionChoice()
    {
        QFETCH(bool, gpu);
        QFETCH(bool, reduced);
        QFETCH(engine::Precision, asked);
        QFETCH(QString, refusal);
        engine::DeviceAbilities device;
        device.gpu = gpu;
        device.name = QStringLiteral("the device");
        device.bf16Products = !gpu && reduced;
        device.fp16Storage = gpu && reduced;
        const engine::PrecisionChoice choice = engine::choosePrecision(asked, device);
        QTEST(choice.precision, "runs");
        QCOMPARE(choice.isOk(), refusal.isEmpty());
        QVERIFY2(choice.refusal.contains(refusal) &&
                     (refusal.isEmpty() || choice.refusal.startsWith(device.name)),
                 qPrintable(choice.refusal));
        QCOMPARE(engine::precisionNamed(engine::precisionName(asked)), asked);
    }

    void everyBudgetGivesAUsableEdge()
    {
        for (std::uint32_t mb = 0; mb < 70000; mb += 7) {
            const int tile = engine::tileSizeForBudget(mb);
            QVERIFY2(tile >= 32 && tile % 32 == 0, qPrintable(QString::number(mb)));
        }
    }

    void gpu_data()
    {
        QTest::addColumn<bool>("hasDevice");
        QTest::addColumn<int>("type");
        QTest::addColumn<uint>("budgetMb");
        QTest::addColumn<int>("tile");
        QTest::newRow("no device") << false << 0 << 16000u << 64;
        QTest::newRow("discrete 3000 MiB") << true << 0 << 3000u << 96;
        QTest::newRow("discrete 16000 MiB") << true << 0 << 16000u << 256;
        QTest::newRow("integrated, large budget") << true << 1 << 16000u << 96;
        QTest::newRow("integrated, tiny budget") << true << 1 << 10u << 96;
        QTest::newRow("virtual 100 MiB gets the floor") << true << 2 << 100u << 32;
        QTest::newRow("cpu-type 8000 MiB") << true << 3 << 8000u << 160;
    }
    void gpu()
    {
        QFETCH(bool, hasDevice);
        QFETCH(int, type);
        QFETCH(uint, budgetMb);
        QTEST(engine::gpuTileSize(hasDevice, type, budgetMb), "tile");
    }

    void reduction_data()
    {
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("next");
        QTest::newRow("256 halves") << 256 << 128;
        QTest::newRow("160 rounds down to 64") << 160 << 64;
        QTest::newRow("96 goes to the floor") << 96 << 32;
        QTest::newRow("64") << 64 << 32;
        QTest::newRow("nothing below the floor") << 32 << 0;
    }
    void reduction()
    {
        QFETCH(int, tile);
        QFETCH(int, next);
        QCOMPARE(engine::reducedTileSize(tile), next);
    }
};

QTEST_GUILESS_MAIN(TileSizeTest)
#include "tst_tileSize.moc"
