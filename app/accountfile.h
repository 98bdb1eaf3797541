#ifndef ACCOUNTFILE_H
#define ACCOUNTFILE_H

#include <QString>

class UserDatabase;

// Opens the station's user/user.zdb and decides what a missing or empty one becomes. Only a
// brand-new station folder starts with the default admin (an empty password, asked for a real
// one at its first sign-in). A folder that holds records or had accounts before (the marker
// file, written once user.zdb has opened) gets a file without accounts instead: sign-in stays
// locked until an administrator is set with hydrovane --passwd, and nobody who can delete a
// file becomes administrator by doing so.
class AccountFile
{
public:
    // STATION/hydrovane.accounts.
    static QString markerPath(const QString &station);
    // Neither the marker nor a record in recordFile. A record file that cannot be read counts
    // as holding records.
    static bool isNewStation(const QString &station, const QString &recordFile);
    // Opens users (making the file when it is missing, the default account only on a new
    // station) and marks the folder once it is open. The open's result.
    static int open(UserDatabase *users, const QString &station, const QString &recordFile);
    // Writes the marker when it is missing; false when it cannot be written.
    static bool mark(const QString &station);
};

#endif // ACCOUNTFILE_H
