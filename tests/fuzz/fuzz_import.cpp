// Any bytes offered as a backup file to import: refused, and the records stay as they were.

#include "app/appcontext.h"
#include "storage/recorddatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

RecordDatabase *database()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

int storedRows()
{
    std::vector<RecordRow *> rows;
    if (database()->query(std::string(), rows) != 0)
        std::abort();
    RecordDatabase::freeRows(rows);
    return int(rows.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const int kept = [] {
        AppContext::instance().setApplicationDir(dir.path());
        AppContext::instance().init();
        RecordRow row{"2024-01-02 08:00:00", "DI590", "池", 1, 0, "DO", "ppm", "8.50", "N"};
        for (int i = 0; i < 3; ++i)
            database()->insert(row);
        return storedRows();
    }();
    const QString candidate = QDir(dir.path()).filePath(QStringLiteral("offered.zdb"));
    QFile file(candidate);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        return 0;
    file.close();
    RecordDatabase::ImportReport report;
    if (database()->importDatabase(RecordDb, candidate.toStdString(), &report) != -1)
        std::abort();
    // Refused by the checks of the copy, never later, and nothing kept or left behind.
    switch (report.error) {
    case RecordDatabase::ImportNotStationFile:
    case RecordDatabase::ImportNotDecryptable:
    case RecordDatabase::ImportDamaged:
    case RecordDatabase::ImportNoRecordTable:
    case RecordDatabase::ImportRecordColumnsMismatch:
        break;
    default:
        std::abort();
    }
    if (!report.keptFile.empty() || storedRows() != kept)
        std::abort();
    static const QDir folders[] = {QDir(AppContext::instance().path(BackupDir)),
                                   QFileInfo(AppContext::instance().path(RecordDb)).dir()};
    for (const QDir &folder : folders)
        if (!folder
                 .entryList({QStringLiteral("*.import*"), QStringLiteral("record_replaced_*")},
                            QDir::Files)
                 .isEmpty())
            std::abort();
    return 0;
}
