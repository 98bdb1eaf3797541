#ifndef STATIONFOLDER_H
#define STATIONFOLDER_H

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <vector>

// Chooses the station folder (the command line's --station, then HYDROVANE_STATION, then the
// executable's folder) and checks that this user may work in it before anything is created.
class StationFolder
{
public:
    enum Result
    {
        Ok = 0,
        // --station without a folder after it.
        MissingValue = 1,
        // The path, or the nearest existing part of it, is not a folder.
        NotAFolder = 2,
        // Owned by another user who did not give this one write access.
        OtherUsersFolder = 3,
        // Belongs to the station group, which this user is not in.
        GroupMissing = 4,
        // Otherwise not writable (mode, read-only file system).
        NotWritable = 5,
        // Creating it failed although the checks passed.
        CannotCreate = 6,
        // The root folder, or in or below /proc, /sys or /dev (also through a link).
        SystemFolder = 7,
        // Run as root: the folder belongs to another user and not to the station group. Root
        // would write through whatever links that user puts in it.
        NotRootsFolder = 8,
        // Longer than the system allows for a file in it, or a name in it too long.
        PathTooLong = 9,
    };

    // Who asks: the user and every group the user is in.
    struct Account
    {
        uid_t uid = 0;
        std::vector<gid_t> groups;
        static Account current();
    };

    // The group of a packaged station's folder.
    static const char *groupName();

    // The folder named by the arguments (program name first) or the environment value, or
    // the default; absolute. The station options are taken out of *arguments.
    static int choose(QStringList *arguments, const QString &environment,
                      const QString &defaultDir, QString *dir);

    // Whether the account may make and write the folder, judged from the mode bits of the
    // folder or of its nearest existing parent; stationGroup is the group that needs the
    // hint to join it (-1: none), and the one besides root's own whose folders root may use.
    // Creates nothing.
    static int check(const QString &dir, const Account &account, gid_t stationGroup);

    // Sets the process's file creation mask so that nothing the station makes, from the station
    // folder down, is open to other users; the group keeps write access. Call it first.
    static void restrictCreationMask();

    // The whole start: choose, check for this process's user, create the folder when it is
    // missing, and confirm it takes a file. *message gets the operator's text on failure.
    static int prepare(QStringList *arguments, const QString &defaultDir, QString *dir,
                       QString *message);

    // The operator's text of a result for the folder.
    static QString text(int result, const QString &dir);

    // Serial device groups (dialout) that hold a serial device this user cannot open;
    // empty for root and when every device is reachable.
    static QStringList missingSerialGroups(const QString &devDir = QStringLiteral("/dev"));
};

#endif // STATIONFOLDER_H
