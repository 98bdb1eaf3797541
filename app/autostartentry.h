#ifndef AUTOSTARTENTRY_H
#define AUTOSTARTENTRY_H

#include <QString>

// The user's freedesktop autostart entry that starts the station with the session and opens
// the line (~/.config/autostart/hydrovane.desktop, or under XDG_CONFIG_HOME).
class AutostartEntry
{
public:
    // The entry's file.
    static QString path();
    // Whether the entry is there and not hidden.
    static bool isEnabled();
    // The command the entry runs: the packaged launcher with --connect, or, for a station not
    // run from the package, this executable with its station folder.
    static QString command(const QString &executable, const QString &stationDir);
    // Writes the entry, replacing an older one only once the new text is complete. 0 or -1.
    static int enable(const QString &command);
    // Removes the entry; 0 also when there was none.
    static int disable();
};

#endif // AUTOSTARTENTRY_H
