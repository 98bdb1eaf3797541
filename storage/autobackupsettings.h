#ifndef AUTOBACKUPSETTINGS_H
#define AUTOBACKUPSETTINGS_H

#include <QString>
#include <QTime>

// The automatic backups' settings, config/AutoBackup.json: when (off, daily or weekly at a
// time), an optional second folder, and how many automatic copies each folder keeps.
struct AutoBackupSettings
{
    enum Mode
    {
        Off = 0,
        Daily = 1,
        Weekly = 2,
    };
    Mode mode = Daily;
    QTime at = QTime(2, 0);
    int weekday = 1; // Monday = 1 ... Sunday = 7, for Weekly
    QString secondFolder;
    int keep = 30;

    static constexpr int maxKeep = 1000;

    bool operator==(const AutoBackupSettings &other) const;
    bool operator!=(const AutoBackupSettings &other) const { return !(*this == other); }

    // Reads the file; a missing file gives the defaults. Values that cannot be used keep their
    // defaults and are described in *problem (Chinese, for the operator). 0, or -1 when the
    // file exists but could not be read or parsed.
    static int load(const QString &path, AutoBackupSettings *settings, QString *problem);
    // Writes the file, replacing it only once the new text is complete. 0 or -1.
    int save(const QString &path) const;
    // One line for the trail and the dialog, such as "每天 02:00,保留 30 份".
    QString describe() const;
};

#endif // AUTOBACKUPSETTINGS_H
