#ifndef APPCONTEXT_H
#define APPCONTEXT_H

#include "app/stationlock.h"

#include <QString>

class ConfigFile;
class Hj212Uploader;
class MqttPublisher;
class RecordDatabase;
class UserDatabase;

// Numbers naming every file and folder of the application directory.
enum ResourceKind
{
    ComPortConfig = 0,
    MonitorConfig = 1,
    RecordDb = 2,
    ExportDir = 3,
    BackupDir = 4,
    UserDb = 5,
    UserManual = 6,
    MqttConfig = 7,
    // The MQTT publisher's disk queue; its object is the MqttPublisher.
    MqttOutbox = 8,
    Hj212Config = 9,
    // The HJ 212 uploader's queues, a folder per point; its object is the Hj212Uploader.
    Hj212Outbox = 10,
    // The station's lines beyond the first (ComPort.json); its object is the ConfigFile.
    LinesConfig = 11,
};

// The process-wide registry: resolves resource kinds to paths under the application
// directory and owns the objects the whole program shares.
class AppContext
{
public:
    static AppContext &instance();

    // The shared object of a kind; null for kinds without one and for unknown kinds.
    void *object(int kind) const;
    // Application directory + the kind's suffix; the directory alone for unknown kinds.
    QString path(int kind) const;

    // Results of init.
    enum InitResult
    {
        InitDone = 0,
        // Another process holds the station folder; nothing was created, loaded or opened.
        InitStationInUse = 1,
        // Something that is not a lock file of ours is in its place (a link, a folder, another
        // user's file); nothing was created, loaded or opened. lockProblem() says what.
        InitLockRefused = 2,
    };
    // Locks the station folder against a second process (lockStation), creates missing folders
    // closed to other users, then creates and loads or opens the shared objects. A folder that
    // cannot be locked at all (read-only, no lock support) does not stop the start.
    int init();
    // Only the lock of init, for a start that must know before anything else; init keeps it.
    int lockStation();
    // The operator's text of a refused or lost lock file; empty when there is none.
    QString lockProblem() const;
    // Whether the lock file is still the one held; a deleted one is made and taken again. Any
    // thread; a few calls on the station folder.
    int checkLock();
    // Closes what init opened and releases the folder. Called once at a confirmed exit.
    int shutdown();

    // Points the registry at another directory instead of the executable's (tests and tools).
    // An empty text returns to the executable's directory.
    void setApplicationDir(const QString &dir);
    // Deletes the shared objects, forgets the alarms and releases the folder so that init may
    // run again, for example on another directory.
    void reset();

    // The station folder: the executable's directory unless another one was set.
    QString applicationDir() const;

private:
    AppContext();
    ~AppContext();
    AppContext(const AppContext &) = delete;
    AppContext &operator=(const AppContext &) = delete;

    QString overrideDir;
    StationLock stationLock;
    ConfigFile *comPortConfig = nullptr;
    ConfigFile *linesConfig = nullptr;
    ConfigFile *monitorConfig = nullptr;
    ConfigFile *mqttConfig = nullptr;
    MqttPublisher *mqttPublisher = nullptr;
    ConfigFile *hj212Config = nullptr;
    Hj212Uploader *hj212Uploader = nullptr;
    RecordDatabase *recordDatabase = nullptr;
    UserDatabase *userDatabase = nullptr;
};

#endif // APPCONTEXT_H
