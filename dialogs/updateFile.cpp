#include "dialogs/updateFile.h"

#include "base/version.h"

#include <QDebug>
#include <QStringList>

namespace {

const QStringList &versionKeys()
{
    static const QStringList keys{QStringLiteral("majorVersion"), QStringLiteral("minorVersion"),
                                  QStringLiteral("subMinorVersion")};
    return keys;
}

// Calls visit(key, value) for every entry that holds "=", in file order.
template <typename Visit> void forEachEntry(const QString &text, Visit visit)
{
    const QStringList entries = text.split(QLatin1Char(';'));
    for (QString entry : entries) {
        entry.remove(QStringLiteral("\r\n"));
        const qsizetype equals = entry.indexOf(QLatin1Char('='));
        if (entry.isEmpty() || equals < 0)
            continue;
        visit(entry.left(equals), entry.mid(equals + 1));
    }
}

} // namespace

UpdateVersion parseUpdateFile(const QString &text)
{
    UpdateVersion version;
    forEachEntry(text, [&version](const QString &key, const QString &value) {
        qDebug().noquote() << key;
        qDebug().noquote() << value;
        // toInt gives 0 for anything that is not a base-10 number, "1=2" included.
        if (key == QLatin1String("majorVersion")) {
            qDebug() << "majorVersion found";
            version.majorNumber = value.toInt(nullptr, 10);
        } else if (key == QLatin1String("minorVersion")) {
            qDebug() << "minorVersion found";
            version.minorNumber = value.toInt(nullptr, 10);
        } else if (key == QLatin1String("subMinorVersion")) {
            qDebug() << "subMinorVersion found";
            version.subMinorNumber = value.toInt(nullptr, 10);
        }
    });
    return version;
}

bool isUpdateFile(const QString &text)
{
    bool named = false;
    forEachEntry(text, [&named](const QString &key, const QString &value) {
        bool number = false;
        value.toInt(&number, 10);
        named = named || (number && versionKeys().contains(key));
    });
    return named;
}

bool isNewerVersion(const UpdateVersion &latest, const UpdateVersion &installed)
{
    if (latest.majorNumber != installed.majorNumber)
        return latest.majorNumber > installed.majorNumber;
    if (latest.minorNumber != installed.minorNumber)
        return latest.minorNumber > installed.minorNumber;
    return latest.subMinorNumber > installed.subMinorNumber;
}

UpdateVersion installedVersion()
{
    return UpdateVersion{majorVersion, minorVersion, subMinorVersion};
}

UpdateCheckOutcome updateCheckOutcome(bool requestFailed, const UpdateVersion &latest,
                                      const UpdateVersion &installed)
{
    if (requestFailed)
        return UpdateCheckOutcome::CheckFailed;
    return isNewerVersion(latest, installed) ? UpdateCheckOutcome::UpdateAvailable
                                             : UpdateCheckOutcome::UpToDate;
}
