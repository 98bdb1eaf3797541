#ifndef AUTOBACKUPCOPIES_H
#define AUTOBACKUPCOPIES_H

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

// The automatic copies in one folder: record_auto_NNNNNN_yyyyMMdd_hhmmss.zdb. The number counts
// up from copy to copy whatever the clock says, so the newest copies are the highest numbers
// even after the clock was set back; files of any other name are never touched.
class AutoBackupCopies
{
public:
    struct Copy
    {
        qint64 number;
        QString path;
    };

    // The folder's automatic copies, lowest number first.
    static std::vector<Copy> list(const QString &folder);
    // The number after the highest of these folders.
    static qint64 nextNumber(const QStringList &folders);
    // The file name of copy number made at time.
    static QString fileName(qint64 number, const QDateTime &time);
    // Deletes the copies of the folder but the keep highest numbered; *deleted gets how many
    // went. 0, or -1 when one could not be deleted.
    static int prune(const QString &folder, int keep, int *deleted = nullptr);
};

#endif // AUTOBACKUPCOPIES_H
