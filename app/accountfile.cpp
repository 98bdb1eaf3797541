#include "accountfile.h"

#include "storage/userdatabase.h"
#include "storage/zircondatabase.h"

#include <QFile>
#include <QFileInfo>

namespace {

// 1 when the file holds a record, 0 when it holds none, -1 when it cannot be read.
int holdsRecords(const QString &recordFile)
{
    const QFileInfo info(recordFile);
    if (!info.exists() || (info.isFile() && info.size() == 0))
        return 0;
    zircon_db *db = nullptr;
    if (ZirconDatabase::openKeyedConnection(recordFile.toUtf8().toStdString(), &db, 1000, true) !=
        0)
        return -1;
    int64_t rows = -1;
    const int rc = zircon_run_sql(db, "SELECT count(*) FROM (SELECT 1 FROM Record LIMIT 1)", &rows,
                                  ZirconDatabase::readInteger);
    zircon_close(db);
    return rc != 0 ? -1 : rows > 0 ? 1 : 0;
}

} // namespace

QString AccountFile::markerPath(const QString &station)
{
    return station + QStringLiteral("/hydrovane.accounts");
}

bool AccountFile::isNewStation(const QString &station, const QString &recordFile)
{
    // Unknown grants less: a marker that cannot even be looked at counts as there.
    const QFileInfo marker(markerPath(station));
    if (marker.exists() || !QFileInfo(station).isReadable())
        return false;
    return holdsRecords(recordFile) == 0;
}

int AccountFile::open(UserDatabase *users, const QString &station, const QString &recordFile)
{
    users->setDefaultAccount(isNewStation(station, recordFile));
    const int result = users->openOrCreate();
    if (result == 0 && !mark(station))
        qWarning("hydrovane: %s cannot be written; a missing user.zdb would not be noticed",
                 qPrintable(markerPath(station)));
    return result;
}

bool AccountFile::mark(const QString &station)
{
    const QString path = markerPath(station);
    if (QFileInfo::exists(path))
        return true;
    QFile marker(path);
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const QByteArray text =
        "This station folder has had user/user.zdb. A missing or empty user.zdb does not start\n"
        "again with the default admin: sign-in stays locked until an administrator is set with\n"
        "hydrovane --passwd NAME (as root on a shared folder). Deleting this file does not\n"
        "unlock a station that holds records.\n";
    return marker.write(text) == text.size() && marker.flush();
}
