#include "dialogs/updateFile.h"

#include <QTest>

Q_DECLARE_METATYPE(UpdateCheckOutcome)

class UpdateFileTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void recognisesUpdateFiles_data();
    void recognisesUpdateFiles();
    void outcome_data();
    void outcome();
};

void UpdateFileTest::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("subMinor");
    QTest::newRow("plain") << QStringLiteral("majorVersion=1;minorVersion=5;subMinorVersion=0") << 1 << 5
                           << 0;
    QTest::newRow("CR LF after each entry")
        << QStringLiteral("majorVersion=1;\r\nminorVersion=5;\r\nsubMinorVersion=2;\r\n") << 1 << 5 << 2;
    QTest::newRow("CR LF inside a value") << QStringLiteral("majorVersion=\r\n3") << 3 << 0 << 0;
    QTest::newRow("LF only: later keys start with LF")
        << QStringLiteral("majorVersion=2;\nminorVersion=5;\nsubMinorVersion=1") << 2 << 0 << 0;
    QTest::newRow("lone CR stays") << QStringLiteral("majorVersion=2;\rminorVersion=5") << 2 << 0 << 0;
    QTest::newRow("blank before key") << QStringLiteral("majorVersion=2; minorVersion=5") << 2 << 0 << 0;
    QTest::newRow("blank before =") << QStringLiteral("majorVersion =2;minorVersion=5") << 0 << 5 << 0;
    QTest::newRow("letter case") << QStringLiteral("MajorVersion=2;minorversion=5;SUBMINORVERSION=1") << 0
                                 << 0 << 0;
    QTest::newRow("second = spoils the value")
        << QStringLiteral("majorVersion=1=2;minorVersion=7") << 0 << 7 << 0;
    QTest::newRow("not a number") << QStringLiteral("majorVersion=x1;minorVersion=0x10") << 0 << 0 << 0;
    QTest::newRow("only major") << QStringLiteral("majorVersion=2") << 2 << 0 << 0;
    QTest::newRow("repeated key overwrites")
        << QStringLiteral("minorVersion=9;minorVersion=3") << 0 << 3 << 0;
    QTest::newRow("empty and keyless entries")
        << QStringLiteral(";;junk;=5;subMinorVersion=4;") << 0 << 0 << 4;
    QTest::newRow("empty body") << QString() << 0 << 0 << 0;
    QTest::newRow("negative") << QStringLiteral("majorVersion=-1") << -1 << 0 << 0;
    QTest::newRow("overflow counts as 0") << QStringLiteral("majorVersion=99999999999") << 0 << 0 << 0;
}

void UpdateFileTest::parse()
{
    QFETCH(QString, text);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, subMinor);
    const UpdateVersion version = parseUpdateFile(text);
    QCOMPARE(version.majorNumber, major);
    QCOMPARE(version.minorNumber, minor);
    QCOMPARE(version.subMinorNumber, subMinor);
}

void UpdateFileTest::recognisesUpdateFiles_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("updateFile");
    QTest::newRow("full file") << QStringLiteral(
                                      "majorVersion=1;\r\nminorVersion=5;\r\nsubMinorVersion=0;\r\n")
                               << true;
    QTest::newRow("only major") << QStringLiteral("majorVersion=2") << true;
    QTest::newRow("LF only still names major") << QStringLiteral("majorVersion=2;\nminorVersion=5") << true;
    QTest::newRow("one good value beside a spoilt one")
        << QStringLiteral("majorVersion=1=2;minorVersion=7") << true;
    QTest::newRow("HTML page") << QStringLiteral(
                                      "<!DOCTYPE html><html><body style=\"a=b;c=d\">Welcome</body></html>")
                               << false;
    QTest::newRow("empty body") << QString() << false;
    QTest::newRow("keys in another letter case") << QStringLiteral("MajorVersion=2;minorversion=5") << false;
    QTest::newRow("key without a number") << QStringLiteral("majorVersion=;minorVersion=x") << false;
}

void UpdateFileTest::recognisesUpdateFiles()
{
    QFETCH(QString, text);
    QFETCH(bool, updateFile);
    QCOMPARE(isUpdateFile(text), updateFile);
}

void UpdateFileTest::outcome_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("subMinor");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<UpdateCheckOutcome>("expected");
    const auto available = UpdateCheckOutcome::UpdateAvailable;
    const auto upToDate = UpdateCheckOutcome::UpToDate;
    QTest::newRow("1.4.0 same") << 1 << 4 << 0 << false << upToDate;
    QTest::newRow("1.4.1") << 1 << 4 << 1 << false << available;
    QTest::newRow("1.5.0") << 1 << 5 << 0 << false << available;
    QTest::newRow("2.0.0") << 2 << 0 << 0 << false << available;
    QTest::newRow("1.3.9") << 1 << 3 << 9 << false << upToDate;
    QTest::newRow("0.9.9") << 0 << 9 << 9 << false << upToDate;
    QTest::newRow("1.3.99 minor decides") << 1 << 3 << 99 << false << upToDate;
    QTest::newRow("0.0.0") << 0 << 0 << 0 << false << upToDate;
    QTest::newRow("request failed") << 2 << 0 << 0 << true << UpdateCheckOutcome::CheckFailed;
}

void UpdateFileTest::outcome()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, subMinor);
    QFETCH(bool, failed);
    QFETCH(UpdateCheckOutcome, expected);
    // The installed version of this build is 1.4.0.
    QCOMPARE(installedVersion().majorNumber, 1);
    QCOMPARE(installedVersion().minorNumber, 4);
    QCOMPARE(installedVersion().subMinorNumber, 0);
    QCOMPARE(updateCheckOutcome(failed, UpdateVersion{major, minor, subMinor}, installedVersion()), expected);
}

QTEST_GUILESS_MAIN(UpdateFileTest)
#include "tst_updatefile.moc"
