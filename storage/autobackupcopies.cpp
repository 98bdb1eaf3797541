#include "autobackupcopies.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace {

const QRegularExpression &copyName()
{
    static const QRegularExpression pattern(
        QStringLiteral("^record_auto_(\\d{6,12})_\\d{8}_\\d{6}\\.zdb$"));
    return pattern;
}

} // namespace

std::vector<AutoBackupCopies::Copy> AutoBackupCopies::list(const QString &folder)
{
    std::vector<Copy> copies;
    const QDir dir(folder);
    for (const QFileInfo &entry :
         dir.entryInfoList({QStringLiteral("record_auto_*.zdb")}, QDir::Files | QDir::Hidden)) {
        const QRegularExpressionMatch match = copyName().match(entry.fileName());
        if (match.hasMatch())
            copies.push_back({match.captured(1).toLongLong(), entry.absoluteFilePath()});
    }
    std::sort(copies.begin(), copies.end(),
              [](const Copy &a, const Copy &b) { return a.number < b.number; });
    return copies;
}

qint64 AutoBackupCopies::nextNumber(const QStringList &folders)
{
    qint64 highest = 0;
    for (const QString &folder : folders) {
        const std::vector<Copy> copies = list(folder);
        if (!copies.empty())
            highest = std::max(highest, copies.back().number);
    }
    return highest + 1;
}

QString AutoBackupCopies::fileName(qint64 number, const QDateTime &time)
{
    return QStringLiteral("record_auto_%1_%2.zdb")
        .arg(number, 6, 10, QLatin1Char('0'))
        .arg(time.toString(QStringLiteral("yyyyMMdd_hhmmss")));
}

int AutoBackupCopies::prune(const QString &folder, int keep, int *deleted)
{
    if (deleted)
        *deleted = 0;
    const std::vector<Copy> copies = list(folder);
    int result = 0;
    for (size_t i = 0; i + size_t(std::max(keep, 1)) < copies.size(); ++i) {
        if (QFile::remove(copies[i].path)) {
            if (deleted)
                ++*deleted;
        } else {
            result = -1;
        }
    }
    return result;
}
