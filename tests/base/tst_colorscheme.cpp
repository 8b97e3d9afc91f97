#include "base/colorscheme.h"

#include <QPalette>
#include <QTest>

class TestColorScheme : public QObject {
    Q_OBJECT

private slots:
    void paletteIsDark_data();
    void paletteIsDark();
};

void TestColorScheme::paletteIsDark_data()
{
    QTest::addColumn<QColor>("window");
    QTest::addColumn<bool>("dark");
    QTest::newRow("Fusion light") << QColor(0xef, 0xef, 0xef) << false;
    QTest::newRow("white") << QColor(Qt::white) << false;
    QTest::newRow("Breeze dark") << QColor(0x31, 0x36, 0x3b) << true;
    QTest::newRow("black") << QColor(Qt::black) << true;
    QTest::newRow("just below mid-grey") << QColor(127, 127, 127) << true;
    QTest::newRow("mid-grey") << QColor(128, 128, 128) << false;
    QTest::newRow("saturated dark blue") << QColor(0x10, 0x20, 0x80) << true;
}

void TestColorScheme::paletteIsDark()
{
    QFETCH(QColor, window);
    QFETCH(bool, dark);
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    QCOMPARE(ColorScheme::paletteIsDark(palette), dark);
}

QTEST_GUILESS_MAIN(TestColorScheme)
#include "tst_colorscheme.moc"
