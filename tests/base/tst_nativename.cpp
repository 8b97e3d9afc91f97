#include "base/nativeName.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The escape of one byte that is not UTF-8.
QString esc(int byte)
{
    return QString(QChar(char16_t(0xDC00 + byte)));
}

} // namespace

class NativeNameTest : public QObject {
    Q_OBJECT

private slots:
    // Every byte string comes back from its string unchanged; UTF-8 reads as text, and only what
    // is not UTF-8 becomes escapes.
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::newRow("ascii") << QByteArray("photo.png") << QStringLiteral("photo.png");
        QTest::newRow("utf-8") << QByteArray("\xc3\xa9t\xc3\xa9 \xe6\xa8\xa1 \xf0\x9f\x98\x80.jpg")
                               << QStringLiteral("été 模 😀.jpg");
        QTest::newRow("latin-1 byte")
            << QByteArray("caf\xe9.png") << (QStringLiteral("caf") + esc(0xe9) + QStringLiteral(".png"));
        QTest::newRow("cut sequence")
            << QByteArray("a\xe6\xa8") << (QStringLiteral("a") + esc(0xe6) + esc(0xa8));
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << (esc(0xc0) + esc(0xaf));
        QTest::newRow("encoded surrogate")
            << QByteArray("\xed\xb3\xbf") << (esc(0xed) + esc(0xb3) + esc(0xbf));
        QTest::newRow("beyond U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << (esc(0xf4) + esc(0x90) + esc(0x80) + esc(0x80));
    }
    void roundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QCOMPARE(NativeName::decode(bytes), name);
        QCOMPARE(NativeName::encode(name), bytes);
        QCOMPARE(NativeName::hasEscapes(name), QString::fromUtf8(bytes).toUtf8() != bytes);
    }

    // Such a file is found, listed, read through Qt and renamed under its own bytes; a rename never
    // replaces.
    void meetsTheSystem()
    {
        QTemporaryDir dir;
        const QByteArray bytes = QFile::encodeName(dir.path()) + "/caf\xe9.png";
        const int fd = ::open(bytes.constData(), O_CREAT | O_WRONLY, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "content", 7), 7);
        ::close(fd);
        const QString name = NativeName::decode(bytes);
        QVERIFY(!QFile::exists(name));
        QCOMPARE(NativeName::kindOf(name), NativeName::Kind::File);
        QCOMPARE(NativeName::kindOf(dir.path()), NativeName::Kind::Folder);
        QCOMPARE(NativeName::entries(dir.path()),
                 QStringList{(QStringLiteral("caf") + esc(0xe9) + QStringLiteral(".png"))});
        QFile file(NativeName::reachable(name));
        QVERIFY(file.fileName().endsWith(QStringLiteral(".png")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("content"));

        const QString other = dir.filePath((QStringLiteral("other") + esc(0xff) + QStringLiteral(".png")));
        QVERIFY(QFile(dir.filePath(QStringLiteral("taken.png"))).open(QIODevice::WriteOnly));
        QCOMPARE(NativeName::renameNoReplace(name, dir.filePath(QStringLiteral("taken.png"))), EEXIST);
        QCOMPARE(NativeName::renameNoReplace(name, other), 0);
        QVERIFY(!NativeName::exists(name));
        QVERIFY(NativeName::exists(other));
        const QByteArray renamed = QFile::encodeName(dir.path()) + "/other\xff.png";
        QVERIFY(::access(renamed.constData(), F_OK) == 0);

        QCOMPARE(NativeName::relativeTo(QStringLiteral("a/b"),
                                        (QStringLiteral("./a/b/c") + esc(0xff) + QStringLiteral("/d.png"))),
                 (QStringLiteral("c") + esc(0xff) + QStringLiteral("/d.png")));
        QVERIFY(NativeName::relativeTo(QStringLiteral("a/b"), QStringLiteral("a/bc/d.png")).isNull());
    }
};

QTEST_GUILESS_MAIN(NativeNameTest)
#include "tst_nativename.moc"
