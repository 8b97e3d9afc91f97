#include "cli/shard.h"

#include "base/nativeName.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtEndian>

namespace {

bool parseNumber(const QString &text, int *value)
{
    bool ok = false;
    *value = text.trimmed().toInt(&ok);
    return ok;
}

} // namespace

bool Shard::holds(const QString &key) const
{
    if (count <= 1)
        return true;
    // A cryptographic hash of the name's bytes, not qHash: the split must not depend on the Qt
    // version, its seed or the machine.
    const QByteArray digest = QCryptographicHash::hash(NativeName::encode(key), QCryptographicHash::Sha256);
    const quint64 value = qFromBigEndian<quint64>(digest.constData());
    return int(value % quint64(count)) == number - 1;
}

bool chooseShard(const QString &given, int countOption, const QProcessEnvironment &environment, Shard *shard,
                 QString *error)
{
    *shard = Shard();
    if (!given.isEmpty()) {
        static const QRegularExpression form(QStringLiteral("^(\\d{1,6})/(\\d{1,6})$"));
        const QRegularExpressionMatch match = form.match(given);
        if (!match.hasMatch()) {
            *error = QStringLiteral("--shard must be K/N, the K-th of N parts (1 <= K <= N), not \"%1\"")
                         .arg(given);
            return false;
        }
        shard->number = match.captured(1).toInt();
        shard->count = match.captured(2).toInt();
        if (countOption > 0 && countOption != shard->count) {
            *error = QStringLiteral("--shard %1 and --shard-count %2 disagree").arg(given).arg(countOption);
            return false;
        }
    } else if (environment.contains(QStringLiteral("SLURM_ARRAY_TASK_ID"))) {
        int id = 0;
        int first = 0;
        int count = 0;
        if (!parseNumber(environment.value(QStringLiteral("SLURM_ARRAY_TASK_ID")), &id) ||
            (environment.contains(QStringLiteral("SLURM_ARRAY_TASK_MIN")) &&
             !parseNumber(environment.value(QStringLiteral("SLURM_ARRAY_TASK_MIN")), &first))) {
            *error = QStringLiteral("SLURM_ARRAY_TASK_ID or SLURM_ARRAY_TASK_MIN is not a number");
            return false;
        }
        if (countOption > 0)
            count = countOption;
        else if (!parseNumber(environment.value(QStringLiteral("SLURM_ARRAY_TASK_COUNT")), &count)) {
            *error = QStringLiteral("a Slurm array task needs SLURM_ARRAY_TASK_COUNT or --shard-count");
            return false;
        }
        shard->number = id - first + 1;
        shard->count = count;
    } else if (environment.contains(QStringLiteral("JOB_COMPLETION_INDEX"))) {
        int index = 0;
        if (!parseNumber(environment.value(QStringLiteral("JOB_COMPLETION_INDEX")), &index)) {
            *error = QStringLiteral("JOB_COMPLETION_INDEX is not a number");
            return false;
        }
        if (countOption <= 0) {
            *error = QStringLiteral("JOB_COMPLETION_INDEX needs --shard-count N, the job's completions");
            return false;
        }
        shard->number = index + 1;
        shard->count = countOption;
    } else if (countOption > 0) {
        *error = QStringLiteral("--shard-count needs --shard, SLURM_ARRAY_TASK_ID or JOB_COMPLETION_INDEX");
        return false;
    }
    if (shard->count < 1 || shard->number < 1 || shard->number > shard->count) {
        *error = QStringLiteral("shard %1 of %2 does not exist (1 <= K <= N)")
                     .arg(shard->number)
                     .arg(shard->count);
        *shard = Shard();
        return false;
    }
    return true;
}
